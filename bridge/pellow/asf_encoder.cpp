#include "asf_encoder.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "pellow/pellow.h"
#include "shared/units_100ns.h"
#include "utf16_path.h"

namespace pellow {
namespace {

// The writer's identifier of WMA version 2 and the muxer that holds it.
constexpr int kWriterCodecWmav2 = 0x15009;
constexpr const char* kAsfMuxer = "asf";
constexpr double kTicksPerSecond = static_cast<double>(units100ns::kPerSecond);
// Gaps and overlaps below this come from rounding the stamps, not from holes.
constexpr double kToleranceTicks = static_cast<double>(units100ns::kPerMs);  // 1 ms
constexpr int kBytesPerSample = 2;
// Silence goes to the writer in pieces of at most this long, so a long gap
// costs no more memory than a second of audio.
constexpr int kSilenceChunkSeconds = 1;
// The longest gap that is filled with silence.
constexpr int64_t kMaxGapSeconds = 3600;
// Beyond what any audio block carries; larger values are taken for garbage.
constexpr int kMaxSampleRate = 384000;
constexpr int kMaxChannels = 8;

}  // namespace

AsfEncoder::~AsfEncoder() { Close(); }

bool AsfEncoder::SetEncodingParams(int audioCodecId, int sampleRate, int channels, int bitRate) {
  if (state_ != State::kIdle) return false;
  audioCodecId_ = audioCodecId;
  sampleRate_ = sampleRate;
  channels_ = channels;
  bitRate_ = bitRate;
  return true;
}

bool AsfEncoder::Open(const char* utf8Path) {
  if (state_ != State::kIdle || utf8Path == nullptr || audioCodecId_ != PELLOW_CODEC_WMAV2) {
    return false;
  }
  lastError_ = 0;
  writer_ = AVW_Create(0, 1);
  if (writer_ == nullptr) return false;
  AVW_SetupAudioParams(writer_, kWriterCodecWmav2, bitRate_ > 0 ? bitRate_ : 0, sampleRate_,
                       channels_);
  AVW_SetOutputFormat(writer_, kAsfMuxer);
  AVW_SetOutFile(writer_, utf8Path);
  if (AVW_Open(writer_) == 0) {
    NoteWriterFailure();
    AVW_Delete(writer_);
    writer_ = nullptr;
    return false;
  }
  writtenTicks_ = 0.0;
  state_ = State::kOpen;
  return true;
}

bool AsfEncoder::NoteWriterFailure() {
  if (lastError_ == 0) lastError_ = AVW_GetLastError(writer_);
  return false;
}

bool AsfEncoder::Forward(const uint8_t* data, int size, int sampleRate, int channels) {
  if (AVW_WriteAudioFrame(writer_, data, size, sampleRate, channels) == 0) {
    return NoteWriterFailure();
  }
  const double frames = static_cast<double>(size) / (channels * kBytesPerSample);
  writtenTicks_ += frames * kTicksPerSecond / sampleRate;
  return true;
}

bool AsfEncoder::WriteSilence(int64_t frames, int sampleRate, int channels) {
  const int64_t chunkFrames = std::min<int64_t>(frames, int64_t{sampleRate} * kSilenceChunkSeconds);
  const std::vector<uint8_t> zeros(static_cast<size_t>(chunkFrames) * channels * kBytesPerSample);
  while (frames > 0) {
    const int64_t now = std::min(frames, chunkFrames);
    if (!Forward(zeros.data(), static_cast<int>(now * channels * kBytesPerSample), sampleRate,
                 channels)) {
      return false;
    }
    frames -= now;
  }
  return true;
}

bool AsfEncoder::WriteAudio(const uint8_t* data, int size, int sampleRate, int channels,
                            int64_t timestamp) {
  if (state_ != State::kOpen || data == nullptr || size <= 0 || sampleRate <= 0 ||
      sampleRate > kMaxSampleRate || channels <= 0 || channels > kMaxChannels) {
    return false;
  }
  const double stamp = static_cast<double>(timestamp);
  if (timestamp >= 0 && stamp - writtenTicks_ >= kToleranceTicks) {
    const auto gapFrames =
        static_cast<int64_t>(std::llround((stamp - writtenTicks_) * sampleRate / kTicksPerSecond));
    if (gapFrames <= int64_t{sampleRate} * kMaxGapSeconds) {
      if (!WriteSilence(gapFrames, sampleRate, channels)) return false;
    } else {
      // A stamp hours ahead is no hole but a broken clock: the block is
      // written on, and the time line continues from its stamp.
      writtenTicks_ = stamp;
    }
  } else if (timestamp >= 0 && writtenTicks_ - stamp >= kToleranceTicks) {
    const int frameBytes = channels * kBytesPerSample;
    const auto overlapFrames =
        static_cast<int64_t>(std::llround((writtenTicks_ - stamp) * sampleRate / kTicksPerSecond));
    const int64_t cutBytes = overlapFrames * frameBytes;
    if (cutBytes >= size) return true;  // wholly before the end: nothing new
    data += cutBytes;
    size -= static_cast<int>(cutBytes);
  }
  return Forward(data, size, sampleRate, channels);
}

bool AsfEncoder::WriteAudioEnd() {
  if (state_ != State::kOpen) return false;
  state_ = State::kEnded;
  return AVW_Close(writer_) != 0 || NoteWriterFailure();
}

bool AsfEncoder::Close() {
  bool complete = true;
  if (state_ == State::kOpen) complete = WriteAudioEnd();
  if (state_ != State::kEnded) return false;
  AVW_Delete(writer_);
  writer_ = nullptr;
  state_ = State::kIdle;
  return complete;
}

}  // namespace pellow

