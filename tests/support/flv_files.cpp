#include "support/flv_files.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/version.h>
}

extern char** environ;

namespace kelvra::test {

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// ---- the scratch folder ----

// Made on first use and removed when the process that made it ends (not by
// forked children, which share the folder).
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "kelvra-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    owner_ = getpid();
  }
  ~ScratchFolder() {
    if (getpid() != owner_) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  pid_t owner_;
};

// ---- what each codec can be made with ----

struct AudioChoice {
  const char* encoder;
  const char* label;
  std::vector<int> rates;  // what the encoder and the FLV muxer both accept
  bool monoOnly;
  bool takesBitRate;
};

const AudioChoice* ChoiceFor(AudioCodec codec) {
  static const AudioChoice kMp3{"libmp3lame", "mp3", {11025, 22050, 44100}, false, true};
  static const AudioChoice kAdpcm{"adpcm_swf", "adpcm", {11025, 22050, 44100}, false, false};
  static const AudioChoice kNelly{"nellymoser", "nelly", {8000, 11025, 16000, 22050, 44100}, true,
                                  false};
  static const AudioChoice kS16{"pcm_s16le", "s16le", {5512, 11025, 22050, 44100}, false, false};
  static const AudioChoice kU8{"pcm_u8", "u8", {5512, 11025, 22050, 44100}, false, false};
  static const AudioChoice kAac{"aac", "aac", {11025, 22050, 44100, 48000}, false, true};
  static const AudioChoice kSpeex{"libspeex", "speex", {16000}, true, false};
  static const AudioChoice kALaw{"pcm_alaw", "alaw", {8000}, true, false};
  static const AudioChoice kMuLaw{"pcm_mulaw", "mulaw", {8000}, true, false};
  switch (codec) {
    case AudioCodec::kMp3: return &kMp3;
    case AudioCodec::kAdpcmSwf: return &kAdpcm;
    case AudioCodec::kNellymoser: return &kNelly;
    case AudioCodec::kPcmS16le: return &kS16;
    case AudioCodec::kPcmU8: return &kU8;
    case AudioCodec::kAac: return &kAac;
    case AudioCodec::kSpeex: return &kSpeex;
    case AudioCodec::kG711ALaw: return &kALaw;
    case AudioCodec::kG711MuLaw: return &kMuLaw;
    case AudioCodec::kNone: break;
  }
  return nullptr;
}

int ClosestRate(const std::vector<int>& rates, int wanted) {
  int best = rates.front();
  for (int rate : rates) {
    if (std::abs(rate - wanted) < std::abs(best - wanted)) best = rate;
  }
  return best;
}

const char* VideoEncoder(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH263: return "flv";
    case VideoCodec::kScreenVideo: return "flashsv";
    case VideoCodec::kH264: return "libx264";
    case VideoCodec::kNone: break;
  }
  return nullptr;
}

// The recipe as it will really be made: rates and channels the codec cannot
// take are moved to the closest it can.
FlvSpec Normalised(FlvSpec fileSpec) {
  if (const AudioChoice* choice = ChoiceFor(fileSpec.audio)) {
    fileSpec.sampleRate = ClosestRate(choice->rates, fileSpec.sampleRate);
    fileSpec.channels = (choice->monoOnly || fileSpec.channels < 2) ? 1 : 2;
    if (!choice->takesBitRate) fileSpec.audioBitRate = 0;
  } else {
    fileSpec.sampleRate = fileSpec.channels = fileSpec.audioBitRate = 0;
    fileSpec.toneHz = 0;
  }
  if (fileSpec.video == VideoCodec::kNone) fileSpec.width = fileSpec.height = fileSpec.fps = 0;
  if (fileSpec.holeStartMs < 0) {
    fileSpec.holeStartMs = -1;
    fileSpec.holeLengthMs = 0;
  }
  return fileSpec;
}

// A file name that tells the recipe apart from every other.
std::string FileNameFor(const FlvSpec& s) {
  std::ostringstream name;
  const AudioChoice* audio = ChoiceFor(s.audio);
  name << "gen";
  if (audio) {
    name << "_" << audio->label << "_" << s.sampleRate << "_" << s.channels << "ch_"
         << static_cast<long long>(s.toneHz * 1000) << "mHz";
    if (s.audioBitRate) name << "_" << s.audioBitRate << "bps";
  }
  if (const char* video = VideoEncoder(s.video)) {
    name << "_" << video << "_" << s.width << "x" << s.height << "_" << s.fps << "fps";
  }
  name << "_" << s.durationMs << "ms";
  if (s.holeStartMs >= 0) name << "_hole" << s.holeStartMs << "+" << s.holeLengthMs;
  name << ".flv";
  return name.str();
}

