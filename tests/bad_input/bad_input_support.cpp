#include "bad_input/bad_input_support.h"

#include <unistd.h>

#include <filesystem>

#include "support/flv_files.h"

namespace kelvra::test {
namespace {

constexpr int kPcmRate = 44100;
constexpr int kPcmFrameBytes = 4;  // 16-bit stereo
constexpr std::int16_t kSquareLevel = 1000;
constexpr std::size_t kSquareHalfPeriodBytes = 200;
constexpr std::ptrdiff_t kFileHeaderBytes = 13;  // with the first previous-tag-size field

}  // namespace

std::string ScratchPath(const std::string& name) {
  static int counter = 0;
  return (std::filesystem::path(TestTempDir()) / (std::to_string(getpid()) + "_" + std::to_string(++counter) + "_" + name)).string();
}

FlvBuilder PcmStream(int tags, int samplesPerTag, std::uint32_t firstTimestamp) {
  FlvBuilder flv;
  flv.Header(FlvHeaderOptions{.hasVideo = false});
  Bytes payload(static_cast<std::size_t>(samplesPerTag) * kPcmFrameBytes);
  for (std::size_t i = 0; i < payload.size(); i += 2) {
    const auto sample = static_cast<std::uint16_t>((i / kSquareHalfPeriodBytes) % 2 == 0 ? kSquareLevel : -kSquareLevel);
    payload[i] = static_cast<std::uint8_t>(sample & 0xFF);
    payload[i + 1] = static_cast<std::uint8_t>(sample >> 8);
  }
  const double tagMs = 1000.0 * samplesPerTag / kPcmRate;
  for (int i = 0; i < tags; ++i) flv.Audio(firstTimestamp + static_cast<std::uint32_t>(i * tagMs), 3, 3, 1, 1, payload);
  return flv;
}

double PcmStreamMs(int tags, int samplesPerTag) { return 1000.0 * tags * samplesPerTag / kPcmRate; }

Bytes PcmTags(int tags) {
  const Bytes all = PcmStream(tags).bytes();
  return Bytes(all.begin() + kFileHeaderBytes, all.end());
}

Bytes HeaderWithOffset(std::uint32_t offset) {
  return FlvBuilder().Header(FlvHeaderOptions{.hasVideo = false, .dataOffset = offset}).bytes();
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace kelvra::test
