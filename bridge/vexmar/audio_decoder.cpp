#include "audio_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "vexmar/vexmar.h"

namespace vexmar {

namespace {

constexpr int kBytesPerSample = 2;  // signed 16-bit output
// Nominal formats outside these bounds cannot come from an FLV flags byte;
// they are refused rather than handed to a codec.
constexpr int kMinSampleRate = 1;
constexpr int kMaxSampleRate = 384000;
constexpr int kMaxChannels = 8;

AVCodecID CodecFor(int codecId) {
  switch (codecId) {
    case VEXMAR_CODEC_PCM_S16LE:
      return AV_CODEC_ID_PCM_S16LE;
    case VEXMAR_CODEC_PCM_S8:
      // FLV's 8-bit PCM is unsigned around 128, whatever the identifier says.
      return AV_CODEC_ID_PCM_U8;
    case VEXMAR_CODEC_ADPCM_SWF:
      return AV_CODEC_ID_ADPCM_SWF;
    case VEXMAR_CODEC_MP3:
      return AV_CODEC_ID_MP3;
    case VEXMAR_CODEC_NELLYMOSER:
      return AV_CODEC_ID_NELLYMOSER;
    case VEXMAR_CODEC_PCM_ALAW:
      return AV_CODEC_ID_PCM_ALAW;
    case VEXMAR_CODEC_PCM_MULAW:
      return AV_CODEC_ID_PCM_MULAW;
    case VEXMAR_CODEC_AAC:
      return AV_CODEC_ID_AAC;
    case VEXMAR_CODEC_SPEEX:
      return AV_CODEC_ID_SPEEX;
    default:
      return AV_CODEC_ID_NONE;
  }
}

// libspeex decodes every frame of a payload; FFmpeg's own Speex decoder
// without a stream header decodes only the first, so it is the fallback.
constexpr const char* kPreferredSpeexDecoder = "libspeex";

constexpr std::uint8_t kAacSequenceHeader = 0;
constexpr std::uint8_t kAacRawFrame = 1;
constexpr std::size_t kAacPacketTypeSize = 1;

bool IsValidNominalFormat(int sampleRate, int channels) {
  return sampleRate >= kMinSampleRate && sampleRate <= kMaxSampleRate && channels >= 1 &&
         channels <= kMaxChannels;
}

const AVCodec* FindDecoder(AVCodecID id) {
  if (id == AV_CODEC_ID_SPEEX) {
    if (const AVCodec* preferred = avcodec_find_decoder_by_name(kPreferredSpeexDecoder)) {
      return preferred;
    }
  }
  return avcodec_find_decoder(id);
}

// MPEG audio frame headers, only as far as needed to find where a frame
// ends inside an FLV payload.
constexpr std::size_t kMpegHeaderSize = 4;
constexpr std::uint32_t kMpegSyncMask = 0xFFE00000u;
constexpr int kMpegVersion1 = 3;     // version bits 11
constexpr int kMpegVersionBad = 1;   // version bits 01 are reserved
constexpr int kMpegLayerBad = 0;     // layer bits 00 are reserved
constexpr int kMpegLayer1Bits = 3;   // layer bits 11: Layer I
constexpr int kMpegLayer2Bits = 2;   // layer bits 10: Layer II
constexpr int kBitrateFree = 0;      // free format: the length is not in the header
constexpr int kBitrateBad = 15;
constexpr int kSampleRateBad = 3;

// kbit/s by [MPEG-1 ? 0 : 1][layer I, II, III][index]
constexpr int kBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
constexpr int kMpeg1SampleRates[3] = {44100, 48000, 32000};
// Frame length = factor x bit rate / sample rate (+ padding): the factor is
// the samples per frame / 8, and Layer I counts its padding in 4-byte slots.
constexpr long kLayer1Factor = 12;
constexpr long kLayer1SlotBytes = 4;
constexpr long kLayer2And3Factor = 144;
constexpr long kLowRateLayer3Factor = 72;

std::uint32_t ReadU32BE(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// Length in bytes of the MPEG audio frame whose header starts at `pos`, or
// 0 when no valid header is there.
std::size_t MpegFrameLengthAt(const std::uint8_t* data, std::size_t size, std::size_t pos) {
  if (pos > size || size - pos < kMpegHeaderSize) return 0;
  const std::uint32_t header = ReadU32BE(data + pos);
  if ((header & kMpegSyncMask) != kMpegSyncMask) return 0;
  const int version = (header >> 19) & 3;
  const int layerBits = (header >> 17) & 3;
  const int bitrateIndex = (header >> 12) & 15;
  const int rateIndex = (header >> 10) & 3;
  const int padding = (header >> 9) & 1;
  if (version == kMpegVersionBad || layerBits == kMpegLayerBad || bitrateIndex == kBitrateFree ||
      bitrateIndex == kBitrateBad || rateIndex == kSampleRateBad) {
    return 0;
  }
  const bool mpeg1 = version == kMpegVersion1;
  // MPEG-2 halves the MPEG-1 rates, MPEG-2.5 quarters them.
  const int sampleRate = kMpeg1SampleRates[rateIndex] >> (mpeg1 ? 0 : (version == 2 ? 1 : 2));
  const int layer = 4 - layerBits;  // 1, 2 or 3
  const long bitRate = kBitrates[mpeg1 ? 0 : 1][layer - 1][bitrateIndex] * 1000L;
  if (layerBits == kMpegLayer1Bits) {
    return static_cast<std::size_t>((kLayer1Factor * bitRate / sampleRate + padding) * kLayer1SlotBytes);
  }
  if (layerBits == kMpegLayer2Bits || mpeg1) {
    return static_cast<std::size_t>(kLayer2And3Factor * bitRate / sampleRate + padding);
  }
  // Layer III of MPEG-2 and 2.5 has half as many samples per frame.
  return static_cast<std::size_t>(kLowRateLayer3Factor * bitRate / sampleRate + padding);
}

// Whether the last bytes of a payload (fewer than a header) can be the
// start of a frame header.
bool MayStartMpegHeader(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || data[0] != 0xFF) return false;
  return size < 2 || (data[1] & 0xE0) == 0xE0;
}

}  // namespace

void AudioDecoder::ContextDeleter::operator()(AVCodecContext* context) const {
  avcodec_free_context(&context);
}
void AudioDecoder::PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void AudioDecoder::FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void AudioDecoder::SwrDeleter::operator()(SwrContext* swr) const { swr_free(&swr); }

AudioDecoder::AudioDecoder() = default;
AudioDecoder::~AudioDecoder() = default;

bool AudioDecoder::IsMp3() const { return codecId_ == VEXMAR_CODEC_MP3; }
bool AudioDecoder::IsAac() const { return codecId_ == VEXMAR_CODEC_AAC; }

bool AudioDecoder::Open(int codecId) {
  Close();
  const AVCodecID id = CodecFor(codecId);
  if (id == AV_CODEC_ID_NONE) return false;
  const AVCodec* codec = FindDecoder(id);
  if (codec == nullptr) return false;
  if (!packet_) packet_.reset(av_packet_alloc());
  if (!frame_) frame_.reset(av_frame_alloc());
  if (!packet_ || !frame_) return false;
  codec_ = codec;
  codecId_ = codecId;
  // MP3 frames describe themselves, so its context can open now; the others
  // wait for the first payload's nominal format.
  if (IsMp3() && !OpenContext(0, 0)) {
    Close();
    return false;
  }
  return true;
}

void AudioDecoder::Close() {
  context_.reset();
  contextSampleRate_ = 0;
  contextChannels_ = 0;
  codec_ = nullptr;
  codecId_ = 0;
  converter_.reset();
  converterFormat_ = -1;
  aacConfig_.clear();
  aacFramesWithoutConfig_ = 0;
  mp3Carry_.clear();
  pending_.clear();
  output_.clear();
}

bool AudioDecoder::OpenContext(int sampleRate, int channels) {
  context_.reset();
  std::unique_ptr<AVCodecContext, ContextDeleter> context(avcodec_alloc_context3(codec_));
  if (!context) return false;
  if (channels > 0) {
    context->sample_rate = sampleRate;
    av_channel_layout_default(&context->ch_layout, channels);
  }
  if (IsAac() && !aacConfig_.empty()) {
    // The context frees its extradata, which must come from av_malloc with
    // the input padding behind it.
    const std::size_t size = aacConfig_.size();
    context->extradata =
        static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (context->extradata == nullptr) return false;
    std::memcpy(context->extradata, aacConfig_.data(), size);
    context->extradata_size = static_cast<int>(size);
  }
  if (avcodec_open2(context.get(), codec_, nullptr) < 0) return false;
  context_ = std::move(context);
  contextSampleRate_ = sampleRate;
  contextChannels_ = channels;
  return true;
}

bool AudioDecoder::EnsureContext(int sampleRate, int channels) {
  if (IsMp3()) return context_ != nullptr;
  if (IsAac()) return true;  // configured by its own sequence headers
  if (!IsValidNominalFormat(sampleRate, channels)) return false;
  // Re-opening restarts the codec's state, so it happens only when the
  // format that configures it really changes.
  if (context_ && sampleRate == contextSampleRate_ && channels == contextChannels_) return true;
  return OpenContext(sampleRate, channels);
}

bool AudioDecoder::DecodePacket(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return true;  // an empty packet would mean end of stream
  if (size > static_cast<std::size_t>(INT32_MAX)) return false;
  av_packet_unref(packet_.get());
  // A packet without a buffer: libavcodec copies it into a padded one.
  packet_->data = const_cast<std::uint8_t*>(data);
  packet_->size = static_cast<int>(size);
  const int sent = avcodec_send_packet(context_.get(), packet_.get());
  packet_->data = nullptr;
  packet_->size = 0;
  // Every frame is collected after each packet, so EAGAIN cannot happen
  // here; any error means the packet did not decode.
  if (sent < 0) return false;
  return ReceiveFrames();
}

bool AudioDecoder::ReceiveFrames() {
  for (;;) {
    const int received = avcodec_receive_frame(context_.get(), frame_.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
    if (received < 0) return false;
    // The MP3 decoder stamps a frame before reading its header, so the
    // first frame after a rate change carries the old rate; the context has
    // the frame's own rate by the time the frame is handed out.
    const int sampleRate = IsMp3() && context_->sample_rate > 0 ? context_->sample_rate
                                                                 : frame_->sample_rate;
    const bool appended = AppendFrame(frame_.get(), sampleRate);
    av_frame_unref(frame_.get());
    if (!appended) return false;
  }
}

bool AudioDecoder::DecodeMp3(const std::uint8_t* input, std::size_t size) {
  // The bytes to cut frames from: a carried frame start, then the payload.
  // A carried start is dropped when the payload begins a frame of its own
  // and the carried frame would not end on a frame boundary: it was then a
  // false sync in damaged data, and keeping it would swallow good frames.
  mp3Work_.clear();
  if (!mp3Carry_.empty()) {
    bool keep = true;
    const std::size_t carriedLength = MpegFrameLengthAt(mp3Carry_.data(), mp3Carry_.size(), 0);
    if (carriedLength > mp3Carry_.size() && MpegFrameLengthAt(input, size, 0) > 0) {
      const std::size_t missing = carriedLength - mp3Carry_.size();
      keep = missing == size || (missing < size && MpegFrameLengthAt(input, size, missing) > 0);
    }
    if (keep) mp3Work_ = mp3Carry_;
    mp3Carry_.clear();
  }
  mp3Work_.insert(mp3Work_.end(), input, input + size);

  const std::uint8_t* data = mp3Work_.data();
  const std::size_t total = mp3Work_.size();
  std::size_t pos = 0;
  std::size_t skipped = 0;
  bool decoded = false;
  bool failed = false;
  while (pos < total) {
    const std::size_t length = MpegFrameLengthAt(data, total, pos);
    if (length == 0) {
      if (total - pos < kMpegHeaderSize && MayStartMpegHeader(data + pos, total - pos)) {
        mp3Carry_.assign(data + pos, data + total);
        break;
      }
      ++pos;
      ++skipped;
      continue;
    }
    if (length > total - pos) {
      mp3Carry_.assign(data + pos, data + total);
      break;
    }
    if (DecodePacket(data + pos, length)) {
      decoded = true;
    } else {
      failed = true;
    }
    pos += length;
  }
  // A payload counts as decoded when one of its frames decoded, or when it
  // was all frame data that did not fail (a frame still incomplete).
  return decoded || (!failed && skipped == 0);
}

bool AudioDecoder::DecodeAac(const std::uint8_t* input, std::size_t size, int sampleRate,
                             int channels) {
  if (size < kAacPacketTypeSize) return false;
  const std::uint8_t* body = input + kAacPacketTypeSize;
  const std::size_t bodySize = size - kAacPacketTypeSize;
  if (input[0] == kAacSequenceHeader) return ConfigureAac(body, bodySize, sampleRate, channels);
  if (input[0] != kAacRawFrame) return false;
  if (!context_) {
    // Frames before any configuration would decode with a guessed one; a
    // stream that never brings one is decoded with the nominal format.
    if (++aacFramesWithoutConfig_ <= VEXMAR_AAC_FRAMES_BEFORE_FALLBACK) return true;
    if (!IsValidNominalFormat(sampleRate, channels) || !OpenContext(sampleRate, channels)) {
      return false;
    }
  }
  return DecodePacket(body, bodySize);
}

bool AudioDecoder::ConfigureAac(const std::uint8_t* config, std::size_t size, int sampleRate,
                                int channels) {
  // The same configuration again (writers repeat it) keeps the decoder's
  // state, so the frames around it join without a seam.
  if (context_ && !aacConfig_.empty() && aacConfig_.size() == size &&
      std::equal(config, config + size, aacConfig_.begin())) {
    return true;
  }
  const bool drained = Flush();
  aacConfig_.assign(config, config + size);
  if (OpenContext(0, 0)) return drained;
  // A configuration FFmpeg refuses: the nominal format stands in for it.
  aacConfig_.clear();
  return IsValidNominalFormat(sampleRate, channels) && OpenContext(sampleRate, channels) && drained;
}

bool AudioDecoder::Flush() {
  mp3Carry_.clear();
  if (!context_) return true;  // nothing has been decoded since opening
  bool ok = avcodec_send_packet(context_.get(), nullptr) >= 0 && ReceiveFrames();
  // After the end of stream a context takes no more packets until flushed.
  avcodec_flush_buffers(context_.get());
  return ok;
}

bool AudioDecoder::ConvertToS16(const AVFrame* frame, int sampleRate, std::uint8_t* destination) {
  const int channels = frame->ch_layout.nb_channels;
  if (!converter_ || converterFormat_ != frame->format || converterChannels_ != channels ||
      converterSampleRate_ != sampleRate) {
    converter_.reset();
    converterFormat_ = -1;
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    SwrContext* swr = nullptr;
    // Same rate and layout on both sides: a pure sample-format conversion,
    // which holds back no samples.
    if (swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, sampleRate, &layout,
                            static_cast<AVSampleFormat>(frame->format), sampleRate, 0,
                            nullptr) < 0) {
      return false;
    }
    converter_.reset(swr);
    if (swr_init(swr) < 0) {
      converter_.reset();
      return false;
    }
    converterFormat_ = frame->format;
    converterChannels_ = channels;
    converterSampleRate_ = sampleRate;
  }
  std::uint8_t* planes[1] = {destination};
  const int converted =
      swr_convert(converter_.get(), planes, frame->nb_samples,
                  const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
  return converted == frame->nb_samples;
}

bool AudioDecoder::AppendFrame(const AVFrame* frame, int sampleRate) {
  const int channels = frame->ch_layout.nb_channels;
  if (frame->nb_samples <= 0) return true;
  if (channels < 1 || channels > kMaxChannels || sampleRate <= 0) return false;
  const std::size_t bytes =
      static_cast<std::size_t>(frame->nb_samples) * static_cast<std::size_t>(channels) * kBytesPerSample;
  const auto format = static_cast<AVSampleFormat>(frame->format);
  if (format == AV_SAMPLE_FMT_S16 || (format == AV_SAMPLE_FMT_S16P && channels == 1)) {
    AppendPcm(sampleRate, channels, frame->data[0], bytes);
    return true;
  }
  std::vector<std::uint8_t> converted(bytes);
  if (!ConvertToS16(frame, sampleRate, converted.data())) return false;
  AppendPcm(sampleRate, channels, converted.data(), bytes);
  return true;
}

void AudioDecoder::AppendPcm(int sampleRate, int channels, const std::uint8_t* data, std::size_t size) {
  if (pending_.empty() || pending_.back().sampleRate != sampleRate ||
      pending_.back().channels != channels) {
    pending_.push_back(PcmBlock{sampleRate, channels, {}});
  }
  auto& bytes = pending_.back().bytes;
  bytes.insert(bytes.end(), data, data + size);
}

void AudioDecoder::TakeOutput(std::uint8_t** output, int* outputSize, int* sampleRate, int* channels) {
  output_.clear();
  if (!pending_.empty()) {
    PcmBlock& front = pending_.front();
    output_.swap(front.bytes);
    *sampleRate = front.sampleRate;
    *channels = front.channels;
    pending_.pop_front();
  }
  *output = output_.data();
  *outputSize = static_cast<int>(output_.size());
}

bool AudioDecoder::Decode(const std::uint8_t* input, int inputSize, std::uint8_t** output,
                          int* outputSize, int* sampleRate, int* channels) {
  if (output == nullptr || outputSize == nullptr || sampleRate == nullptr || channels == nullptr) {
    return false;
  }
  *output = nullptr;
  *outputSize = 0;
  output_.clear();
  if (codecId_ == 0) return false;
  bool ok = false;
  if (input == nullptr && inputSize == 0) {
    ok = Flush();
  } else if (input == nullptr || inputSize < 0) {
    return false;
  } else if (!EnsureContext(*sampleRate, *channels)) {
    return false;
  } else if (IsMp3()) {
    ok = DecodeMp3(input, static_cast<std::size_t>(inputSize));
  } else if (IsAac()) {
    ok = DecodeAac(input, static_cast<std::size_t>(inputSize), *sampleRate, *channels);
  } else {
    ok = DecodePacket(input, static_cast<std::size_t>(inputSize));
  }
  if (!ok) return false;
  TakeOutput(output, outputSize, sampleRate, channels);
  return true;
}

}  // namespace vexmar

namespace {
vexmar::AudioDecoder* FromHandle(VexmarAudioDecoder* handle) {
  return reinterpret_cast<vexmar::AudioDecoder*>(handle);
}
}  // namespace

extern "C" VEXMAR_API VexmarAudioDecoder* ADD_Create(void) {
  return reinterpret_cast<VexmarAudioDecoder*>(new (std::nothrow) vexmar::AudioDecoder());
}

extern "C" VEXMAR_API int ADD_Open(VexmarAudioDecoder* decoder, int codecId) {
  if (decoder == nullptr) return 0;
  try {
    return FromHandle(decoder)->Open(codecId) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

extern "C" VEXMAR_API int ADD_Decode(VexmarAudioDecoder* decoder, const uint8_t* input,
                                     int inputSize, uint8_t** output, int* outputSize,
                                     int* sampleRate, int* channels) {
  if (decoder == nullptr) return 0;
  try {
    return FromHandle(decoder)->Decode(input, inputSize, output, outputSize, sampleRate, channels)
               ? 1
               : 0;
  } catch (...) {
    // Out of memory while collecting PCM: the call fails, the handle stays.
    if (output != nullptr) *output = nullptr;
    if (outputSize != nullptr) *outputSize = 0;
    return 0;
  }
}

extern "C" VEXMAR_API int ADD_Close(VexmarAudioDecoder* decoder) {
  if (decoder == nullptr) return 0;
  FromHandle(decoder)->Close();
  return 1;
}

extern "C" VEXMAR_API void ADD_Delete(VexmarAudioDecoder* decoder) {
  delete FromHandle(decoder);
}
