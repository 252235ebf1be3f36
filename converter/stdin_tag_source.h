// StdinTagSource reads an FLV stream from standard input through the
// library's incremental stream parser and hands out its audio tags one at a
// time, on the parser's time line (the first tag at 0). Standard input
// cannot seek: a start time is honoured by dropping the tags before it,
// except that the AAC configuration in force there is handed out first,
// stamped with the first kept tag's time, so the decoder can start.
//
// Ownership: every tag handed out belongs to the caller (free it with
// FLVStreamParser_DeleteFLVTag); tags still held when the source ends are
// freed with it.
#ifndef KELVRA_CONVERTER_STDIN_TAG_SOURCE_H
#define KELVRA_CONVERTER_STDIN_TAG_SOURCE_H

#include <cstdint>
#include <deque>

#include "kelvra.h"

namespace kelvra {

class StdinTagSource {
 public:
  // What Next answers besides a tag.
  enum class Result { kTag, kEnd, kNotFlv, kReadError };

  StdinTagSource(int fd, std::uint32_t startTime);
  ~StdinTagSource();
  StdinTagSource(const StdinTagSource&) = delete;
  StdinTagSource& operator=(const StdinTagSource&) = delete;

  // kTag with *tag and *duration (ms until the next audio tag; for the last
  // one, the gap before it) set, or why there is none.
  Result Next(FLVTag** tag, std::uint32_t* duration);

 private:
  static void OnInfo(void* user, FLVInfo* info, int* decodeVideo, int* decodeAudio);
  static int OnAudio(void* user, FLVTag* tag);
  // Reads and parses one block of standard input; false at its end (the
  // parser is then flushed) or on an error.
  bool ReadMore();
  // The next tag at or after the start time, with the held AAC
  // configuration put in front of the first one.
  FLVTag* TakeKept();

  int fd_;
  std::uint32_t startTime_;
  ::FLVStreamParser* parser_;
  std::deque<FLVTag*> parsed_;  // owned
  FLVTag* heldConfig_ = nullptr;  // owned: the latest AAC configuration dropped
  FLVTag* pending_ = nullptr;     // owned: read ahead to know the previous duration
  bool ended_ = false;
  Result failure_ = Result::kEnd;
  std::uint32_t lastGap_ = 0;
};

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_STDIN_TAG_SOURCE_H
