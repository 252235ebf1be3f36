#include "conversion_driver.h"

#include <chrono>
#include <thread>

#include "output_writer.h"
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

void IgnoreFLVInfoCallBack(void*, FLVInfo*, int*, int*) {}
void DiscardVideoCallBack(void*, const std::uint8_t*, std::int32_t, std::int64_t, std::int64_t,
                          std::int32_t, std::int32_t) {}

void ReportFileProblem(const std::string& path, const char* message) {
  std::fprintf(stderr, "%s, %s\n", path.c_str(), message);
  std::fflush(stderr);
}

// Delivers a tag the stream must take; a full decoder queue is waited out.
// The stream owns the tag when this returns true.
bool DeliverTag(::FLVStream* stream, FLVTag* tag) {
  int result;
  while ((result = FLVStream_DeliverDataEx(stream, tag)) == FLV_STREAM_BUSY) {
    std::this_thread::sleep_for(kBusyRetryDelay);
  }
  return result == FLV_STREAM_TAKEN;
}

void ReleaseTag(FLVTag* tag) { FLVStreamParser_DeleteFLVTag(nullptr, tag); }

// The reader's seek lands on the first tag after the time when that tag is
// audio, so a seek to 0 would skip the file's first audio block; a file read
// from its start is read from its first tag instead. A file without tags
// still fails, as its seek would.
int PositionAtStart(::FLVAVTagReader* reader, std::uint32_t startTime) {
  if (startTime == 0 && FLVAVTagReader_Seek(reader, FLV_TAG_TYPE_AUDIO, 0) == FLV_READER_OK) {
    return FLVAVTagReader_SeekToBegin(reader);
  }
  return FLVAVTagReader_Seek(reader, FLV_TAG_TYPE_AUDIO, startTime);
}

}  // namespace

void ConvertInputFiles(ConverterSettings& settings, ::FLVAVTagReader* reader, ::FLVStream* stream,
                       std::FILE* out) {
  ProgressDisplay progress(out);
  std::uint32_t batchOffset = 0;  // output time of the next file's first tag
  std::uint32_t totalTime = 0;
  unsigned progressCounter = 0;

  for (InputFileItem& item : settings.inputs) {
    if (FLVAVTagReader_Open(reader, item.path.c_str()) == 0) {
      ReportFileProblem(item.path, "Error on file opening.");
      continue;
    }
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
    totalTime += item.duration;

    if (PositionAtStart(reader, item.startTime) != FLV_READER_OK) {
      ReportFileProblem(item.path, "The operation of seek is failed");
      FLVAVTagReader_Close(reader);
      continue;
    }

    bool firstTag = true;
    bool readFailed = false;
    std::uint32_t base = 0;
    bool haveEnd = false;
    std::uint32_t fileEnd = 0;  // output end time of the file's last tag
    for (;;) {
      FLVTag* tag = nullptr;
      std::uint32_t tagDuration = 0;
      const int result = FLVAVTagReader_ReadTag(reader, kCopyData, FLV_TAG_TYPE_AUDIO, &tag, &tagDuration);
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
      const std::uint32_t outputTime = tag->timestamp - base + batchOffset;
      tag->timestamp = outputTime;
      haveEnd = true;
      fileEnd = outputTime + tagDuration;
      if (outputTime - batchOffset >= item.duration) {
        // The duration is reached: this tag is not delivered.
        ReleaseTag(tag);
        break;
      }
      if (settings.quiet == 0) {
        if (progressCounter == kProgressEvery) {
          progress.Show(outputTime, totalTime);
          progressCounter = 0;
        }
        ++progressCounter;
      }
      if (!DeliverTag(stream, tag)) ReleaseTag(tag);
      if (settings.sleepTime > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(settings.sleepTime));
      }
    }
    if (!readFailed && haveEnd) batchOffset = fileEnd;
    FLVAVTagReader_Close(reader);
  }
  progress.Finish(totalTime);
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
