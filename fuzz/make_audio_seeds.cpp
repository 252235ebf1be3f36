// Turns the audio tags of FLV files into seeds for audio_decode_fuzzer:
// flags byte, mode byte, then each payload as a 16-bit big-endian length and
// its bytes. It walks the tags itself (header, then 11-byte tag headers) so
// that it needs none of the code under test.
//
//   make_audio_seeds OUT_DIR file.flv...
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kHeaderSize = 9;
constexpr std::size_t kTagHeaderSize = 11;
constexpr std::size_t kTrailerSize = 4;
constexpr std::uint8_t kAudioTag = 8;
constexpr std::size_t kTagsPerSeed = 12;
constexpr std::size_t kMaxPayload = 0xFFFF;

std::uint32_t U24(const std::uint8_t* p) { return p[0] << 16 | p[1] << 8 | p[2]; }
std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | U24(p + 1);
}

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT_DIR file.flv...\n", argv[0]);
    return 2;
  }
  const std::string outDir = argv[1];
  int written = 0;
  for (int f = 2; f < argc; ++f) {
    std::ifstream in(argv[f], std::ios::binary);
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    if (file.size() < kHeaderSize || file[0] != 'F' || file[1] != 'L' || file[2] != 'V') continue;
    std::size_t at = static_cast<std::size_t>(U32(&file[5])) + kTrailerSize;
    // Seeds for both paths: mode 0x00 the bridge decoder, mode 0x0F the
    // synchronous decoder resampling to 48000 Hz stereo.
    std::vector<std::uint8_t> payloads;
    int flags = -1;
    std::size_t tags = 0;
    while (at + kTagHeaderSize <= file.size() && tags < kTagsPerSeed) {
      const std::uint8_t* header = &file[at];
      const std::size_t dataSize = U24(header + 1);
      const std::size_t body = at + kTagHeaderSize;
      if (body + dataSize > file.size()) break;
      if (header[0] == kAudioTag && dataSize > 1 && dataSize - 1 <= kMaxPayload) {
        if (flags < 0) flags = file[body];
        if (file[body] == flags) {
          const std::size_t length = dataSize - 1;
          payloads.push_back(static_cast<std::uint8_t>(length >> 8));
          payloads.push_back(static_cast<std::uint8_t>(length));
          payloads.insert(payloads.end(), file.begin() + static_cast<std::ptrdiff_t>(body + 1),
                          file.begin() + static_cast<std::ptrdiff_t>(body + dataSize));
          ++tags;
        }
      }
      at = body + dataSize + kTrailerSize;
    }
    if (flags < 0) continue;
    for (std::uint8_t mode : {0x00, 0x0F}) {
      std::vector<std::uint8_t> seed = {static_cast<std::uint8_t>(flags), mode};
      seed.insert(seed.end(), payloads.begin(), payloads.end());
      const std::string name = std::string(argv[f]);
      const std::string base = name.substr(name.find_last_of('/') + 1);
      if (Write(outDir + "/" + base + (mode != 0 ? ".sync" : ".bridge"), seed)) ++written;
    }
  }
  std::printf("%d audio seeds\n", written);
  return 0;
}
