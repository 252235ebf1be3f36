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

#include "support/flv_builder.h"
#include "support/programs.h"

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/version.h>
}

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

// Removed when the process that made it ends (not by forked children, which
// share the folder).
struct ScratchFolder {
  pid_t owner = getpid();
  std::string path = (fs::temp_directory_path() / "kelvra-test-XXXXXX").string();
  ScratchFolder() {
    if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (getpid() == owner) fs::remove_all(path, ignored);
  }
};

// The rates the encoder and the FLV muxer both accept.
struct AudioChoice {
  const char* encoder;
  std::vector<int> rates;
  bool monoOnly;
  bool takesBitRate;
};

const AudioChoice* ChoiceFor(AudioCodec codec) {
  static const std::map<AudioCodec, AudioChoice> kChoices = {
      {AudioCodec::kMp3, {"libmp3lame", {11025, 22050, 44100}, false, true}},
      {AudioCodec::kAdpcmSwf, {"adpcm_swf", {11025, 22050, 44100}, false, false}},
      {AudioCodec::kNellymoser, {"nellymoser", {8000, 11025, 16000, 22050, 44100}, true, false}},
      {AudioCodec::kPcmS16le, {"pcm_s16le", {5512, 11025, 22050, 44100}, false, false}},
      {AudioCodec::kPcmU8, {"pcm_u8", {5512, 11025, 22050, 44100}, false, false}},
      {AudioCodec::kAac, {"aac", {11025, 22050, 44100, 48000}, false, true}},
      {AudioCodec::kSpeex, {"libspeex", {16000}, true, false}},
      {AudioCodec::kG711ALaw, {"pcm_alaw", {8000}, true, false}},
      {AudioCodec::kG711MuLaw, {"pcm_mulaw", {8000}, true, false}}};
  const auto found = kChoices.find(codec);
  return found == kChoices.end() ? nullptr : &found->second;
}

const char* VideoEncoder(VideoCodec codec) {
  constexpr const char* kEncoders[] = {nullptr, "flv", "flashsv", "libx264"};
  return kEncoders[static_cast<int>(codec)];
}

// FFmpeg's arguments for the recipe as it will really be made: a rate the
// codec cannot take moves to the closest it can (ties to the lower), and so
// do the channels.
std::vector<std::string> FfmpegArguments(const FlvRecipe& s, const std::string& outPath) {
  std::vector<std::string> a{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
  const AudioChoice* audio = ChoiceFor(s.audio);
  const char* video = VideoEncoder(s.video);
  const std::string duration = ":duration=" + std::to_string(s.durationMs / 1000.0);
  int rate = 0;  // the closest the codec takes, ties to the lower
  for (int r : audio ? audio->rates : std::vector<int>{})
    if (rate == 0 || std::abs(r - s.sampleRate) < std::abs(rate - s.sampleRate)) rate = r;
  std::ostringstream tone, pattern;
  tone << "sine=frequency=" << s.toneHz << ":sample_rate=" << rate << duration;
  pattern << "testsrc=size=" << s.width << "x" << s.height << ":rate=" << s.fps << duration;
  if (audio) a.insert(a.end(), {"-f", "lavfi", "-i", tone.str()});
  if (video) a.insert(a.end(), {"-f", "lavfi", "-i", pattern.str()});
  a.insert(a.end(), {"-fflags", "+bitexact"});
  if (audio) {
    const bool stereo = !audio->monoOnly && s.channels >= 2;
    a.insert(a.end(), {"-c:a", audio->encoder, "-ar", std::to_string(rate), "-ac",
                       stereo ? "2" : "1", "-flags:a", "+bitexact"});
    if (audio->takesBitRate) a.insert(a.end(), {"-b:a", std::to_string(s.audioBitRate)});
  }
  if (video) {
    a.insert(a.end(),
             {"-c:v", video, "-g", std::to_string(std::max(1, s.fps)), "-flags:v", "+bitexact"});
    // One thread, for the same bytes on every machine.
    if (s.video == VideoCodec::kH264)
      a.insert(a.end(), {"-pix_fmt", "yuv420p", "-bf", "2", "-threads", "1"});
  }
  a.insert(a.end(), {"-f", "flv", outPath});
  return a;
}

std::uint32_t BigEndian(const Bytes& b, std::size_t at, int length) {
  std::uint32_t value = 0;
  for (int i = 0; i < length; ++i) value = (value << 8) | b[at + static_cast<std::size_t>(i)];
  return value;
}

// Answers an error, or "" when done.
std::string PunchAudioHole(const std::string& path, std::uint32_t start, std::uint32_t length) {
  constexpr std::uint8_t kAudio = 8;
  const Bytes in = ReadWholeFile(path);
  const std::size_t firstTag = in.size() < 13 ? in.size() + 1 : BigEndian(in, 5, 4) + 4;
  if (firstTag > in.size()) return "bad generated file";
  struct Tag {
    std::uint8_t type;
    std::uint32_t time;
    std::size_t at, size;  // with the trailing previous-tag-size field
  };
  std::vector<Tag> tags;
  for (std::size_t at = firstTag; at < in.size(); at += tags.back().size) {
    if (in.size() - at < 15 || in.size() - at < 15 + BigEndian(in, at + 1, 3))
      return "cut tag in generated file";
    tags.push_back({static_cast<std::uint8_t>(in[at] & 0x1F),
                    BigEndian(in, at + 4, 3) | std::uint32_t{in[at + 7]} << 24, at,
                    15 + BigEndian(in, at + 1, 3)});
  }
  const auto inHole = [&](const Tag& t) {
    return t.type == kAudio && t.time >= start && t.time - start < length;
  };
  std::optional<std::uint8_t> flags;  // of the first audio tag in the hole, else the first
  for (const Tag& t : tags) {
    if (t.type == kAudio && t.size > 15 && (!flags || inHole(t))) {
      flags = in[t.at + 11];
      if (inHole(t)) break;
    }
  }
  if (!flags) return "an audio hole needs a file with audio";
  const Bytes empty = FlvBuilder().Tag(kAudio, start, {*flags}).bytes();
  Bytes out(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(firstTag));
  bool emptyWritten = false;
  for (const Tag& t : tags) {
    if (!emptyWritten && t.type != 18 && t.time >= start) {
      out.insert(out.end(), empty.begin(), empty.end());
      emptyWritten = true;
    }
    const auto begin = in.begin() + static_cast<std::ptrdiff_t>(t.at);
    if (!inHole(t)) out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(t.size));
  }
  if (!emptyWritten) out.insert(out.end(), empty.begin(), empty.end());
  WriteWholeFile(path, out);
  return "";
}

}  // namespace