// The exports: the opaque handle is the encoder object itself.
namespace {

pellow::AsfEncoder* AsEncoder(PellowEncoder* handle) {
  return reinterpret_cast<pellow::AsfEncoder*>(handle);
}

}  // namespace

extern "C" PELLOW_API PellowEncoder* AsfEnc_Create(void) {
  // The encoder may be used without the bridge's start-up: keep FFmpeg quiet.
  Vexmar_init();
  return reinterpret_cast<PellowEncoder*>(new (std::nothrow) pellow::AsfEncoder());
}

extern "C" PELLOW_API int AsfEnc_SetEncodingParams(PellowEncoder* encoder, int /*unused0*/,
                                                   int /*unused1*/, int /*unused2*/,
                                                   int audioCodecId, int /*unused3*/,
                                                   int /*unused4*/, int sampleRate, int channels,
                                                   int bitRate) {
  if (encoder == nullptr) return 0;
  return AsEncoder(encoder)->SetEncodingParams(audioCodecId, sampleRate, channels, bitRate) ? 1 : 0;
}

extern "C" PELLOW_API int AsfEnc_Open(PellowEncoder* encoder, const char16_t* path) {
  if (encoder == nullptr) return 0;
  try {
    const std::optional<std::string> utf8 = pellow::Utf16ToUtf8(path);
    if (!utf8 || utf8->empty()) return 0;
    return AsEncoder(encoder)->Open(utf8->c_str()) ? 1 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" PELLOW_API int AsfEnc_WriteAudioEx(PellowEncoder* encoder, const uint8_t* data,
                                              int size, int sampleRate, int channels,
                                              int64_t timestamp, int64_t /*duration*/) {
  if (encoder == nullptr) return 0;
  try {
    return AsEncoder(encoder)->WriteAudio(data, size, sampleRate, channels, timestamp) ? 1 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" PELLOW_API int AsfEnc_WriteAudioEnd(PellowEncoder* encoder) {
  if (encoder == nullptr) return 0;
  return AsEncoder(encoder)->WriteAudioEnd() ? 1 : 0;
}

extern "C" PELLOW_API int AsfEnc_Close(PellowEncoder* encoder) {
  if (encoder == nullptr) return 0;
  return AsEncoder(encoder)->Close() ? 1 : 0;
}

extern "C" PELLOW_API int AsfEnc_GetLastError(PellowEncoder* encoder) {
  if (encoder == nullptr) return 0;
  return AsEncoder(encoder)->LastError();
}

extern "C" PELLOW_API void AsfEnc_Delete(PellowEncoder* encoder) {
  // The destructor completes an open file first.
  delete AsEncoder(encoder);
}
