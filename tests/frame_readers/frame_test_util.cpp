#include "frame_readers/frame_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {

namespace {
constexpr int kCopyData = 1;
constexpr int kBytesPerPixel = 4;
constexpr int kCodecH264 = 7;
constexpr int kBytesPerSample = 2;
constexpr std::size_t kFlvHeaderDataOffsetAt = 5;
constexpr std::size_t kPreviousTagSizeBytes = 4;
constexpr std::size_t kTagHeaderBytes = 11;
constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint32_t U24(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}
std::uint32_t U32(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 24) | U24(p + 1); }

struct DecoderDeleter {
  void operator()(FLVStreamDecoder* decoder) const { FLVStreamDecoder_Delete(decoder); }
};
using DecoderPtr = std::unique_ptr<FLVStreamDecoder, DecoderDeleter>;
}  // namespace

void TagReaderCloser::operator()(FLVAVTagReader* reader) const {
  FLVAVTagReader_Close(reader);
  FLVAVTagReader_Delete(reader);
}

TagReaderPtr OpenTagReader(const std::string& path) {
  TagReaderPtr reader(FLVAVTagReader_Create());
  if (reader == nullptr || FLVAVTagReader_Open(reader.get(), path.c_str()) != 1) {
    ADD_FAILURE() << "cannot open " << path;
    return nullptr;
  }
  return reader;
}

std::vector<std::uint8_t> DecodeAudioTagByTag(const std::string& path) {
  std::vector<std::uint8_t> pcm;
  TagReaderPtr reader = OpenTagReader(path);
  if (reader == nullptr) return pcm;
  FLVInfo info{};
  FLVAVTagReader_GetFLVInfoEx(reader.get(), &info);
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  FLVStreamDecoder_SetSampleRate(decoder.get(), info.sampleRate);
  FLVStreamDecoder_SetNumberOfChannels(decoder.get(), info.channels);
  FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1);
  const std::size_t frameBytes = static_cast<std::size_t>(info.channels) * kBytesPerSample;
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  std::uint8_t* out = nullptr;
  int size = 0;
  while (FLVAVTagReader_ReadTag(reader.get(), kCopyData, FLV_TAG_TYPE_AUDIO, &tag, &duration) ==
         FLV_READER_OK) {
    if (tag->dataSize == 0 || tag->audioDataSize == 0) {
      const std::uint64_t frames = std::uint64_t{duration} * static_cast<std::uint64_t>(info.sampleRate) / 1000;
      pcm.insert(pcm.end(), frames * frameBytes, 0);
    } else if (FLVStreamDecoder_DecodeFLVTag(decoder.get(), tag, &out, &size) != 0 && size > 0) {
      pcm.insert(pcm.end(), out, out + size);
    }
  }
  if (FLVStreamDecoder_DecodeFLVTag(decoder.get(), nullptr, &out, &size) != 0 && size > 0) {
    pcm.insert(pcm.end(), out, out + size);
  }
  return pcm;
}

AudioPull PullAudio(const std::string& path, std::uint32_t requestSize, std::size_t limitBytes) {
  AudioPull pull;
  TagReaderPtr reader = OpenTagReader(path);
  if (reader == nullptr) return pull;
  AudioFramesPtr audio(AudioFrameReader_Create(reader.get()));
  if (audio == nullptr) {
    ADD_FAILURE() << "no audio frame reader for " << path;
    return pull;
  }
  std::vector<std::uint8_t> block(requestSize);
  for (;;) {
    // Stale bytes would hide a call that leaves part of the buffer unwritten.
    std::fill(block.begin(), block.end(), 0xA5);
    const int more = AudioFrameReader_ReadFrame(audio.get(), block.data(), requestSize);
    pull.bytes.insert(pull.bytes.end(), block.begin(), block.end());
    if (more == 0) break;
    ++pull.callsBeforeEnd;
    if (pull.bytes.size() > limitBytes) {
      ADD_FAILURE() << "the audio of " << path << " does not end";
      break;
    }
  }
  return pull;
}

namespace {
// FNV-1a over 64-bit words (a byte at a time for the tail), continued from
// `hash`.
std::uint64_t HashMore(std::uint64_t hash, const std::uint8_t* bytes, std::size_t size) {
  std::size_t i = 0;
  for (; i + sizeof(std::uint64_t) <= size; i += sizeof(std::uint64_t)) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + i, sizeof word);
    hash = (hash ^ word) * kFnvPrime;
  }
  for (; i < size; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
  return hash;
}

