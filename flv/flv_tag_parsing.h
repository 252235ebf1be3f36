// The FLV parsing operations shared by the stream parser and the tag reader:
// file header, tag header, tag body, release of a tag's data block and the
// playing time of an audio block. Each works on a byte range the caller
// holds; none reads past the bytes it is given and none lets an exception
// escape.
#ifndef KELVRA_FLV_FLV_TAG_PARSING_H
#define KELVRA_FLV_FLV_TAG_PARSING_H

#include <cstddef>
#include <cstdint>

#include "kelvra.h"

namespace kelvra {

inline constexpr std::size_t kFileHeaderSize = 9;
inline constexpr std::size_t kTagHeaderSize = 11;
inline constexpr std::size_t kPreviousTagSizeFieldSize = 4;
// A tag occupies its data size plus the header and the trailing
// previous-tag-size field in the stream.
inline constexpr std::uint32_t kTagOverheadSize = 15;
// The data block holds the header copy, the body and this much slack.
inline constexpr std::uint32_t kTagBlockExtraSize = 19;

// Makes `block` the record's data block (it must hold at least dataSize +
// kTagBlockExtraSize bytes; the record owns it from now on): the 11 header
// bytes are copied in and the slack zeroed; the body is filled when it is
// parsed.
void InstallFLVTagBlock(FLVTag* tag, const std::uint8_t* header, std::uint8_t* block);

struct FLVHeaderFields {
  int version = 0;
  int hasAudio = 0;
  int hasVideo = 0;
  // Bytes between the 9-byte header and the first tag header: the rest of
  // the header and the first previous-tag-size field (data offset - 5).
  std::int32_t bytesToSkip = 0;
  // Stream offset of the first tag (data offset + 4).
  std::int64_t firstTagPosition = 0;
};

// Fails only on a wrong signature (or fewer than 9 bytes).
bool ParseFLVHeader(const std::uint8_t* bytes, std::size_t length, FLVHeaderFields* header);

// `bytes` begin with the 11 header bytes. With `allocate` the tag gets a data
// block holding the header copy (room for data size + 19 bytes) and
// `streamPosition` is left alone; without it `filePosition` takes
// *streamPosition, which then advances by the stored size. Writes data size
// + 4 to *bytesToTagEnd. Fails when the data block cannot be allocated.
bool ParseFLVTagHeader(const std::uint8_t* bytes, std::size_t length, bool allocate, FLVTag* tag,
                       std::int64_t* streamPosition, std::uint32_t* bytesToTagEnd);

// `bytes` are the body followed by the previous-tag-size field (data size +
// 4). Fills the media fields and copies the body into the data block. A
// media field that a short `bytes` does not hold reads as zero and the tag is
// kept (picture sizes then come out 0 or nonsense, never from outside
// `bytes`). On failure the data block is released.
bool ParseFLVTagBody(const std::uint8_t* bytes, std::size_t length, FLVTag* tag);

// Frees `block`; `block` and `data` become null.
void ReleaseFLVTagData(FLVTag* tag);

// Playing time of an audio tag's payload in 100-ns units, -1 when unknown:
// at the rate of its flags byte, or at `sampleRate` (the stream's real rate,
// see AudioFormatTracker).
std::int64_t CalcAudioBlockDuration(const FLVTag* tag);
std::int64_t CalcAudioBlockDuration(const FLVTag* tag, int sampleRate);

// A zero-filled tag record, or null when memory is short.
FLVTag* NewFLVTag();
// Frees a record and its data block; null is ignored.
void DeleteFLVTag(FLVTag* tag);

// Frees a tag record at the end of a scope when `owned` says the holder owns
// it (for example a record a tag reader handed out with auto-release off).
class TagRelease {
 public:
  TagRelease(FLVTag* tag, bool owned) : tag_(owned ? tag : nullptr) {}
  ~TagRelease() { DeleteFLVTag(tag_); }
  TagRelease(const TagRelease&) = delete;
  TagRelease& operator=(const TagRelease&) = delete;

 private:
  FLVTag* tag_;
};

// Sets `timestamp` and rewrites the time stamp bytes of the header copy in
// the data block (when there is one).
void SetFLVTagTimestamp(FLVTag* tag, std::uint32_t timestamp);

// The audio parameter table: sample rate (Hz) and channels from the flags
// byte, or fixed by the sound format (Nellymoser 8/16 kHz, G.711, Speex,
// MP3 8 kHz); bits per sample. AAC's real values come from its stream.
int AudioSampleRateOf(int soundFormat, int soundRate);
int AudioChannelsOf(int soundFormat, int soundType);
int AudioBitsPerSampleOf(int soundSize);

// Whether a video tag with data declares the stream's picture size: a key
// frame, or for H.264 a sequence header whose SPS gave a size.
bool DeclaresPictureSize(const FLVTag& tag);

struct AudioFormat;
// Fills the audio fields of `info` from an audio tag with data and its
// stream's real format, or the video fields (codec, width, height) from a
// video tag that declares the size.
void FillAudioInfoFromTag(const FLVTag& tag, const AudioFormat& format, FLVInfo* info);
void FillVideoInfoFromTag(const FLVTag& tag, FLVInfo* info);

// An FLVInfo with nothing found: all zero, videoCodec = audioFormat = -1.
FLVInfo EmptyFLVInfo();

}  // namespace kelvra

#endif  // KELVRA_FLV_FLV_TAG_PARSING_H
