#include "conversion_driver.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "conversion_status.h"
#include "file_audio_check.h"
#include "stdin_tag_source.h"
#include "output_writer.h"
#include "stop_signals.h"
#include "progress_display.h"

namespace kelvra {

namespace {

// Pipeline configuration of a conversion. The video decoder runs only for
// ASF output, where tiny pictures keep it cheap.
constexpr int kVideoWidth = 32;
constexpr int kVideoHeight = 24;
constexpr double kVideoFPS = 25.0;
constexpr int kQueueLimit = 1000;
constexpr int kParserMaxInterleavedSeconds = 5;
constexpr int kDecoderMaxIntervalMs = 500;
constexpr int kCopyData = 1;
// Progress is shown with every this-many delivered tags.
constexpr unsigned kProgressEvery = 50;
constexpr auto kBusyRetryDelay = std::chrono::milliseconds(10);
// The "-slp" pause is taken in slices this long, so a stop is seen soon.
constexpr auto kPauseSlice = std::chrono::milliseconds(10);

void IgnoreFLVInfoCallBack(void*, FLVInfo*, int*, int*) {}
void DiscardVideoCallBack(void*, const std::uint8_t*, std::int32_t, std::int64_t, std::int64_t,
                          std::int32_t, std::int32_t) {}

void ReportFileProblem(const std::string& path, const char* message) {
  std::fprintf(stderr, "%s, %s\n", path.c_str(), message);
  std::fflush(stderr);
}

// The reader read past damaged stretches of the file: said once per file,
// so that a conversion that goes on is not taken for a clean one.
void ReportSkippedDamage(::FLVAVTagReader* reader, const std::string& path) {
  std::int64_t ranges = 0;
  std::int64_t bytes = 0;
  std::int64_t firstOffset = -1;
  FLVAVTagReader_GetSkippedBytes(reader, &ranges, &bytes, &firstOffset);
  if (ranges <= 0) return;
  std::fprintf(stderr, "%s, Skipped %lld damaged byte ranges (%lld bytes), the first at offset %lld.\n",
               path.c_str(), static_cast<long long>(ranges), static_cast<long long>(bytes),
               static_cast<long long>(firstOffset));
  std::fflush(stderr);
}

// A stop signal, or the writer's failure as the audio callback noted it.
bool StopRequested(const ConverterSettings& settings) {
  return StopSignals::Received() != 0 ||
         (settings.status != nullptr && settings.status->WriteFailed());
}

// Delivers a tag the stream must take; a full decoder queue is waited out
// unless a stop comes. The stream owns the tag when this returns true.
bool DeliverTag(const ConverterSettings& settings, ::FLVStream* stream, FLVTag* tag) {
  int result;
  while ((result = FLVStream_DeliverDataEx(stream, tag)) == FLV_STREAM_BUSY) {
    if (StopRequested(settings)) return false;
    std::this_thread::sleep_for(kBusyRetryDelay);
  }
  return result == FLV_STREAM_TAKEN;
}

void Pause(const ConverterSettings& settings, std::chrono::milliseconds length) {
  while (length.count() > 0 && !StopRequested(settings)) {
    const auto slice = std::min<std::chrono::milliseconds>(length, kPauseSlice);
    std::this_thread::sleep_for(slice);
    length -= slice;
  }
}

void ReleaseTag(FLVTag* tag) { FLVStreamParser_DeleteFLVTag(nullptr, tag); }

// The reader's seek lands on the first tag after the time when that tag is
// audio, so a seek to 0 would skip the file's first audio block; a file read
// from its start is read from its first tag instead. That includes a file
// whose tags all lie at 0 (one audio block), where no tag follows the time.
// A file without audio still fails, as its seek would.
int PositionAtStart(::FLVAVTagReader* reader, std::uint32_t startTime, std::uint32_t audioEnd) {
  if (startTime == 0) {
    const int result = FLVAVTagReader_Seek(reader, FLV_TAG_TYPE_AUDIO, 0);
    if (result == FLV_READER_OK || (result == FLV_READER_SEEK_NO_TAG_AFTER && audioEnd > 0)) {
      return FLVAVTagReader_SeekToBegin(reader);
    }
    return result;
  }
  return FLVAVTagReader_Seek(reader, FLV_TAG_TYPE_AUDIO, startTime);
}

}  // namespace

namespace {

// What the batch loop carries from file to file.
struct BatchState {
  explicit BatchState(std::FILE* out) : progress(out) {}
  ProgressDisplay progress;
  std::uint32_t batchOffset = 0;  // output time of the next file's first tag
  std::uint32_t totalTime = 0;
  unsigned progressCounter = 0;
  bool stopped = false;
};

// Where one file's audio tags come from: FLV_READER_OK with a caller-owned
// tag and its duration, FLV_READER_END, or a failure.
using NextTag = std::function<int(FLVTag** tag, std::uint32_t* duration)>;

// Feeds one file's tags from `next` onto the batch time line until its
// duration is reached, its tags end or a stop is asked for.
void FeedFile(ConverterSettings& settings, ::FLVStream* stream, const InputFileItem& item,
              const NextTag& next, BatchState& batch) {
  bool firstTag = true;
  bool readFailed = false;
  std::uint32_t base = 0;
  bool haveEnd = false;
  std::uint32_t fileEnd = 0;  // output end time of the file's last tag
  FileAudioCheck audioCheck;
  for (;;) {
    FLVTag* tag = nullptr;
    std::uint32_t tagDuration = 0;
    const int result = next(&tag, &tagDuration);
    if (result == FLV_READER_END) break;
    if (result != FLV_READER_OK) {
      ReportFileProblem(item.path, "Fail to read the file.");
      readFailed = true;
      break;
    }
    if (firstTag) {
      base = tag->timestamp;
      firstTag = false;
    }
    const std::uint32_t outputTime = tag->timestamp - base + batch.batchOffset;
    tag->timestamp = outputTime;
    haveEnd = true;
    fileEnd = outputTime + tagDuration;
    if (outputTime - batch.batchOffset >= item.duration) {
      // The duration is reached: this tag is not delivered.
      ReleaseTag(tag);
      break;
    }
    if (StopRequested(settings)) {
      ReleaseTag(tag);
      batch.stopped = true;
      break;
    }
    if (settings.quiet == 0) {
      if (batch.progressCounter == kProgressEvery) {
        batch.progress.Show(outputTime, std::max(batch.totalTime, outputTime));
        batch.progressCounter = 0;
      }
      ++batch.progressCounter;
    }
    audioCheck.Observe(*tag);
    if (!DeliverTag(settings, stream, tag)) ReleaseTag(tag);
    if (settings.sleepTime > 0) Pause(settings, std::chrono::milliseconds(settings.sleepTime));
  }
  if (!readFailed && haveEnd) batch.batchOffset = fileEnd;
  audioCheck.Report(item.path);
}

// A file on disk: its length is known before it is read, and the start
// time is a seek.
void ConvertFile(ConverterSettings& settings, ::FLVAVTagReader* reader, ::FLVStream* stream,
                 InputFileItem& item, BatchState& batch) {
  if (FLVAVTagReader_Open(reader, item.path.c_str()) == 0) {
    ReportFileProblem(item.path, "Error on file opening.");
    return;
  }
  ReportSkippedDamage(reader, item.path);
  std::uint32_t audioEnd = 0;
  std::uint32_t videoEnd = 0;
  FLVAVTagReader_GetDuration(reader, &audioEnd, &videoEnd);
  if (item.startTime >= audioEnd) {
    item.startTime = 0;
    ReportFileProblem(item.path,
                      "Warning: If the start time is more than the total time, it will be set to 0.");
  }
  if (item.duration == kToEndOfFile) item.duration = audioEnd - item.startTime;
  if (static_cast<std::uint64_t>(item.startTime) + item.duration > audioEnd) {
    item.duration = audioEnd - item.startTime;
  }
  batch.totalTime += item.duration;

  if (PositionAtStart(reader, item.startTime, audioEnd) != FLV_READER_OK) {
    ReportFileProblem(item.path, "The operation of seek is failed");
    FLVAVTagReader_Close(reader);
    return;
  }
  FeedFile(settings, stream, item,
           [reader](FLVTag** tag, std::uint32_t* duration) {
             return FLVAVTagReader_ReadTag(reader, kCopyData, FLV_TAG_TYPE_AUDIO, tag, duration);
           },
           batch);
  FLVAVTagReader_Close(reader);
}

// Standard input: read forward once; its length is known only at its end.
void ConvertStandardInput(ConverterSettings& settings, ::FLVStream* stream, InputFileItem& item,
                          BatchState& batch) {
  StdinTagSource source(STDIN_FILENO, item.startTime);
  const std::uint32_t start = batch.batchOffset;
  bool notFlv = false;
  FeedFile(settings, stream, item,
           [&source, &notFlv](FLVTag** tag, std::uint32_t* duration) {
             switch (source.Next(tag, duration)) {
               case StdinTagSource::Result::kTag:
                 return static_cast<int>(FLV_READER_OK);
               case StdinTagSource::Result::kEnd:
                 return static_cast<int>(FLV_READER_END);
               case StdinTagSource::Result::kNotFlv:
                 notFlv = true;
                 return static_cast<int>(FLV_READER_END);
               case StdinTagSource::Result::kReadError:
                 break;
             }
             return static_cast<int>(FLV_READER_READ_ERROR);
           },
           batch);
  if (notFlv) ReportFileProblem(item.path, "Error on file opening.");
  batch.totalTime += batch.batchOffset - start;
}

}  // namespace

void ConvertInputFiles(ConverterSettings& settings, ::FLVAVTagReader* reader, ::FLVStream* stream,
                       std::FILE* out) {
  BatchState batch(out);
  for (InputFileItem& item : settings.inputs) {
    if (StopRequested(settings)) {
      batch.stopped = true;
      break;
    }
    if (IsStandardStream(item.path)) {
      ConvertStandardInput(settings, stream, item, batch);
    } else {
      ConvertFile(settings, reader, stream, item, batch);
    }
    if (batch.stopped) break;
  }
  if (!batch.stopped) batch.progress.Finish(batch.totalTime);
  std::fflush(out);
}

void RunConversion(ConverterSettings& settings, std::FILE* out) {
  ::FLVAVTagReader* reader = FLVAVTagReader_Create();
  FLVAVTagReader_SetAutoReleaseMemory(reader, 0);  // tags are caller-owned allocations
  ::FLVStream* stream = FLVStream_Create();
  FLVStream_SetSampleRate(stream, settings.sampleRate);
  FLVStream_SetNumberOfChannels(stream, settings.channels);
  FLVStream_SetOutputSize(stream, kVideoWidth, kVideoHeight);
  FLVStream_SetOutputFPS(stream, kVideoFPS);
  FLVStream_SetDecodeAlphaChannel(stream, 0);
  FLVStream_SetParserMaxFLVTagQueue(stream, kQueueLimit);
  FLVStream_SetParserMaxInterleavedTime(stream, kParserMaxInterleavedSeconds);
  FLVStream_SetAudioDecoderMaxFLVTagQueue(stream, kQueueLimit);
  FLVStream_SetVideoDecoderMaxFLVTagQueue(stream, kQueueLimit);
  FLVStream_SetDecoderMaxIntervalTime(stream, kDecoderMaxIntervalMs);
  FLVStream_SetFLVInfoCallBack(stream, &IgnoreFLVInfoCallBack, nullptr);
  FLVStream_SetGetAudioCallBack(stream, &WriteAudioCallBack, &settings);
  FLVStream_SetGetVideoCallBack(stream, &DiscardVideoCallBack, nullptr);
  FLVStream_RunEx(stream, nullptr, UsesAsfEncoder(settings) ? 1 : 0, 1);

  ConvertInputFiles(settings, reader, stream, out);

  FLVStream_StopEx(stream);
  FLVStream_Delete(stream);
  FLVAVTagReader_Close(reader);
  FLVAVTagReader_Delete(reader);
}

}  // namespace kelvra
