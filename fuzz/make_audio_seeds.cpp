// Turns the audio tags of FLV files into seeds for audio_decode_fuzzer: the
// flags byte, the mode byte, then up to 12 payloads of the first tag's flags,
// each a 16-bit big-endian length and its bytes. It walks the tags itself so
// that it needs none of the code under test.
//
//   make_audio_seeds OUT_DIR file.flv...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT_DIR file.flv...\n", argv[0]);
    return 2;
  }
  int written = 0;
  for (int f = 2; f < argc; ++f) {
    std::ifstream in(argv[f], std::ios::binary);
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    const auto u24 = [&](std::size_t at) {
      return std::size_t{file[at]} << 16 | std::size_t{file[at + 1]} << 8 | file[at + 2];
    };
    if (file.size() < 9 || file[0] != 'F' || file[1] != 'L' || file[2] != 'V') continue;
    std::vector<std::uint8_t> payloads;
    int flags = -1;
    // From the header's data offset past the first previous-tag-size field,
    // tag by tag: 11 header bytes, the body, 4 trailing bytes.
    for (std::size_t at = (std::size_t{file[5]} << 24 | u24(6)) + 4, tags = 0;
         at + 11 <= file.size() && tags < 12; at += 11 + u24(at + 1) + 4) {
      const std::size_t body = at + 11;
      const std::size_t dataSize = u24(at + 1);
      if (body + dataSize > file.size()) break;
      if (file[at] != 8 || dataSize < 2 || dataSize > 0x10000) continue;
      if (flags < 0) flags = file[body];
      if (file[body] != flags) continue;
      payloads.push_back(static_cast<std::uint8_t>((dataSize - 1) >> 8));
      payloads.push_back(static_cast<std::uint8_t>(dataSize - 1));
      payloads.insert(payloads.end(), file.begin() + static_cast<std::ptrdiff_t>(body + 1),
                      file.begin() + static_cast<std::ptrdiff_t>(body + dataSize));
      ++tags;
    }
    if (flags < 0) continue;
    // Mode 0x00 seeds the bridge decoder, 0x0F the synchronous decoder
    // resampling to 48000 Hz stereo.
    for (std::uint8_t mode : {0x00, 0x0F}) {
      const std::string name = std::filesystem::path(argv[f]).filename().string();
      std::ofstream out(std::string(argv[1]) + "/" + name + (mode != 0 ? ".sync" : ".bridge"),
                        std::ios::binary);
      out.put(static_cast<char>(flags)).put(static_cast<char>(mode));
      out.write(reinterpret_cast<const char*>(payloads.data()), std::ssize(payloads));
      written += out ? 1 : 0;
    }
  }
  std::printf("%d audio seeds\n", written);
  return 0;
}
