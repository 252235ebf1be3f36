// A file of a batch is cut while the conversion driver is reading it: the
// driver reports the read failure and goes on, so the next file is still
// converted in full. The output callback cuts the file once its first audio
// has come out; a one-tag decoder queue keeps the driver from reading far
// ahead of the decoder.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "bad_input/bad_input_support.h"
#include "conversion_driver.h"
#include "converter_settings.h"
#include "kelvra.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr std::int64_t kUnitsPerMs = 10000;

struct Output {
  std::mutex mutex;
  std::int64_t samples = 0;       // sample frames written
  std::int64_t lastEnd = 0;       // end of the last block (100 ns)
  std::string cutPath;            // the file to cut
  std::int64_t cutAfter = 0;      // once output reaches this time (100 ns)
  std::uintmax_t cutTo = 0;       // bytes kept
  bool cut = false;
};

void OnAudio(void* user, const std::uint8_t*, std::int32_t size, std::int64_t timestamp,
             std::int64_t duration, std::int32_t, std::int32_t) {
  auto* output = static_cast<Output*>(user);
  std::lock_guard<std::mutex> lock(output->mutex);
  output->samples += size / (2 * kChannels);
  output->lastEnd = timestamp + duration;
  if (!output->cut && timestamp >= output->cutAfter) {
    fs::resize_file(output->cutPath, output->cutTo);
    output->cut = true;
  }
}

void IgnoreInfo(void*, FLVInfo*, int*, int*) {}

TEST(DriverBadInput, FileCutWhileBeingReadEndsItAndTheBatchGoesOn) {
  constexpr int kFirstTags = 50;    // 500 ms
  constexpr int kCutTags = 200;     // 2 s, cut to 20 and a half tags
  constexpr int kLastTags = 70;     // 700 ms
  constexpr std::uintmax_t kKept = 13 + 20 * (1764 + 15) + 700;
  const std::string first = ScratchPath("first.flv");
  const std::string cut = ScratchPath("cut.flv");
  const std::string last = ScratchPath("last.flv");
  PcmStream(kFirstTags).WriteTo(first);
  PcmStream(kCutTags).WriteTo(cut);
  PcmStream(kLastTags).WriteTo(last);

  ConverterSettings settings;
  settings.inputs = {{first}, {cut}, {last}};
  settings.sampleRate = kRate;
  settings.channels = kChannels;
  settings.quiet = 1;

  Output output;
  output.cutPath = cut;
  output.cutAfter = 500 * kUnitsPerMs;  // the cut file's first block
  output.cutTo = kKept;

  FLVAVTagReader* reader = FLVAVTagReader_Create();
  FLVAVTagReader_SetAutoReleaseMemory(reader, 0);
  FLVStream* stream = FLVStream_Create();
  FLVStream_SetSampleRate(stream, kRate);
  FLVStream_SetNumberOfChannels(stream, kChannels);
  FLVStream_SetAudioDecoderMaxFLVTagQueue(stream, 1);
  FLVStream_SetFLVInfoCallBack(stream, IgnoreInfo, nullptr);
  FLVStream_SetGetAudioCallBack(stream, OnAudio, &output);
  ASSERT_EQ(FLVStream_RunEx(stream, nullptr, 0, 1), 1);

  std::FILE* progress = std::tmpfile();
  testing::internal::CaptureStderr();
  ConvertInputFiles(settings, reader, stream, progress);
  const std::string err = testing::internal::GetCapturedStderr();
  FLVStream_StopEx(stream);
  FLVStream_Delete(stream);
  FLVAVTagReader_Close(reader);
  FLVAVTagReader_Delete(reader);
  std::fclose(progress);

  ASSERT_TRUE(output.cut);
  EXPECT_EQ(err, cut + ", Fail to read the file.\n");
  // The first file, the 20 tags of the cut one that could be read, and the
  // whole last file. The batch offset does not move past a file that failed,
  // so the last file is stamped from where the cut one began; the decoder's
  // clock does not go back, and its audio follows the 20 tags.
  const std::int64_t expectedMs = 10 * (kFirstTags + 20 + kLastTags);
  EXPECT_NEAR(static_cast<double>(output.samples) * 1000 / kRate, expectedMs, 30.0);
  EXPECT_EQ(output.lastEnd, expectedMs * kUnitsPerMs);
}

}  // namespace
}  // namespace kelvra::test