// ---- running FFmpeg ----

bool RunFfmpeg(const std::vector<std::string>& args, const std::string& logPath, std::string& error) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("ffmpeg"));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawnError = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) {
    error = "cannot start ffmpeg (is it installed?)";
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "waitpid failed";
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::ifstream log(logPath);
  std::ostringstream text;
  text << log.rdbuf();
  error = "ffmpeg failed: " + text.str();
  return false;
}

std::string Seconds(int ms) {
  std::ostringstream s;
  s << ms / 1000 << "." << (ms % 1000) / 100 << (ms % 100) / 10 << ms % 10;
  return s.str();
}

std::vector<std::string> FfmpegArguments(const FlvSpec& s, const std::string& outPath) {
  std::vector<std::string> a{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
  const AudioChoice* audio = ChoiceFor(s.audio);
  const char* video = VideoEncoder(s.video);
  const std::string duration = Seconds(s.durationMs);
  if (audio) {
    std::ostringstream source;
    source << "sine=frequency=" << s.toneHz << ":sample_rate=" << s.sampleRate
           << ":duration=" << duration;
    a.insert(a.end(), {"-f", "lavfi", "-i", source.str()});
  }
  if (video) {
    std::ostringstream source;
    source << "testsrc=size=" << s.width << "x" << s.height << ":rate=" << s.fps
           << ":duration=" << duration;
    a.insert(a.end(), {"-f", "lavfi", "-i", source.str()});
  }
  a.insert(a.end(), {"-fflags", "+bitexact"});
  if (audio) {
    a.insert(a.end(), {"-c:a", audio->encoder, "-ar", std::to_string(s.sampleRate), "-ac",
                       std::to_string(s.channels), "-flags:a", "+bitexact"});
    if (audio->takesBitRate) a.insert(a.end(), {"-b:a", std::to_string(s.audioBitRate)});
  }
  if (video) {
    // A key frame every second, so that seeking finds several.
    a.insert(a.end(), {"-c:v", video, "-g", std::to_string(std::max(1, s.fps)), "-flags:v",
                       "+bitexact"});
    // 4:2:0 with B-frames (pictures reordered), one thread for the same
    // bytes on every machine.
    if (s.video == VideoCodec::kH264) {
      a.insert(a.end(), {"-pix_fmt", "yuv420p", "-bf", "2", "-threads", "1"});
    }
  }
  a.insert(a.end(), {"-f", "flv", outPath});
  return a;
}

// ---- the audio hole ----

constexpr std::size_t kFileHeaderSize = 9;
constexpr std::size_t kDataOffsetField = 5;
constexpr std::size_t kPreviousTagSizeLength = 4;
constexpr std::size_t kTagHeaderSize = 11;
constexpr std::uint8_t kAudioTagType = 8;
constexpr std::uint8_t kScriptTagType = 18;
constexpr std::uint8_t kTagTypeMask = 0x1F;

std::uint32_t ReadU24BE(const Bytes& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 16) | (std::uint32_t{b[at + 1]} << 8) | b[at + 2];
}
std::uint32_t ReadU32BE(const Bytes& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | ReadU24BE(b, at + 1);
}
void PutU32BE(Bytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

struct RawTag {
  std::uint8_t type;
  std::uint32_t timestamp;
  Bytes headerAndBody;  // 11-byte header and the body, no trailing size
  bool IsAudio() const { return (type & kTagTypeMask) == kAudioTagType; }
  bool IsScript() const { return (type & kTagTypeMask) == kScriptTagType; }
};

Bytes EmptyAudioTag(std::uint32_t timestamp, std::uint8_t flags) {
  return Bytes{kAudioTagType, 0, 0, 1,
               static_cast<std::uint8_t>(timestamp >> 16), static_cast<std::uint8_t>(timestamp >> 8),
               static_cast<std::uint8_t>(timestamp), static_cast<std::uint8_t>(timestamp >> 24),
               0, 0, 0, flags};
}

// Drops the audio tags whose time stamps fall in [start, start + length) and
// puts one flags-only audio tag at `start`, before the first audio or video
// tag at or after it (the metadata stays first). Every previous-tag-size field is written anew.
bool PunchAudioHole(const std::string& path, int start, int length, std::string& error) {
  const Bytes in = ReadWholeFile(path);
  if (in.size() < kFileHeaderSize + kPreviousTagSizeLength) {
    error = "generated file too short";
    return false;
  }
  const std::size_t firstTag = ReadU32BE(in, kDataOffsetField) + kPreviousTagSizeLength;
  if (firstTag > in.size()) {
    error = "bad header in generated file";
    return false;
  }
  std::vector<RawTag> tags;
  for (std::size_t at = firstTag; at < in.size();) {
    if (in.size() - at < kTagHeaderSize) {
      error = "cut tag header in generated file";
      return false;
    }
    const std::size_t dataSize = ReadU24BE(in, at + 1);
    const std::size_t total = kTagHeaderSize + dataSize;
    if (in.size() - at < total + kPreviousTagSizeLength) {
      error = "cut tag in generated file";
      return false;
    }
    RawTag tag;
    tag.type = in[at];
    tag.timestamp = ReadU24BE(in, at + 4) | (std::uint32_t{in[at + 7]} << 24);
    tag.headerAndBody.assign(in.begin() + static_cast<std::ptrdiff_t>(at),
                             in.begin() + static_cast<std::ptrdiff_t>(at + total));
    tags.push_back(std::move(tag));
    at += total + kPreviousTagSizeLength;
  }

  const auto inHole = [&](const RawTag& t) {
    return t.IsAudio() && t.timestamp >= static_cast<std::uint32_t>(start) &&
           t.timestamp < static_cast<std::uint64_t>(start) + static_cast<std::uint64_t>(length);
  };
  std::optional<std::uint8_t> flags;
  for (const RawTag& t : tags) {
    if (t.IsAudio() && t.headerAndBody.size() > kTagHeaderSize && (!flags || inHole(t))) {
      flags = t.headerAndBody[kTagHeaderSize];
      if (inHole(t)) break;
    }
  }
  if (!flags) {
    error = "an audio hole needs a file with audio";
    return false;
  }

  Bytes out(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(firstTag));
  bool emptyTagWritten = false;
  auto put = [&out](const Bytes& tag) {
    out.insert(out.end(), tag.begin(), tag.end());
    PutU32BE(out, static_cast<std::uint32_t>(tag.size()));
  };
  for (const RawTag& t : tags) {
    if (!emptyTagWritten && !t.IsScript() && t.timestamp >= static_cast<std::uint32_t>(start)) {
      put(EmptyAudioTag(static_cast<std::uint32_t>(start), *flags));
      emptyTagWritten = true;
    }
    if (!inHole(t)) put(t.headerAndBody);
  }
  if (!emptyTagWritten) put(EmptyAudioTag(static_cast<std::uint32_t>(start), *flags));
  WriteWholeFile(path, out);
  return true;
}

// ---- the cache shared by test processes ----

// Every GoogleTest case runs as its own process, so files are also kept in
// the build folder. A file's name carries a hash of everything that made it
// (FFmpeg's arguments, the hole, the library versions), so a changed recipe
// never finds a stale file.
std::uint64_t Fnv1a(const std::string& text) {
  constexpr std::uint64_t kOffsetBasis = 14695981039346656037ull;
  constexpr std::uint64_t kPrime = 1099511628211ull;
  std::uint64_t hash = kOffsetBasis;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= kPrime;
  }
  return hash;
}

