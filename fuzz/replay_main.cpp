// Runs a fuzz target's entry point over files without libFuzzer: each
// argument is a file or a folder of files (taken in name order). Lets the
// ordinary builds check the targets' invariants on fixtures and kept inputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> paths;
  for (int i = 1; i < argc; ++i) {
    if (!fs::is_directory(argv[i])) {
      paths.emplace_back(argv[i]);
      continue;
    }
    const std::size_t first = paths.size();
    for (const auto& entry : fs::directory_iterator(argv[i]))
      if (entry.is_regular_file()) paths.push_back(entry.path());
    std::sort(paths.begin() + static_cast<std::ptrdiff_t>(first), paths.end());
  }
  bool ok = true;
  for (const fs::path& path : paths) {
    std::ifstream in(path, std::ios::binary);
    // Exactly the input's size, so that reading past it is caught.
    std::vector<std::uint8_t> bytes(in ? fs::file_size(path) : 0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), std::ssize(bytes))) {
      std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      ok = false;
      continue;
    }
    LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
  }
  std::printf("replay: %zu inputs\n", paths.size());
  return ok ? 0 : 1;
}
