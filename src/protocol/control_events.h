#pragma once

// Every event the control protocol emits, built here: what a phone says over its control session
// (volume, playback state, media information, the casting source's name), the stages and
// diagnostics of a connection, the frame traces and the protocol's errors and warnings. Each
// emit_* emits at most one event.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "protocol/control_frame.h"
#include "protocol/control_payloads.h"

namespace sonvale {

// --- connection stages and diagnostics ("interconnect_stage", "interconnect_diagnostic") ---
Json transport_connected_event(const std::string& remote);
Json transport_disconnected_event(const std::string& remote);
Json probe_finished_event(const std::string& remote);
Json identity_exchanged_event(const std::string& remote);
Json capabilities_exchanged_event(const std::string& remote);
Json secure_channel_stage_event(const std::string& remote);
Json media_session_established_event(const std::string& remote, std::uint64_t generation);

// --- SafetyAuth ("authentication_diagnostic") and "status" ---
Json safety_challenge_sent_event(const std::string& local, const std::string& remote,
                                 const std::string& auth_key, const std::string& own_challenge);
Json safety_auth_received_event(const std::string& local, const std::string& remote,
                                const std::string& auth_key, const std::string& peer_message,
                                const std::string& own_challenge, const std::string& ack);
Json safety_auth_ack_received_event(const std::string& received, const std::string& expected,
                                    bool matches);
Json secure_channel_status_event();
Json media_opening_event(const std::string& rtsp_address);

// --- stream keys and the open command ---
Json stream_keys_ready_event(const std::string& remote, std::uint64_t session_id,
                             const std::string& fingerprint);
// `key_session_id` and `fingerprint` are null when no keys were chosen.
Json media_key_selected_event(const std::string& remote, std::uint64_t open_session_id,
                              const Json& key_session_id, std::string_view scope,
                              const Json& fingerprint, bool encrypted);

// --- what the phone reports ---
Json progress_event(std::uint64_t position_ms);
Json play_source_event(Json content);
// The phone's acknowledgement of a media control, with the first kTraceCut bytes of its body.
Json media_control_ack_event(std::uint8_t command, std::uint16_t sequence, ByteSpan body);

// --- frame traces ("protocol_trace") ---
// A frame that no handler took, with the first `hex_cut` bytes of its body.
Json unhandled_trace_event(std::uint8_t outer_type, std::uint8_t command, std::uint16_t sequence,
                           ByteSpan body, std::size_t hex_cut);
// The "protocol_trace" event with "direction" "in" of a received frame.
Json incoming_trace(const Incoming& frame);
// A frame the writer is about to write: `message` as queued, `wire` its body as framed.
Json outgoing_trace_event(const Outgoing& message, std::uint8_t outer_type, ByteSpan wire);

// --- errors and warnings ---
Json session_failed_event(const Error& ended);
Json session_register_failed_event(const Error& error);
Json session_spawn_failed_event(const Error& error);
Json accept_failed_event(const std::string& error);
Json connection_limit_event(std::size_t limit, const std::string& peer);
Json write_failed_event(const Error& error);

void emit_volume(std::uint32_t percent, const EventSink& events);
void emit_playback(bool playing, const EventSink& events);
// Nothing when the report held no media information.
void emit_media_info(const std::optional<MediaInfo>& info, const EventSink& events);
// Nothing unless the payload is JSON with a string "sourceName".
void emit_source_info(ByteSpan payload, const EventSink& events,
                      const ByteBudget* shared = nullptr);

// The "media_info" event of a report; emit_media_info sends it.
Json media_info_event(const MediaInfo& info);

}  // namespace sonvale
