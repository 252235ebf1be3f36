#include "resampler.h"

#include <climits>
#include <cstdint>
#include <new>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "vexmar/vexmar.h"

namespace vexmar {

namespace {
constexpr int kBytesPerSample = 2;
constexpr int kMinSampleRate = 1000;
constexpr int kMaxSampleRate = 384000;
constexpr int kMaxChannels = 8;  // the largest count with a standard layout
}  // namespace

void Resampler::SwrDeleter::operator()(SwrContext* swr) const { swr_free(&swr); }

Resampler::Resampler(int targetSampleRate, int targetChannels)
    : targetSampleRate_(targetSampleRate), targetChannels_(targetChannels) {}

Resampler::~Resampler() = default;

bool Resampler::IsValidFormat(int sampleRate, int channels) {
  return sampleRate >= kMinSampleRate && sampleRate <= kMaxSampleRate && channels >= 1 &&
         channels <= kMaxChannels;
}

bool Resampler::Prepare(Stage& stage, int sourceSampleRate, int sourceChannels) {
  stage.swr.reset();
  AVChannelLayout in;
  AVChannelLayout out;
  av_channel_layout_default(&in, sourceChannels);
  av_channel_layout_default(&out, targetChannels_);
  SwrContext* swr = nullptr;
  if (swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S16, targetSampleRate_, &in, AV_SAMPLE_FMT_S16,
                          sourceSampleRate, 0, nullptr) < 0) {
    return false;
  }
  std::unique_ptr<SwrContext, SwrDeleter> owned(swr);
  // Mono spreads to every output channel at full level, and several
  // channels fold to mono as their mean; libswresample's own matrix would
  // lower a mono source by 3 dB on each side of a stereo output.
  if (sourceChannels != targetChannels_ && (sourceChannels == 1 || targetChannels_ == 1)) {
    std::vector<double> matrix(static_cast<std::size_t>(sourceChannels) * targetChannels_,
                               sourceChannels == 1 ? 1.0 : 1.0 / sourceChannels);
    // Row per output channel, `sourceChannels` weights per row.
    if (swr_set_matrix(swr, matrix.data(), sourceChannels) < 0) return false;
  }
  if (swr_init(swr) < 0) return false;
  stage.swr = std::move(owned);
  stage.sampleRate = sourceSampleRate;
  stage.channels = sourceChannels;
  return true;
}

int Resampler::OutBufferSize(int sourceSampleRate, int sourceChannels, int sourceBytes) {
  if (!IsValidFormat(sourceSampleRate, sourceChannels) || sourceBytes < 0) return 0;
  const int inSamples = sourceBytes / (sourceChannels * kBytesPerSample);
  std::int64_t samples = 0;
  if (current_.Matches(sourceSampleRate, sourceChannels)) {
    samples = swr_get_out_samples(current_.swr.get(), inSamples);
  } else {
    // Convert will first drain the converter in use, then start a new one.
    if (!staged_.Matches(sourceSampleRate, sourceChannels) &&
        !Prepare(staged_, sourceSampleRate, sourceChannels)) {
      return 0;
    }
    if (current_.swr) {
      const int held = swr_get_out_samples(current_.swr.get(), 0);
      if (held < 0) return 0;
      samples = held;
    }
    const int fresh = swr_get_out_samples(staged_.swr.get(), inSamples);
    if (fresh < 0) return 0;
    samples += fresh;
  }
  if (samples < 0) return 0;
  const std::int64_t bytes = samples * targetChannels_ * kBytesPerSample;
  return bytes > INT_MAX ? 0 : static_cast<int>(bytes);
}

int Resampler::Drain(Stage& stage, std::uint8_t* output, int capacity) {
  std::uint8_t* planes[1] = {output};
  const int drained = swr_convert(stage.swr.get(), planes, capacity, nullptr, 0);
  // A drained converter is finished with; the next input starts afresh.
  stage.swr.reset();
  return drained;
}

