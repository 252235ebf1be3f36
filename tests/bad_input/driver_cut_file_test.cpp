// A file of a batch is cut while the conversion driver reads it: the driver
// reports the read failure and goes on, so the next file is still converted
// in full. A one-tag decoder queue keeps the driver from reading far ahead.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "bad_input/bad_input_support.h"
#include "conversion_driver.h"
#include "converter_settings.h"
#include "kelvra.h"

namespace kelvra::test {
namespace {

struct Output {
  std::mutex mutex;
  std::int64_t samples = 0, lastEnd = 0;  // sample frames; end of the last block (100 ns)
  std::string cutPath;
  bool cut = false;
};

// Cuts the second file to 20 and a half tags once its first block comes out.
void OnAudio(void* user, const std::uint8_t*, std::int32_t size, std::int64_t timestamp, std::int64_t duration,
             std::int32_t, std::int32_t) {
  auto* output = static_cast<Output*>(user);
  std::lock_guard<std::mutex> lock(output->mutex);
  output->samples += size / 4;
  output->lastEnd = timestamp + duration;
  if (!output->cut && timestamp >= 500 * 10000) {
    std::filesystem::resize_file(output->cutPath, 13 + 20 * (1764 + 15) + 700);
    output->cut = true;
  }
}

TEST(DriverBadInput, FileCutWhileBeingReadEndsItAndTheBatchGoesOn) {
  const std::string first = ScratchPath("first.flv"), cut = ScratchPath("cut.flv"), last = ScratchPath("last.flv");
  PcmStream(50).WriteTo(first);
  PcmStream(200).WriteTo(cut);
  PcmStream(70).WriteTo(last);
  ConverterSettings settings;
  settings.inputs = {{first}, {cut}, {last}};
  settings.sampleRate = 44100;
  settings.channels = 2;
  settings.quiet = 1;
  Output output;
  output.cutPath = cut;

  FLVAVTagReader* reader = FLVAVTagReader_Create();
  FLVAVTagReader_SetAutoReleaseMemory(reader, 0);
  FLVStream* stream = FLVStream_Create();
  FLVStream_SetSampleRate(stream, 44100);
  FLVStream_SetNumberOfChannels(stream, 2);
  FLVStream_SetAudioDecoderMaxFLVTagQueue(stream, 1);
  FLVStream_SetFLVInfoCallBack(stream, [](void*, FLVInfo*, int*, int*) {}, nullptr);
  FLVStream_SetGetAudioCallBack(stream, OnAudio, &output);
  ASSERT_EQ(FLVStream_RunEx(stream, nullptr, 0, 1), 1);
  std::FILE* progress = std::tmpfile();
  testing::internal::CaptureStderr();
  ConvertInputFiles(settings, reader, stream, progress);
  const std::string err = testing::internal::GetCapturedStderr();
  FLVStream_StopEx(stream);
  FLVStream_Delete(stream);
  FLVAVTagReader_Delete(reader);
  std::fclose(progress);

  ASSERT_TRUE(output.cut);
  EXPECT_EQ(err, cut + ", Fail to read the file.\n");
  // The first file, the 20 tags of the cut one, and the whole last file. The
  // batch offset does not move past a file that failed, so the last file is
  // stamped from where the cut one began; the decoder's clock does not go
  // back, and its audio follows the 20 tags.
  const std::int64_t expectedMs = 10 * (50 + 20 + 70);
  EXPECT_NEAR(static_cast<double>(output.samples) * 1000 / 44100, expectedMs, 30.0);
  EXPECT_EQ(output.lastEnd, expectedMs * 10000);
}

}  // namespace
}  // namespace kelvra::test