std::string SharedCacheName(const FlvSpec& fileSpec, const std::string& name) {
  std::ostringstream recipe;
  for (const std::string& argument : FfmpegArguments(fileSpec, "out.flv")) recipe << argument << '\n';
  recipe << "hole " << fileSpec.holeStartMs << "+" << fileSpec.holeLengthMs << '\n';
  recipe << "lavc " << LIBAVCODEC_VERSION_INT << " lavf " << LIBAVFORMAT_VERSION_INT << '\n';
  std::ostringstream cached;
  cached << fs::path(name).stem().string() << "-" << std::hex << Fnv1a(recipe.str()) << ".flv";
  return cached.str();
}

// The shared cache folder, or "" when there is none to use.
std::string SharedCacheFolder() {
#ifdef KELVRA_GENERATED_FLV_DIR
  std::error_code error;
  fs::create_directories(KELVRA_GENERATED_FLV_DIR, error);
  if (!error) return KELVRA_GENERATED_FLV_DIR;
#endif
  return "";
}

// Publishes a finished file under its cache name. Written under a name of
// this process and renamed, so another process sees either nothing or the
// whole file.
std::string Publish(const std::string& made, const std::string& folder, const std::string& name) {
  const fs::path target = fs::path(folder) / name;
  const fs::path temporary =
      fs::path(folder) / (name + ".tmp" + std::to_string(static_cast<long>(getpid())));
  std::error_code error;
  fs::copy_file(made, temporary, fs::copy_options::overwrite_existing, error);
  if (!error) fs::rename(temporary, target, error);
  if (error) {
    fs::remove(temporary, error);
    return "";
  }
  return target.string();
}