bool Resampler::Convert(const std::uint8_t* source, int sourceBytes, int sourceSampleRate,
                        int sourceChannels, std::uint8_t* output, int* outputBytes) {
  if (outputBytes == nullptr) return false;
  const int room = *outputBytes;
  *outputBytes = 0;
  if (room < 0 || (output == nullptr && room > 0)) return false;
  const int frameBytes = targetChannels_ * kBytesPerSample;
  const int capacity = room / frameBytes;
  // swr_convert wants somewhere to point even when there is no room.
  std::uint8_t scratch[kBytesPerSample * kMaxChannels];
  std::uint8_t* destination = capacity > 0 ? output : scratch;

  if (source == nullptr && sourceBytes == 0) {
    if (!current_.swr) return true;
    const int drained = Drain(current_, destination, capacity);
    if (drained < 0) return false;
    *outputBytes = drained * frameBytes;
    return true;
  }
  if (source == nullptr || sourceBytes < 0 || !IsValidFormat(sourceSampleRate, sourceChannels)) {
    return false;
  }

  int produced = 0;
  if (!current_.Matches(sourceSampleRate, sourceChannels)) {
    // The old format's tail comes out before the new format's first samples.
    if (current_.swr) {
      const int drained = Drain(current_, destination, capacity);
      if (drained < 0) return false;
      produced = drained;
    }
    if (staged_.Matches(sourceSampleRate, sourceChannels)) {
      current_ = std::move(staged_);
      staged_ = Stage{};
    } else if (!Prepare(current_, sourceSampleRate, sourceChannels)) {
      *outputBytes = produced * frameBytes;
      return false;
    }
  }

  const int inSamples = sourceBytes / (sourceChannels * kBytesPerSample);
  std::uint8_t* planes[1] = {capacity > produced ? output + produced * frameBytes : scratch};
  const std::uint8_t* inPlanes[1] = {source};
  const int converted =
      swr_convert(current_.swr.get(), planes, capacity - produced, inPlanes, inSamples);
  if (converted < 0) {
    *outputBytes = produced * frameBytes;
    return false;
  }
  *outputBytes = (produced + converted) * frameBytes;
  return true;
}

}  // namespace vexmar

namespace {
vexmar::Resampler* FromHandle(VexmarResampler* handle) {
  return reinterpret_cast<vexmar::Resampler*>(handle);
}
}  // namespace

extern "C" VEXMAR_API VexmarResampler* ARes_Create(int targetSampleRate, int targetChannels) {
  if (!vexmar::Resampler::IsValidFormat(targetSampleRate, targetChannels)) return nullptr;
  return reinterpret_cast<VexmarResampler*>(
      new (std::nothrow) vexmar::Resampler(targetSampleRate, targetChannels));
}

extern "C" VEXMAR_API int ARes_GetOutBufferSize(VexmarResampler* resampler, int sourceSampleRate,
                                                int sourceChannels, int sourceBytes) {
  if (resampler == nullptr) return 0;
  try {
    return FromHandle(resampler)->OutBufferSize(sourceSampleRate, sourceChannels, sourceBytes);
  } catch (...) {
    return 0;
  }
}

extern "C" VEXMAR_API int ARes_Convert(VexmarResampler* resampler, const uint8_t* source,
                                       int sourceBytes, int sourceSampleRate, int sourceChannels,
                                       uint8_t* output, int* outputBytes) {
  if (resampler == nullptr) {
    if (outputBytes != nullptr) *outputBytes = 0;
    return 0;
  }
  try {
    return FromHandle(resampler)->Convert(source, sourceBytes, sourceSampleRate, sourceChannels,
                                          output, outputBytes)
               ? 1
               : 0;
  } catch (...) {
    if (outputBytes != nullptr) *outputBytes = 0;
    return 0;
  }
}

extern "C" VEXMAR_API void ARes_Free(VexmarResampler* resampler) { delete FromHandle(resampler); }
