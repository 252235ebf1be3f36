#include "pipeline/audio_frame_reader.h"

#include <algorithm>
#include <new>
#include <utility>

#include "flv/flv_tag_parsing.h"

namespace kelvra {

namespace {
constexpr std::size_t kZeroBlockSize = 4096;
constexpr std::uint64_t kMillisecondsPerSecond = 1000;
constexpr int kCopyData = 1;
}  // namespace

AudioFrameReader* AudioFrameReader::Create(FLVAVTagReader* reader) {
  FLVInfo info{};
  // A closed reader leaves the information unfilled: refuse it rather than
  // work from an undefined format.
  if (reader == nullptr || reader->GetFLVInfoEx(&info) == 0) return nullptr;

  VexmarDataBuffer* buffer = DB2_Create();
  if (buffer == nullptr) return nullptr;
  AudioFrameReader* self = nullptr;
  try {
    auto decoder = std::make_unique<FLVAudioDecoder>();
    decoder->SetSampleRate(info.sampleRate);
    decoder->SetNumberOfChannels(info.channels);
    decoder->SetDecodeSyncMode(1);
    self = new AudioFrameReader(reader, buffer, std::move(decoder), info.sampleRate, info.channels);
  } catch (const std::bad_alloc&) {
    DB2_Delete(buffer);
    return nullptr;
  }

  std::uint32_t audioDuration = 0;
  std::uint32_t videoDuration = 0;
  reader->GetDuration(&audioDuration, &videoDuration);
  if (videoDuration > audioDuration) {
    const std::uint64_t frames = static_cast<std::uint64_t>(videoDuration - audioDuration) *
                                 static_cast<std::uint64_t>(std::max(info.sampleRate, 0)) /
                                 kMillisecondsPerSecond;
    self->tailSilenceBytes_ = frames * self->FrameBytes();
  }
  return self;
}

AudioFrameReader::AudioFrameReader(FLVAVTagReader* reader, VexmarDataBuffer* buffer,
                                   std::unique_ptr<FLVAudioDecoder> decoder, int sampleRate,
                                   int channels)
    : sampleRate_(sampleRate),
      channels_(channels),
      buffer_(buffer),
      reader_(reader),
      decoder_(std::move(decoder)),
      zeroBlock_(kZeroBlockSize, 0) {}

AudioFrameReader::~AudioFrameReader() {
  DB2_Clear(buffer_);
  DB2_Delete(buffer_);
}

std::uint64_t AudioFrameReader::FrameBytes() const {
  return static_cast<std::uint64_t>(std::max(channels_, 1)) * kBytesPerSample;
}

std::uint64_t AudioFrameReader::SilenceBytesFor(std::uint32_t milliseconds) const {
  const std::uint64_t frames =
      static_cast<std::uint64_t>(milliseconds) * static_cast<std::uint64_t>(std::max(sampleRate_, 0)) /
      kMillisecondsPerSecond;
  return frames * FrameBytes();
}

void AudioFrameReader::InsertSilence(std::uint64_t bytes) {
  while (bytes > 0) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kZeroBlockSize));
    DB2_Push(buffer_, zeroBlock_.data(), piece);
    bytes -= piece;
  }
}

void AudioFrameReader::Push(const std::uint8_t* data, int size) {
  if (data != nullptr && size > 0) DB2_Push(buffer_, data, static_cast<std::size_t>(size));
}

std::uint64_t AudioFrameReader::Held() const { return DB2_GetDataSize(buffer_); }

void AudioFrameReader::EndOfTags() {
  pendingSilenceBytes_ = tailSilenceBytes_;
  ended_ = true;
  std::uint8_t* output = nullptr;
  int outputSize = 0;
  if (decoder_->DecodeFLVTag(nullptr, &output, &outputSize) != 0) {
    Push(output, outputSize);
  }
}

int AudioFrameReader::ReadFrame(std::uint8_t* destination, std::uint32_t size) {
  const std::uint64_t n = size;
  auto handOut = [&](int result) {
    DB2_Read(buffer_, destination, n);
    return result;
  };
  for (;;) {
    if (Held() >= n) {
      DB2_Read(buffer_, destination, n);
      return ended_ && Held() == 0 && pendingSilenceBytes_ == 0 ? 0 : 1;
    }
    if (pendingSilenceBytes_ != 0) {
      const std::uint64_t held = Held();
      if (held + pendingSilenceBytes_ > n) {
        InsertSilence(n - held);
        pendingSilenceBytes_ -= n - held;
        return handOut(1);
      }
      InsertSilence(pendingSilenceBytes_);
      pendingSilenceBytes_ = 0;
    }
    if (ended_) {
      InsertSilence(n - Held());
      return handOut(0);
    }
    // Decode tags until the request is covered, a gap is pending or the
    // tags run out.
    for (;;) {
      FLVTag* tag = nullptr;
      std::uint32_t duration = 0;
      // A read failure ends the audio as the end of the tags does.
      if (reader_->ReadTag(kCopyData, FLV_TAG_TYPE_AUDIO, &tag, &duration) !=
          FLV_READER_OK) {
        EndOfTags();
        if (Held() > n) return handOut(1);
        if (pendingSilenceBytes_ == 0) {
          InsertSilence(n - Held());
          return handOut(0);
        }
        break;
      }
      // A caller that switched auto-release off made every record ours to
      // free.
      const TagRelease release(tag, !reader_->autoReleaseMemory());
      if (tag->dataSize == 0 || tag->audioDataSize == 0) {
        pendingSilenceBytes_ = SilenceBytesFor(duration);
        break;
      }
      std::uint8_t* output = nullptr;
      int outputSize = 0;
      if (decoder_->DecodeFLVTag(tag, &output, &outputSize) != 0) {
        Push(output, outputSize);
      }
      if (Held() >= n) return handOut(1);
    }
  }
}

}  // namespace kelvra
