#include "media/audio/audio_host.h"

namespace sonvale::audio {

std::string_view sample_format_text(SampleFormat format) {
  switch (format) {
    case SampleFormat::kI8: return "i8";
    case SampleFormat::kI16: return "i16";
    case SampleFormat::kI24: return "i24";
    case SampleFormat::kI32: return "i32";
    case SampleFormat::kI64: return "i64";
    case SampleFormat::kU8: return "u8";
    case SampleFormat::kU16: return "u16";
    case SampleFormat::kU24: return "u24";
    case SampleFormat::kU32: return "u32";
    case SampleFormat::kU64: return "u64";
    case SampleFormat::kF32: return "f32";
    case SampleFormat::kF64: return "f64";
  }
  return "unknown";
}

StreamConfig fix_range_at(const SupportedOutputRange& range, std::uint32_t sample_rate) {
  return StreamConfig{range.channels, sample_rate, range.format};
}

}  // namespace sonvale::audio
