// The bridge's audio decoder against FFmpeg's own decoding; split, damaged and odd payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>

#include "support/coded_stream.h"
#include "support/flv_files.h"
#include "support/programs.h"
#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

using Decoder =
    std::unique_ptr<VexmarAudioDecoder,
                    decltype([](VexmarAudioDecoder* d) { ADD_Close(d), ADD_Delete(d); })>;
Decoder OpenDecoder(int codecId) {
  Vexmar_init();
  Decoder decoder(ADD_Create());
  EXPECT_EQ(ADD_Open(decoder.get(), codecId), 1);
  return decoder;
}

// One ADD_Decode call (null payload: flush); its PCM, of one format, goes to `pcm`.
int Decode(VexmarAudioDecoder* decoder, const Bytes* payload, int rate, int channels,
           Pcm* pcm = nullptr) {
  std::uint8_t* out = nullptr;
  int size = -1;
  const int result =
      ADD_Decode(decoder, payload ? payload->data() : nullptr,
                 payload ? static_cast<int>(payload->size()) : 0, &out, &size, &rate, &channels);
  if (result == 0 || size == 0 || pcm == nullptr) return result;
  EXPECT_TRUE(size > 0 && size % (2 * channels) == 0) << size;
  EXPECT_TRUE(pcm->samples.empty() || (rate == pcm->sampleRate && channels == pcm->channels))
      << "a format change inside one call";
  pcm->sampleRate = rate;
  pcm->channels = channels;
  const auto* samples = reinterpret_cast<const std::int16_t*>(out);
  pcm->samples.insert(pcm->samples.end(), samples, samples + size / 2);
  return result;
}

constexpr const char* kMp3At44100 = "real/ruffle-rs_ruffle_square.flv";  // mono
constexpr std::size_t kMp3Frame = 1152;

struct FileCase {
  const char* file;
  int codec, tolerance;       // bit-exact for PCM and ADPCM
  std::size_t maxPiece = 0;  // 0: one tag's payload per call; else random cuts
};
void PrintTo(const FileCase& c, std::ostream* out) { *out << c.file << " cut " << c.maxPiece; }
class SameAsFfmpeg : public testing::TestWithParam<FileCase> {};

TEST_P(SameAsFfmpeg, EveryTagDecodesToFfmpegsPcm) {
  const FileCase& c = GetParam();
  Decoder decoder = OpenDecoder(c.codec);
  const CodedStream raw = ReadCodedStream(FixturePath(c.file), AVMEDIA_TYPE_AUDIO, true);
  std::vector<Bytes> payloads = raw.packets;
  if (c.maxPiece > 0) {  // MP3 frames split across payloads, and several in one
    Bytes all;
    for (const Bytes& p : raw.packets) all.insert(all.end(), p.begin(), p.end());
    payloads.clear();
    std::mt19937 rng(static_cast<unsigned>(c.maxPiece));
    for (std::size_t pos = 0, piece = 0; pos < all.size(); pos += piece) {
      piece = std::min(all.size() - pos, 1 + rng() % c.maxPiece);
      payloads.emplace_back(all.begin() + pos, all.begin() + pos + piece);
    }
  }
  Pcm bridge;
  for (const Bytes& payload : payloads)
    ASSERT_EQ(Decode(decoder.get(), &payload, raw.sampleRate, raw.channels, &bridge), 1);
  EXPECT_EQ(Decode(decoder.get(), nullptr, raw.sampleRate, raw.channels, &bridge), 1);
  const Pcm reference = DecodeAudio(FixturePath(c.file));  // fails the test when empty
  EXPECT_TRUE(bridge.sampleRate == reference.sampleRate && bridge.channels == reference.channels)
      << bridge.sampleRate << " " << bridge.channels;
  ASSERT_EQ(bridge.samples.size(), reference.samples.size());
  for (std::size_t i = 0; i < bridge.samples.size(); ++i)
    ASSERT_LE(std::abs(bridge.samples[i] - reference.samples[i]), c.tolerance) << "at sample " << i;
}

constexpr FileCase kFiles[] = {
    {"generated/gen_adpcm_swf_22050_mono.flv", VEXMAR_CODEC_ADPCM_SWF, 0},
    {"generated/gen_adpcm_swf_44100_stereo.flv", VEXMAR_CODEC_ADPCM_SWF, 0},
    {"generated/gen_pcm_u8_11025_mono.flv", VEXMAR_CODEC_PCM_S8, 0},
    {"generated/gen_pcm_s16le_44100_stereo.flv", VEXMAR_CODEC_PCM_S16LE, 0},
    {"real/ruffle-rs_ruffle_tone_alaw_mono.flv", VEXMAR_CODEC_PCM_ALAW, 0},
    {"real/ruffle-rs_ruffle_tone_mulaw_mono.flv", VEXMAR_CODEC_PCM_MULAW, 0},
    {"real/mondain_red5_fp_fcs_live_audio.flv", VEXMAR_CODEC_NELLYMOSER, 1},
    {kMp3At44100, VEXMAR_CODEC_MP3, 1},
    {kMp3At44100, VEXMAR_CODEC_MP3, 1, 1},
    {kMp3At44100, VEXMAR_CODEC_MP3, 1, 5000},
    {"real/apache_flex-sdk_phone.flv", VEXMAR_CODEC_MP3, 1},
    {"real/Red5_red5-server_NAPNAP.flv", VEXMAR_CODEC_MP3, 1}};