std::mutex& GenerateMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string TestTempDir() {
  static ScratchFolder folder;
  return folder.path();
}

std::string GenerateFlv(const FlvSpec& requested) {
  const FlvSpec fileSpec = Normalised(requested);
  if (fileSpec.audio == AudioCodec::kNone && fileSpec.video == VideoCodec::kNone) {
    ADD_FAILURE() << "GenerateFlv: a file needs audio or video";
    return "";
  }
  if (fileSpec.durationMs <= 0) {
    ADD_FAILURE() << "GenerateFlv: the duration must be positive";
    return "";
  }
  if (fileSpec.holeStartMs >= 0 && fileSpec.audio == AudioCodec::kNone) {
    ADD_FAILURE() << "GenerateFlv: an audio hole needs audio";
    return "";
  }

  std::lock_guard<std::mutex> lock(GenerateMutex());
  static std::map<std::string, std::string> made;  // file name -> path
  const std::string name = FileNameFor(fileSpec);
  if (auto found = made.find(name); found != made.end()) return found->second;

  const std::string sharedFolder = SharedCacheFolder();
  const std::string sharedName = SharedCacheName(fileSpec, name);
  if (!sharedFolder.empty()) {
    const fs::path shared = fs::path(sharedFolder) / sharedName;
    std::error_code error;
    if (fs::is_regular_file(shared, error) && fs::file_size(shared, error) > 0 && !error) {
      made.emplace(name, shared.string());
      return shared.string();
    }
  }

  const fs::path folder = TestTempDir();
  const std::string finalPath = (folder / name).string();
  const std::string partPath = finalPath + ".part.flv";
  const std::string logPath = finalPath + ".log";
  std::string error;
  bool ok = RunFfmpeg(FfmpegArguments(fileSpec, partPath), logPath, error);
  if (ok && fileSpec.holeStartMs >= 0) {
    ok = PunchAudioHole(partPath, fileSpec.holeStartMs, fileSpec.holeLengthMs, error);
  }
  std::error_code ignored;
  fs::remove(logPath, ignored);
  if (ok) {
    fs::rename(partPath, finalPath, ignored);
    ok = !ignored;
    if (!ok) error = "cannot rename " + partPath;
  }
  if (!ok) {
    fs::remove(partPath, ignored);
    ADD_FAILURE() << "GenerateFlv(" << name << "): " << error;
    return "";
  }
  std::string path = finalPath;
  if (!sharedFolder.empty()) {
    const std::string published = Publish(finalPath, sharedFolder, sharedName);
    if (!published.empty()) path = published;
  }
  made.emplace(name, path);
  return path;
}

std::string FixturePath(const std::string& relative) {
  const fs::path path = fs::path(KELVRA_FIXTURES_DIR) / relative;
  std::error_code error;
  if (!fs::exists(path, error)) {
    ADD_FAILURE() << "fixture missing: " << path.string()
                  << " (tests/data/flv/README.md lists the files)";
  }
  return path.string();
}

std::vector<std::string> AllFixtureFiles() {
  std::vector<std::string> files;
  for (const char* sub : {"real", "generated"}) {
    std::error_code error;
    for (fs::directory_iterator it(fs::path(KELVRA_FIXTURES_DIR) / sub, error), end;
         !error && it != end; it.increment(error)) {
      if (it->is_regular_file() && it->path().extension() == ".flv") {
        files.push_back(it->path().string());
      }
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) ADD_FAILURE() << "no fixtures in " << KELVRA_FIXTURES_DIR;
  return files;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot open " << path;
    return {};
  }
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

}  // namespace kelvra::test
