#include "stdin_tag_source.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kelvra {

namespace {

constexpr std::size_t kReadBlockSize = 64 * 1024;
// The parser holds tags until it knows the stream's information; a full
// queue or this many seconds announce it anyway.
constexpr std::uint32_t kParserQueueLimit = 1000;
constexpr std::uint32_t kParserMaxInterleavedSeconds = 1;
constexpr int kSoundFormatAac = 10;
constexpr std::uint8_t kAacSequenceHeader = 0;

bool IsAacConfig(const FLVTag& tag) {
  return tag.soundFormat == kSoundFormatAac && tag.audioData != nullptr &&
         tag.audioDataSize > 1 && tag.audioData[0] == kAacSequenceHeader;
}

void Delete(FLVTag* tag) { FLVStreamParser_DeleteFLVTag(nullptr, tag); }

}  // namespace

StdinTagSource::StdinTagSource(int fd, std::uint32_t startTime)
    : fd_(fd), startTime_(startTime), parser_(FLVStreamParser_Create()) {
  if (parser_ == nullptr) return;
  FLVStreamParser_SetMaxFLVTagQueue(parser_, kParserQueueLimit);
  FLVStreamParser_SetMaxInterleavedTime(parser_, kParserMaxInterleavedSeconds);
  FLVStreamParser_SetFLVInfoCallBack(parser_, &OnInfo, this);
  FLVStreamParser_SetFLVAudioCallBack(parser_, &OnAudio, this);
  FLVStreamParser_Run(parser_);
}

StdinTagSource::~StdinTagSource() {
  FLVStreamParser_Delete(parser_);
  for (FLVTag* tag : parsed_) Delete(tag);
  Delete(heldConfig_);
  Delete(pending_);
}

void StdinTagSource::OnInfo(void*, FLVInfo*, int* decodeVideo, int* decodeAudio) {
  // Only the audio is converted: video tags are not even copied.
  if (decodeVideo != nullptr) *decodeVideo = 0;
  if (decodeAudio != nullptr) *decodeAudio = 1;
}

int StdinTagSource::OnAudio(void* user, FLVTag* tag) {
  auto* self = static_cast<StdinTagSource*>(user);
  try {
    self->parsed_.push_back(tag);
  } catch (...) {
    return 0;  // the parser keeps it and frees it
  }
  return 1;
}

bool StdinTagSource::ReadMore() {
  if (ended_ || parser_ == nullptr) return false;
  std::vector<std::uint8_t> block(kReadBlockSize);
  ssize_t got;
  do {
    got = read(fd_, block.data(), block.size());
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    ended_ = true;
    if (got < 0) failure_ = Result::kReadError;
    // What the parser still holds comes out now.
    FLVStreamParser_Flush(parser_);
    return false;
  }
  int result;
  while ((result = FLVStreamParser_DeliverData(parser_, block.data(), static_cast<int>(got))) ==
         FLV_PARSER_QUEUE_FULL) {
    FLVStreamParser_Flush(parser_);
  }
  if (result == FLV_PARSER_STREAM_ERROR || result == FLV_PARSER_OUT_OF_MEMORY) {
    ended_ = true;
    failure_ = result == FLV_PARSER_STREAM_ERROR ? Result::kNotFlv : Result::kReadError;
    return false;
  }
  return true;
}

FLVTag* StdinTagSource::TakeKept() {
  for (;;) {
    while (parsed_.empty()) {
      if (!ReadMore() && parsed_.empty()) return nullptr;
    }
    FLVTag* tag = parsed_.front();
    parsed_.pop_front();
    if (tag->timestamp >= startTime_) {
      if (heldConfig_ == nullptr) return tag;
      // The configuration goes first, at the kept tag's time.
      FLVTag* config = heldConfig_;
      heldConfig_ = nullptr;
      config->timestamp = tag->timestamp;
      parsed_.push_front(tag);
      startTime_ = 0;
      return config;
    }
    if (IsAacConfig(*tag)) {
      Delete(heldConfig_);
      heldConfig_ = tag;
    } else {
      Delete(tag);
    }
  }
}

StdinTagSource::Result StdinTagSource::Next(FLVTag** tag, std::uint32_t* duration) {
  if (parser_ == nullptr) return Result::kReadError;
  if (pending_ == nullptr) pending_ = TakeKept();
  if (pending_ == nullptr) return failure_;
  FLVTag* next = TakeKept();
  if (next != nullptr) lastGap_ = next->timestamp - pending_->timestamp;
  *tag = pending_;
  *duration = lastGap_;
  pending_ = next;
  return Result::kTag;
}

}  // namespace kelvra