INSTANTIATE_TEST_SUITE_P(Fixtures, SameAsFfmpeg, testing::ValuesIn(kFiles));

// A format change inside one payload comes out one format per call; a half frame leaks
// neither into the next codec nor past a reopen. PCM follows each call's nominal format.
TEST(AudioDecoderHandle, FormatChangesDamageFlushesAndReopens) {
  const auto mp3 = [](const char* file) {
    return ReadCodedStream(FixturePath(file), AVMEDIA_TYPE_AUDIO, false).packets;
  };
  const std::vector<Bytes> frames = mp3(kMp3At44100),
                           at22050 = mp3("real/apache_flex-sdk_phone.flv");
  ASSERT_TRUE(frames.size() > 6 && !at22050.empty());
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  const auto decodesOneFrame = [&](int i) {
    Pcm pcm;
    EXPECT_EQ(Decode(decoder.get(), &frames[i], 44100, 1, &pcm), 1) << i;
    EXPECT_EQ(pcm.samples.size(), kMp3Frame) << i;
  };
  EXPECT_EQ(Decode(decoder.get(), nullptr, 44100, 1), 1);
  Bytes mixed = frames[0];
  for (const Bytes* frame : {&frames[1], &at22050[0]})
    mixed.insert(mixed.end(), frame->begin(), frame->end());
  Pcm first, second;
  ASSERT_EQ(Decode(decoder.get(), &mixed, 44100, 1, &first), 1);
  EXPECT_EQ(std::pair(first.sampleRate, first.samples.size()), std::pair(44100, 2 * kMp3Frame));
  // The 22050 Hz frame waits for a flush.
  ASSERT_EQ(Decode(decoder.get(), nullptr, 44100, 1, &second), 1);
  EXPECT_EQ(std::pair(second.sampleRate, second.samples.size()), std::pair(22050, kMp3Frame / 2));
  std::mt19937 rng(7);
  Bytes noHeader(300, 0x55), random(417);
  for (auto& b : random) b = static_cast<std::uint8_t>(rng());
  random[0] = 0x00;  // false frame headers may follow
  EXPECT_TRUE(Decode(decoder.get(), &noHeader, 44100, 1) == 0 &&
              Decode(decoder.get(), &random, 44100, 1) == 0);
  // Perhaps the start of a split frame, which the next payload must not feed.
  const Bytes truncated(frames[1].begin(), frames[1].begin() + 40),
      half(frames[4].begin(), frames[4].begin() + 50);
  Decode(decoder.get(), &truncated, 44100, 1);
  decodesOneFrame(2);
  EXPECT_TRUE(Decode(decoder.get(), nullptr, 44100, 1) == 1 &&
              Decode(decoder.get(), nullptr, 44100, 1) == 1);
  decodesOneFrame(3);
  ASSERT_EQ(Decode(decoder.get(), &half, 44100, 1), 1);
  EXPECT_TRUE(ADD_Close(decoder.get()) == 1 && Decode(decoder.get(), &half, 44100, 1) == 0 &&
              ADD_Open(decoder.get(), VEXMAR_CODEC_FLV1) == 0);
  ASSERT_EQ(ADD_Open(decoder.get(), VEXMAR_CODEC_PCM_S8), 1);
  const Bytes silence(10, 0x80), three(3, 0x80);
  Pcm stereo, mono;
  ASSERT_TRUE(Decode(decoder.get(), &silence, 22050, 2, &stereo) &&
              Decode(decoder.get(), &silence, 5512, 1, &mono));
  EXPECT_TRUE(stereo.samples == std::vector<std::int16_t>(10, 0) && stereo.channels == 2 &&
              mono.sampleRate == 5512 && mono.channels == 1);
  EXPECT_TRUE(!Decode(decoder.get(), &three, 44100, 2) && !Decode(decoder.get(), &silence, 0, 2) &&
              !Decode(decoder.get(), &silence, 44100, 1000));
  ASSERT_EQ(ADD_Open(decoder.get(), VEXMAR_CODEC_MP3), 1);  // without Close
  decodesOneFrame(5);
}

// AAC configurations of one size in turn: each takes effect from its tag on.
TEST(AudioDecoderHandle, AacConfigurationInMidStreamSetsTheFormat) {
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_AAC);
  std::size_t configSize = 0;
  for (const auto& [rate, channels] : {std::pair(44100, 2), std::pair(22050, 1)}) {
    FlvRecipe recipe;
    recipe.audio = AudioCodec::kAac;
    recipe.sampleRate = rate;
    recipe.channels = channels;
    const CodedStream aac = ReadCodedStream(GenerateFlv(recipe), AVMEDIA_TYPE_AUDIO, true, 8);
    if (configSize == 0) configSize = aac.config.size();
    ASSERT_EQ(aac.config.size(), configSize);
    Bytes header{0x00};  // AACPacketType 0: the AudioSpecificConfig
    header.insert(header.end(), aac.config.begin(), aac.config.end());
    ASSERT_EQ(Decode(decoder.get(), &header, 44100, 2), 1);
    Pcm pcm;
    for (const Bytes& packet : aac.packets) {
      Bytes frame{0x01};  // AACPacketType 1: one raw frame
      frame.insert(frame.end(), packet.begin(), packet.end());
      ASSERT_EQ(Decode(decoder.get(), &frame, 44100, 2, &pcm), 1);
    }
    EXPECT_EQ(std::pair(pcm.sampleRate, pcm.channels), std::pair(rate, channels));
  }
}

}  // namespace
}  // namespace kelvra::test
