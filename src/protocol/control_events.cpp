#include "protocol/control_events.h"

#include "core/crypto.h"
#include "core/encoding.h"
#include "protocol/control_frame.h"
#include "protocol/control_payloads.h"

namespace sonvale {

void emit_volume(std::uint32_t percent, const EventSink& events) {
  events(Json{{"event", "volume"}, {"source", "xiaomi"}, {"percent", percent}});
}

void emit_playback(bool playing, const EventSink& events) {
  events(Json{{"event", "playback_state"},
              {"raw_state", playing ? 2 : 3},
              {"playing", playing},
              {"session_active", true}});
}

Json media_info_event(const MediaInfo& info) {
  Json track_id = nullptr;
  if (info.id) {
    track_id = *info.id;
  } else if (!info.title.empty() || !info.artist.empty() || !info.album.empty()) {
    ByteWriter material;
    material.text(info.title).u8(0).text(info.artist).u8(0).text(info.album).u8(0);
    const Sha256Digest digest = sha256(material.view());
    track_id = "metadata:" + hex_lower(ByteSpan(digest).first(16));
  }
  auto optional = [](const auto& field) { return field ? Json(*field) : Json(nullptr); };
  return Json{{"event", "media_info"},
              {"source", "xiaomi"},
              {"track_id", track_id},
              {"title", info.title},
              {"artist", info.artist},
              {"album", info.album},
              {"duration_ms", info.duration_ms.value_or(0)},
              {"position_ms", optional(info.position_ms)},
              {"artwork", optional(info.artwork)},
              {"metadata_change_type", optional(info.metadata_change_type)}};
}

void emit_media_info(const std::optional<MediaInfo>& info, const EventSink& events) {
  if (info) events(media_info_event(*info));
}

void emit_source_info(ByteSpan payload, const EventSink& events, const ByteBudget* shared) {
  auto doc = parse_json_payload(payload, shared);
  if (!doc || !doc->is_object()) return;
  const auto it = doc->find("sourceName");
  if (it == doc->end() || !it->is_string()) return;
  Json name = *it;
  events(Json{{"event", "source_info"},
              {"source", "xiaomi"},
              {"source_name", std::move(name)},
              {"raw", std::move(*doc)}});
}

}  // namespace sonvale
