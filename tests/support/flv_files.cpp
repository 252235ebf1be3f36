#include "support/flv_files.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "support/programs.h"

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/version.h>
}

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Made on first use and removed when the process that made it ends (not by
// forked children, which share the folder).
class ScratchFolder {
 public:
  ScratchFolder() : owner_(getpid()) {
    std::string pattern = (fs::temp_directory_path() / "kelvra-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (getpid() == owner_) fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  pid_t owner_;
};

// What each codec can be made with: the rates the encoder and the FLV muxer
// both accept.
struct AudioChoice {
  const char* encoder;
  const char* label;
  std::vector<int> rates;
  bool monoOnly;
  bool takesBitRate;
};

const AudioChoice* ChoiceFor(AudioCodec codec) {
  static const std::map<AudioCodec, AudioChoice> kChoices = {
      {AudioCodec::kMp3, {"libmp3lame", "mp3", {11025, 22050, 44100}, false, true}},
      {AudioCodec::kAdpcmSwf, {"adpcm_swf", "adpcm", {11025, 22050, 44100}, false, false}},
      {AudioCodec::kNellymoser,
       {"nellymoser", "nelly", {8000, 11025, 16000, 22050, 44100}, true, false}},
      {AudioCodec::kPcmS16le, {"pcm_s16le", "s16le", {5512, 11025, 22050, 44100}, false, false}},
      {AudioCodec::kPcmU8, {"pcm_u8", "u8", {5512, 11025, 22050, 44100}, false, false}},
      {AudioCodec::kAac, {"aac", "aac", {11025, 22050, 44100, 48000}, false, true}},
      {AudioCodec::kSpeex, {"libspeex", "speex", {16000}, true, false}},
      {AudioCodec::kG711ALaw, {"pcm_alaw", "alaw", {8000}, true, false}},
      {AudioCodec::kG711MuLaw, {"pcm_mulaw", "mulaw", {8000}, true, false}}};
  const auto found = kChoices.find(codec);
  return found == kChoices.end() ? nullptr : &found->second;
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

// The recipe as it will really be made: a rate the codec cannot take moves
// to the closest it can (ties to the lower), and so do the channels.
FlvRecipe Normalised(FlvRecipe s) {
  if (const AudioChoice* choice = ChoiceFor(s.audio)) {
    s.sampleRate = *std::min_element(choice->rates.begin(), choice->rates.end(), [&](int a, int b) {
      return std::abs(a - s.sampleRate) < std::abs(b - s.sampleRate);
    });
    s.channels = (choice->monoOnly || s.channels < 2) ? 1 : 2;
    if (!choice->takesBitRate) s.audioBitRate = 0;
  } else {
    s.sampleRate = s.channels = s.audioBitRate = 0;
    s.toneHz = 0;
  }
  if (s.video == VideoCodec::kNone) s.width = s.height = s.fps = 0;
  if (s.holeStartMs < 0) s.holeStartMs = -1, s.holeLengthMs = 0;
  return s;
}

// A file name that tells the recipe apart from every other.
std::string FileNameFor(const FlvRecipe& s) {
  std::ostringstream name;
  name << "gen";
  if (const AudioChoice* audio = ChoiceFor(s.audio)) {
    name << "_" << audio->label << "_" << s.sampleRate << "_" << s.channels << "ch_"
         << static_cast<long long>(s.toneHz * 1000) << "mHz";
    if (s.audioBitRate) name << "_" << s.audioBitRate << "bps";
  }
  if (const char* video = VideoEncoder(s.video))
    name << "_" << video << "_" << s.width << "x" << s.height << "_" << s.fps << "fps";
  name << "_" << s.durationMs << "ms";
  if (s.holeStartMs >= 0) name << "_hole" << s.holeStartMs << "+" << s.holeLengthMs;
  name << ".flv";
  return name.str();
}

std::vector<std::string> FfmpegArguments(const FlvRecipe& s, const std::string& outPath) {
  std::vector<std::string> a{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
  const AudioChoice* audio = ChoiceFor(s.audio);
  const char* video = VideoEncoder(s.video);
  std::ostringstream duration;
  duration << s.durationMs / 1000 << "." << (s.durationMs % 1000) / 100 << (s.durationMs % 100) / 10
           << s.durationMs % 10;
  if (audio) {
    std::ostringstream source;
    source << "sine=frequency=" << s.toneHz << ":sample_rate=" << s.sampleRate
           << ":duration=" << duration.str();
    a.insert(a.end(), {"-f", "lavfi", "-i", source.str()});
  }
  if (video) {
    std::ostringstream source;
    source << "testsrc=size=" << s.width << "x" << s.height << ":rate=" << s.fps
           << ":duration=" << duration.str();
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
    a.insert(a.end(),
             {"-c:v", video, "-g", std::to_string(std::max(1, s.fps)), "-flags:v", "+bitexact"});
    // 4:2:0 with B-frames (pictures reordered), one thread for the same
    // bytes on every machine.
    if (s.video == VideoCodec::kH264)
      a.insert(a.end(), {"-pix_fmt", "yuv420p", "-bf", "2", "-threads", "1"});
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

std::uint32_t BigEndian(const Bytes& b, std::size_t at, int length) {
  std::uint32_t value = 0;
  for (int i = 0; i < length; ++i) value = (value << 8) | b[at + static_cast<std::size_t>(i)];
  return value;
}

void PutTag(Bytes& out, const Bytes& tag) {
  out.insert(out.end(), tag.begin(), tag.end());
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(tag.size() >> shift));
}

// Drops the audio tags whose time stamps fall in [start, start + length) and
// puts one flags-only audio tag at `start`, before the first audio or video
// tag at or after it (the metadata stays first). Every previous-tag-size
// field is written anew. Answers an error, or "" when done.
std::string PunchAudioHole(const std::string& path, std::uint32_t start, std::uint32_t length) {
  const Bytes in = ReadWholeFile(path);
  if (in.size() < kFileHeaderSize + kPreviousTagSizeLength) return "generated file too short";
  const std::size_t firstTag = BigEndian(in, kDataOffsetField, 4) + kPreviousTagSizeLength;
  if (firstTag > in.size()) return "bad header in generated file";
  struct RawTag {
    std::uint8_t type;
    std::uint32_t timestamp;
    Bytes headerAndBody;  // no trailing size
  };
  std::vector<RawTag> tags;
  for (std::size_t at = firstTag; at < in.size();) {
    if (in.size() - at < kTagHeaderSize) return "cut tag header in generated file";
    const std::size_t total = kTagHeaderSize + BigEndian(in, at + 1, 3);
    if (in.size() - at < total + kPreviousTagSizeLength) return "cut tag in generated file";
    tags.push_back({static_cast<std::uint8_t>(in[at] & kTagTypeMask),
                    BigEndian(in, at + 4, 3) | (std::uint32_t{in[at + 7]} << 24),
                    Bytes(in.begin() + static_cast<std::ptrdiff_t>(at),
                          in.begin() + static_cast<std::ptrdiff_t>(at + total))});
    at += total + kPreviousTagSizeLength;
  }
  const auto inHole = [&](const RawTag& t) {
    return t.type == kAudioTagType && t.timestamp >= start &&
           t.timestamp < std::uint64_t{start} + length;
  };
  // The flags byte of the first audio tag the hole replaces (else of the
  // first audio tag).
  std::optional<std::uint8_t> flags;
  for (const RawTag& t : tags) {
    if (t.type == kAudioTagType && t.headerAndBody.size() > kTagHeaderSize &&
        (!flags || inHole(t))) {
      flags = t.headerAndBody[kTagHeaderSize];
      if (inHole(t)) break;
    }
  }
  if (!flags) return "an audio hole needs a file with audio";
  const Bytes emptyTag{kAudioTagType,
                       0,
                       0,
                       1,
                       static_cast<std::uint8_t>(start >> 16),
                       static_cast<std::uint8_t>(start >> 8),
                       static_cast<std::uint8_t>(start),
                       static_cast<std::uint8_t>(start >> 24),
                       0,
                       0,
                       0,
                       *flags};
  Bytes out(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(firstTag));
  bool emptyTagWritten = false;
  for (const RawTag& t : tags) {
    if (!emptyTagWritten && t.type != kScriptTagType && t.timestamp >= start) {
      PutTag(out, emptyTag);
      emptyTagWritten = true;
    }
    if (!inHole(t)) PutTag(out, t.headerAndBody);
  }
  if (!emptyTagWritten) PutTag(out, emptyTag);
  WriteWholeFile(path, out);
  return "";
}

// ---- the cache shared by test processes ----

// Every GoogleTest case runs as its own process, so files are also kept in
// the build folder. A file's name carries a hash of everything that made it
// (FFmpeg's arguments, the hole, the library versions), so a changed recipe
// never finds a stale file.
std::string SharedCacheName(const FlvRecipe& recipe, const std::string& name) {
  constexpr std::uint64_t kFnvOffsetBasis = 14695981039346656037ull;
  constexpr std::uint64_t kFnvPrime = 1099511628211ull;
  std::ostringstream made;
  for (const std::string& argument : FfmpegArguments(recipe, "out.flv"))
    made << argument << '\n';
  made << "hole " << recipe.holeStartMs << "+" << recipe.holeLengthMs << '\n'
       << "lavc " << LIBAVCODEC_VERSION_INT << " lavf " << LIBAVFORMAT_VERSION_INT << '\n';
  std::uint64_t hash = kFnvOffsetBasis;
  for (const char c : made.str()) hash = (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
  std::ostringstream cached;
  cached << fs::path(name).stem().string() << "-" << std::hex << hash << ".flv";
  return cached.str();
}

}  // namespace

std::string TestTempDir() {
  static ScratchFolder folder;
  return folder.path();
}

std::string GenerateFlv(const FlvRecipe& requested) {
  const FlvRecipe recipe = Normalised(requested);
  const char* refusal = recipe.audio == AudioCodec::kNone && recipe.video == VideoCodec::kNone
                            ? "a file needs audio or video"
                        : recipe.durationMs <= 0 ? "the duration must be positive"
                        : recipe.holeStartMs >= 0 && recipe.audio == AudioCodec::kNone
                            ? "an audio hole needs audio"
                            : nullptr;
  if (refusal) {
    ADD_FAILURE() << "GenerateFlv: " << refusal;
    return "";
  }
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  static std::map<std::string, std::string> made;  // file name -> path
  const std::string name = FileNameFor(recipe);
  if (auto found = made.find(name); found != made.end()) return found->second;
  std::error_code error;
  const fs::path shared = fs::path(KELVRA_GENERATED_FLV_DIR) / SharedCacheName(recipe, name);
  fs::create_directories(shared.parent_path(), error);
  if (fs::is_regular_file(shared, error) && fs::file_size(shared, error) > 0 && !error)
    return made[name] = shared.string();

  const std::string path = (fs::path(TestTempDir()) / name).string();
  const std::string part = path + ".part.flv";
  const ProgramRun run = RunProgram("ffmpeg", FfmpegArguments(recipe, part));
  std::string failure = run.exitCode == 0 ? "" : "ffmpeg failed: " + run.err;
  if (failure.empty() && recipe.holeStartMs >= 0) {
    failure = PunchAudioHole(part, static_cast<std::uint32_t>(recipe.holeStartMs),
                             static_cast<std::uint32_t>(recipe.holeLengthMs));
  }
  if (failure.empty()) fs::rename(part, path, error);
  if (!failure.empty() || error) {
    fs::remove(part, error);
    ADD_FAILURE() << "GenerateFlv(" << name
                  << "): " << (failure.empty() ? "cannot rename " + part : failure);
    return "";
  }
  // Published under a name of this process and renamed, so another process
  // sees either nothing or the whole file.
  const fs::path temporary = shared.string() + ".tmp" + std::to_string(static_cast<long>(getpid()));
  fs::copy_file(path, temporary, fs::copy_options::overwrite_existing, error);
  if (!error) fs::rename(temporary, shared, error);
  if (error) fs::remove(temporary, error);
  return made[name] = error ? path : shared.string();
}

std::string FixturePath(const std::string& relative) {
  const fs::path path = fs::path(KELVRA_FIXTURES_DIR) / relative;
  std::error_code error;
  if (!fs::exists(path, error))
    ADD_FAILURE() << "fixture missing: " << path.string()
                  << " (tests/data/flv/README.md lists the files)";
  return path.string();
}

std::vector<std::string> AllFixtureFiles() {
  std::vector<std::string> files;
  for (const char* sub : {"real", "generated"}) {
    std::error_code error;
    for (fs::directory_iterator it(fs::path(KELVRA_FIXTURES_DIR) / sub, error), end;
         !error && it != end; it.increment(error)) {
      if (it->is_regular_file() && it->path().extension() == ".flv")
        files.push_back(it->path().string());
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) ADD_FAILURE() << "no fixtures in " << KELVRA_FIXTURES_DIR;
  return files;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) ADD_FAILURE() << "cannot open " << path;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

}  // namespace kelvra::test
