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

std::optional<Json> media_info_event(ByteSpan payload) {
  const auto info = media_info_value(payload);
  if (!info) return std::nullopt;
  const std::string title = json_text_field(*info, {"mTitle", "title"}).value_or("");
  const std::string artist = json_text_field(*info, {"mArtist", "artist"}).value_or("");
  const std::string album = json_text_field(*info, {"mAlbum", "album"}).value_or("");
  Json track_id = nullptr;
  if (auto id = json_text_field(*info, {"mAudioId", "audioId", "mId", "id", "mediaId"})) {
    track_id = *id;
  } else if (!title.empty() || !artist.empty() || !album.empty()) {
    ByteWriter material;
    material.text(title).u8(0).text(artist).u8(0).text(album).u8(0);
    const Sha256Digest digest = sha256(material.view());
    track_id = "metadata:" + hex_lower(ByteSpan(digest).first(16));
  }
  const auto artwork = json_text_field(
      *info, {"mArt", "mCoverUrl", "artwork", "artworkUrl", "coverUrl", "mArtUrl", "picUrl",
              "albumPic", "img", "pic", "albumArt", "artUrl", "mPicUrl", "cover", "album_art",
              "cover_url"});
  const auto duration = json_u64_field(*info, {"mDuration", "duration", "durationMs", "duration_ms"});
  const auto position = json_u64_field(*info, {"mPosition", "position", "positionMs", "position_ms"});
  const auto change = json_u64_field(*info, {"mMetaChangeType", "metaChangeType"});
  return Json{{"event", "media_info"},
              {"source", "xiaomi"},
              {"track_id", track_id},
              {"title", title},
              {"artist", artist},
              {"album", album},
              {"duration_ms", duration.value_or(0)},
              {"position_ms", position ? Json(*position) : Json(nullptr)},
              {"artwork", artwork ? Json(*artwork) : Json(nullptr)},
              {"metadata_change_type", change ? Json(*change) : Json(nullptr)}};
}

void emit_media_info(ByteSpan payload, const EventSink& events) {
  if (auto event = media_info_event(payload)) events(std::move(*event));
}

void emit_source_info(ByteSpan payload, const EventSink& events) {
  auto doc = parse_json_payload(payload);
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
