// Runs the sonex program as a separate process and checks what it prints on
// each stream and the exit code it ends with.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace kelvra {
namespace {

const char* const kSonex = KELVRA_BINARY_DIR "/bin/sonex";

const std::string kMissingParameters =
    "Parameters not enough, not entered (-i) or not specified output parameters (-out)\n";

// The usage text as users see it, kept here byte for byte: the two "possible
// value is: " lines end in a blank.
const std::string kUsage =
    "Usage: sonex\n"
    "       -i flv_file -st start_time_ms -dt duration_ms ...\n"
    "       -out output_file\n"
    "       [-fmt {mp3|asf|adts|wav|amr}]\n"
    "       [-ac {1|2}]\n"
    "       [-acodec codec]\n"
    "       [-asr n]\n"
    "       [-abr n]\n"
    "       [-slp n]\n"
    "       [-quiet {0|1}]\n"
    "       [-info flv_file]\n"
    "\n"
    "-i\n"
    "    FLV file to be converted\n"
    "-st\n"
    "    Specify the starting time of conversion\n"
    "-dt\n"
    "    Set the timing of conversion\n"
    "-out\n"
    "    Set output file name\n"
    "-fmt\n"
    "    Set output format\n"
    "-ac\n"
    "    Set output audio channels\n"
    "-acodec\n"
    "    Set output audio codec, for codecs supported, please refer to the help document\n"
    "-asr\n"
    "    Set output audio sample rate, for mp3, possible value is: \n"
    "    44100, 22050, 11025\n"
    "-abr\n"
    "    Set output audio bit rate, for mp3, possible value is: \n"
    "    16000, 32000, 48000, 64000, 96000, 128000\n"
    "-slp\n"
    "    Set number of milliseconds to sleep when encoding\n"
    "-quiet\n"
    "    Set whether to display the progress of conversion information. 0, show the information; "
    "1, do not show.\n"
    "-info\n"
    "    Show information of the defined FLV file, such as size, frame rate, sample rate, "
    "channels, etc.\n"
    "\n"
    "Examples:\n"
    "1) convert flv to mp3\n"
    "sonex -i xxx.flv -out xxx.mp3 -fmt mp3 -ac 1 -asr 44100 -abr 64000\n"
    "\n"
    "2) convert flv to wav\n"
    "sonex -i xxx.flv -out xxx.wav -fmt wav -ac 1 -asr 44100\n"
    "\n"
    "3) convert flv to amr\n"
    "sonex -i xxx.flv -out xxx.amr -fmt amr -ac 1 -asr 8000 -abr 12000\n"
    "\n"
    "4) convert flv to wma\n"
    "sonex -i xxx.flv -out xxx.wma\n"
    "\n"
    "5) convert flv to aac\n"
    "sonex -i xxx.flv -out xxx.aac\n"
    "\n"
    "6) convert a batch of FLV files\n"
    "sonex -i x1.flv -i x2.flv -i x3.flv -out xxx.mp3\n"
    "\n"
    "7) convert a batch of FLV files and set start time and the timing of conversion.\n"
    "sonex -i x1.flv -st 10000 -dt 30000 -i x2.flv -st 30000 -dt 30000 -out xxx.mp3\n"
    "\n"
    "8) get FLV file information\n"
    "sonex -info x1.flv\n";

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SonexProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sonex-program-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Runs sonex with `args` in the scratch folder, standard input empty and
  // the two output streams caught in separate files.
  ProgramRun Run(const std::vector<std::string>& args) {
    const std::string outPath = (dir_ / "stdout.txt").string();
    const std::string errPath = (dir_ / "stderr.txt").string();
    const std::string workDir = (dir_ / "work").string();
    std::filesystem::create_directories(workDir);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

    std::vector<char*> argv{const_cast<char*>(kSonex)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    ProgramRun run;
    pid_t pid = 0;
    const int spawnError = posix_spawn(&pid, kSonex, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawnError, 0) << "cannot start " << kSonex;
    if (spawnError != 0) return run;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "sonex did not exit normally, status " << status;
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = Slurp(outPath);
    run.err = Slurp(errPath);
    return run;
  }

  std::filesystem::path WorkDir() const { return dir_ / "work"; }

  void ExpectParametersNotEnough(const std::vector<std::string>& args) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ProgramRun run = Run(args);
    EXPECT_EQ(run.exitCode, 11);
    EXPECT_EQ(run.err, kMissingParameters);
    EXPECT_EQ(run.out, kUsage);
  }

  std::filesystem::path dir_;
};

TEST_F(SonexProgramTest, MissingInputOrOutputEndsWithCode11) {
  ExpectParametersNotEnough({});
  ExpectParametersNotEnough({"-info"});
  ExpectParametersNotEnough({"-i", "a.flv"});
  ExpectParametersNotEnough({"-out", "b.mp3"});
  ExpectParametersNotEnough({"-i", "a.flv", "-out"});  // the last name has no value
  ExpectParametersNotEnough({"-st", "100", "-dt", "200", "-fmt", "wav"});
}

TEST_F(SonexProgramTest, UnknownOptionEndsWithCode1) {
  ProgramRun run = Run({"-x", "1"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "Unknown option -x\n" + kUsage);
  EXPECT_EQ(run.err, "");
}

TEST_F(SonexProgramTest, HelpAndVersionEndWithCode0) {
  // The versions: the program's, then the five FFmpeg libraries, one a line.
  const std::string versionStart = "sonex " KELVRA_VERSION "\nlibavcodec " KELVRA_AVCODEC_VERSION "\n";
  constexpr long kVersionLines = 6;
  for (const char* option : {"-h", "-help", "--help", "-version", "--version"}) {
    SCOPED_TRACE(option);
    ProgramRun run = Run({option});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    if (std::string(option).find("version") == std::string::npos) {
      EXPECT_EQ(run.out, kUsage);
    } else {
      EXPECT_EQ(run.out.rfind(versionStart, 0), 0u) << run.out;
      EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), kVersionLines);
    }
  }
}

TEST_F(SonexProgramTest, UnknownOptionStopsBeforeLaterPairs) {
  ProgramRun run = Run({"-i", "a.flv", "-Bogus", "1", "-out", "b.mp3"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "Unknown option -Bogus\n" + kUsage);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(std::filesystem::exists(WorkDir() / "b.mp3"));
}

TEST_F(SonexProgramTest, OptionNamesIgnoreCase) {
  ProgramRun lower = Run({"-info", "missing.flv"});
  ProgramRun upper = Run({"-INFO", "missing.flv"});
  EXPECT_EQ(upper.exitCode, lower.exitCode);
  EXPECT_EQ(upper.out, lower.out);
  EXPECT_EQ(upper.err, lower.err);
  // Information mode was chosen: neither the usage nor the missing-parameter
  // message appears.
  EXPECT_EQ(upper.out.find("Usage: sonex"), std::string::npos);
  EXPECT_EQ(upper.err.find("Parameters not enough"), std::string::npos);
  ExpectParametersNotEnough({"-INFO"});
}

TEST_F(SonexProgramTest, InformationModeIgnoresConversionOptions) {
  ProgramRun run = Run({"-info", "a.flv", "-i", "b.flv", "-out", "c.mp3"});
  EXPECT_EQ(run.out.find("Usage: sonex"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(WorkDir() / "c.mp3"));
}

}  // namespace
}  // namespace kelvra