std::string TestTempDir() {
  static ScratchFolder folder;
  return folder.path;
}

std::string GenerateFlv(const FlvRecipe& recipe) {
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
  // Every test case runs as its own process, so files are kept in the build
  // folder under a hash of all that made them (FFmpeg's arguments, the hole,
  // the library versions): a changed recipe never finds a stale file.
  std::ostringstream made;
  for (const std::string& argument : FfmpegArguments(recipe, "out.flv")) made << argument << '\n';
  made << "hole " << recipe.holeStartMs << "+" << recipe.holeLengthMs << '\n'
       << "lavc " << LIBAVCODEC_VERSION_INT << " lavf " << LIBAVFORMAT_VERSION_INT << '\n';
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : made.str()) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  std::ostringstream name;
  name << "gen-" << std::hex << hash << ".flv";
  const fs::path shared = fs::path(KELVRA_GENERATED_FLV_DIR) / name.str();
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::error_code error;
  if (fs::file_size(shared, error) > 0 && !error) return shared.string();

  const std::string path = (fs::path(TestTempDir()) / name.str()).string();
  const ProgramRun run = RunProgram("ffmpeg", FfmpegArguments(recipe, path));
  std::string failure = run.exitCode == 0 ? "" : "ffmpeg failed: " + run.err;
  if (failure.empty() && recipe.holeStartMs >= 0) {
    failure = PunchAudioHole(path, static_cast<std::uint32_t>(recipe.holeStartMs),
                             static_cast<std::uint32_t>(recipe.holeLengthMs));
  }
  if (!failure.empty()) {
    ADD_FAILURE() << "GenerateFlv(" << made.str() << "): " << failure;
    return "";
  }
  // Published under a name of this process and renamed, so another process
  // sees either nothing or the whole file.
  const fs::path temporary = shared.string() + ".tmp" + std::to_string(getpid());
  fs::create_directories(shared.parent_path(), error);
  fs::copy_file(path, temporary, fs::copy_options::overwrite_existing, error);
  if (!error) fs::rename(temporary, shared, error);
  if (error) fs::remove(temporary, error);
  return error ? path : shared.string();
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
    for (const auto& entry : fs::directory_iterator(fs::path(KELVRA_FIXTURES_DIR) / sub, error))
      if (entry.is_regular_file() && entry.path().extension() == ".flv")
        files.push_back(entry.path().string());
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