// The decoder's pictures run top first; the frame reader hands them out
// bottom first, so the reference hashes the rows in that order.
std::uint64_t HashBottomFirst(const std::uint8_t* picture, int width, int height) {
  const std::size_t row = static_cast<std::size_t>(width) * kBytesPerPixel;
  std::uint64_t hash = kFnvOffset;
  for (int y = height - 1; y >= 0; --y) {
    hash = HashMore(hash, picture + static_cast<std::size_t>(y) * row, row);
  }
  return hash;
}
}  // namespace

std::uint64_t HashBytes(const std::uint8_t* bytes, std::size_t size) {
  return HashMore(kFnvOffset, bytes, size);
}

std::vector<ReferencePicture> DecodeVideoTagByTag(const std::string& path, std::uint32_t untilMs) {
  std::vector<ReferencePicture> pictures;
  TagReaderPtr reader = OpenTagReader(path);
  if (reader == nullptr) return pictures;
  FLVInfo info{};
  FLVAVTagReader_GetFLVInfoEx(reader.get(), &info);
  DecoderPtr decoder(FLVStreamDecoder_Create(1));
  FLVStreamDecoder_SetOutputSize(decoder.get(), info.width, info.height);
  FLVStreamDecoder_SetResizeMode(decoder.get(), 2);
  FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1);
  FLVStreamDecoder_SetDecodeAlphaChannel(decoder.get(), 0);
  const std::size_t pictureBytes = static_cast<std::size_t>(info.width) * info.height * kBytesPerPixel;
  const std::vector<std::uint8_t> black(pictureBytes, 0);
  const std::uint64_t blackHash = HashBytes(black.data(), black.size());
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  // H.264 pictures come later than their tags, at their presentation times;
  // a tag without one adds nothing, and the last come for null tags.
  const bool h264 = info.videoCodec == kCodecH264;
  for (;;) {
    const bool read = FLVAVTagReader_ReadTag(reader.get(), kCopyData, FLV_TAG_TYPE_VIDEO, &tag,
                                             &duration) == FLV_READER_OK;
    if (!read && !h264) break;
    ReferencePicture picture;
    picture.duration = duration;
    std::uint8_t* out = nullptr;
    int size = 0;
    const bool decoded =
        FLVStreamDecoder_DecodeFLVTag(decoder.get(), read ? tag : nullptr, &out, &size) != 0 &&
        static_cast<std::size_t>(size) == pictureBytes;
    if (h264 && !decoded) {
      if (!read) break;
      continue;
    }
    picture.start = tag->timestamp;
    if (h264) FLVStreamDecoder_GetPictureTime(decoder.get(), &picture.start);
    picture.hash = decoded ? HashBottomFirst(out, info.width, info.height) : blackHash;
    picture.black = picture.hash == blackHash;
    pictures.push_back(picture);
    if (picture.start > untilMs) break;
  }
  return pictures;
}

const ReferencePicture* PictureAt(const std::vector<ReferencePicture>& pictures, std::uint32_t t) {
  for (const ReferencePicture& picture : pictures) {
    if (picture.start <= t && std::uint64_t{t} < std::uint64_t{picture.start} + picture.duration) {
      return &picture;
    }
  }
  return nullptr;
}

std::vector<RawTag> ReadRawTags(const std::string& path) {
  std::vector<RawTag> tags;
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  if (bytes.size() < kFlvHeaderDataOffsetAt + 4) return tags;
  std::size_t at = U32(bytes.data() + kFlvHeaderDataOffsetAt) + kPreviousTagSizeBytes;
  while (at + kTagHeaderBytes <= bytes.size()) {
    const std::uint8_t* header = bytes.data() + at;
    const std::uint32_t dataSize = U24(header + 1);
    const std::size_t end = at + kTagHeaderBytes + dataSize;
    if (end + kPreviousTagSizeBytes > bytes.size()) break;
    RawTag tag;
    tag.type = header[0];
    tag.timestamp = U24(header + 4) | (std::uint32_t{header[7]} << 24);
    tag.body.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at + kTagHeaderBytes),
                    bytes.begin() + static_cast<std::ptrdiff_t>(end));
    tags.push_back(std::move(tag));
    at = end + kPreviousTagSizeBytes;
  }
  return tags;
}

void WriteRawTags(const std::string& path, const std::vector<RawTag>& tags) {
  FlvBuilder builder;
  builder.Header();
  for (const RawTag& tag : tags) builder.Tag(tag.type, tag.timestamp, tag.body);
  builder.WriteTo(path);
}

}  // namespace kelvra::test
