#include "media/format/aac_decoder.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace sonvale {
namespace {

// Room of the reused packet buffer: the largest ADTS frame (13-bit length) fits.
constexpr int kPacketRoom = 8192;

// The planes of one frame as interleaved stereo. The planes may be one and the same (mono); the
// output overlaps neither.
void interleave(const float* __restrict left, const float* __restrict right,
                float* __restrict out) {
  for (std::size_t i = 0; i < AacDecoder::kFrameSamples; ++i) {
    out[2 * i] = left[i];
    out[2 * i + 1] = right[i];
  }
}

Error av_error(int code) {
  std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
  av_strerror(code, text.data(), text.size());
  return Error::msg(text.data());
}

}  // namespace

struct AacDecoder::Impl {
  AVCodecContext* ctx = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;

  ~Impl() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
  }
};

AacDecoder::AacDecoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AacDecoder::AacDecoder(AacDecoder&&) noexcept = default;
AacDecoder& AacDecoder::operator=(AacDecoder&&) noexcept = default;
AacDecoder::~AacDecoder() = default;

Result<AacDecoder> AacDecoder::create() {
  // The library's own log lines would go to standard error; its failures reach the caller as
  // error values instead.
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) return fail(Error::msg("AAC decoder not available"));
  auto impl = std::make_unique<Impl>();
  impl->ctx = avcodec_alloc_context3(codec);
  impl->packet = av_packet_alloc();
  impl->frame = av_frame_alloc();
  if (impl->ctx == nullptr || impl->packet == nullptr || impl->frame == nullptr) {
    return fail(Error::msg("out of memory"));
  }
  // AudioSpecificConfig: object type 2 (AAC-LC), sampling index 3 (48000 Hz), channel config 2.
  constexpr std::array<std::uint8_t, 2> kConfig = {0x11, 0x90};
  impl->ctx->extradata =
      static_cast<std::uint8_t*>(av_mallocz(kConfig.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (impl->ctx->extradata == nullptr) return fail(Error::msg("out of memory"));
  std::memcpy(impl->ctx->extradata, kConfig.data(), kConfig.size());
  impl->ctx->extradata_size = static_cast<int>(kConfig.size());
  impl->ctx->sample_rate = 48000;
  av_channel_layout_default(&impl->ctx->ch_layout, 2);
  if (const int rc = avcodec_open2(impl->ctx, codec, nullptr); rc < 0) return fail(av_error(rc));
  return AacDecoder(std::move(impl));
}

Result<> AacDecoder::decode(ByteSpan raw_frame, std::int64_t timestamp, std::vector<float>& out) {
  AVPacket* packet = impl_->packet;
  const auto size = static_cast<int>(raw_frame.size());
  // The packet keeps its buffer from frame to frame: the decoder gives its reference back once it
  // has decoded the frame, and a buffer it still holds is never written.
  if (packet->buf == nullptr || av_buffer_is_writable(packet->buf) == 0 ||
      packet->buf->size < raw_frame.size() + AV_INPUT_BUFFER_PADDING_SIZE) {
    av_packet_unref(packet);
    if (const int rc = av_new_packet(packet, std::max(size, kPacketRoom)); rc < 0) {
      return fail(av_error(rc));
    }
  }
  packet->data = packet->buf->data;
  packet->size = size;
  if (!raw_frame.empty()) std::memcpy(packet->data, raw_frame.data(), raw_frame.size());
  std::memset(packet->data + raw_frame.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);
  packet->pts = timestamp;
  packet->dts = timestamp;
  packet->duration = kFrameSamples;
  const int sent = avcodec_send_packet(impl_->ctx, packet);
  if (sent < 0) return fail(av_error(sent));

  AVFrame* frame = impl_->frame;
  // One ADTS frame is one AAC frame: one packet in, one frame out.
  const int received = avcodec_receive_frame(impl_->ctx, frame);
  if (received == AVERROR(EAGAIN))
    return fail(Error::msg("the decoder produced no audio for the frame"));
  if (received < 0) return fail(av_error(received));
  struct Unref {
    AVFrame* f;
    ~Unref() { av_frame_unref(f); }
  } unref{frame};
  const int channels = frame->ch_layout.nb_channels;
  if (frame->sample_rate != 48000 || frame->nb_samples != kFrameSamples || channels < 1) {
    return fail(
        Error::msg(fmt::format("unexpected decoded AAC frame: {} samples at {} Hz, {} channels",
                               frame->nb_samples, frame->sample_rate, channels)));
  }
  if (frame->format != AV_SAMPLE_FMT_FLTP) {
    return fail(Error::msg(fmt::format("unexpected decoded AAC sample format {}", frame->format)));
  }
  out.resize(2 * kFrameSamples);
  interleave(reinterpret_cast<const float*>(frame->extended_data[0]),
             reinterpret_cast<const float*>(frame->extended_data[channels > 1 ? 1 : 0]),
             out.data());
  return {};
}

}  // namespace sonvale
