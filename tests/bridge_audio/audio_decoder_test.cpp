// The bridge's audio decoder against FFmpeg's own decoding of the same
// FLV audio, and its handling of split, damaged and odd payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "support/coded_stream.h"
#include "support/flv_files.h"
#include "support/programs.h"
#include "vexmar/vexmar.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct DecoderDeleter {
  void operator()(VexmarAudioDecoder* d) const {
    ADD_Close(d);
    ADD_Delete(d);
  }
};
using Decoder = std::unique_ptr<VexmarAudioDecoder, DecoderDeleter>;

Decoder OpenDecoder(int codecId) {
  Vexmar_init();
  Decoder decoder(ADD_Create());
  EXPECT_NE(decoder, nullptr);
  EXPECT_EQ(ADD_Open(decoder.get(), codecId), 1);
  return decoder;
}

// PCM gathered from many calls, all of one format.
struct Gathered {
  std::vector<std::int16_t> samples;
  int sampleRate = 0;
  int channels = 0;
  bool formatChanged = false;

  void Append(const std::uint8_t* data, int size, int rate, int count) {
    if (size <= 0) return;
    if (sampleRate != 0 && (rate != sampleRate || count != channels)) formatChanged = true;
    sampleRate = rate;
    channels = count;
    const std::size_t first = samples.size();
    samples.resize(first + static_cast<std::size_t>(size) / 2);
    std::memcpy(samples.data() + first, data, static_cast<std::size_t>(size) / 2 * 2);
  }
};

// One call of ADD_Decode; its PCM goes into `pcm`. Answers the result.
int Decode(VexmarAudioDecoder* decoder, const Bytes* payload, int nominalRate, int nominalChannels,
           Gathered* pcm) {
  std::uint8_t* out = nullptr;
  int outSize = -1;
  int rate = nominalRate;
  int channels = nominalChannels;
  const int result =
      payload ? ADD_Decode(decoder, payload->data(), static_cast<int>(payload->size()), &out,
                           &outSize, &rate, &channels)
              : ADD_Decode(decoder, nullptr, 0, &out, &outSize, &rate, &channels);
  if (result != 0) {
    EXPECT_GE(outSize, 0);
    if (outSize > 0) {
      EXPECT_NE(out, nullptr);
      EXPECT_EQ(outSize % (2 * channels), 0);
    }
    if (pcm) pcm->Append(out, outSize, rate, channels);
  }
  return result;
}

// The audio packets of `path` (support/coded_stream.h says what `raw` does).
kelvra::test::CodedStream ReadAudio(const std::string& path, bool raw = true) {
  Vexmar_init();  // keeps the demuxer quiet too
  return kelvra::test::ReadCodedStream(path, AVMEDIA_TYPE_AUDIO, raw);
}

// FFmpeg's own decoding of the file: the ffmpeg program's 16-bit PCM.
Gathered FfmpegDecode(const std::string& path) {
  const kelvra::test::Pcm pcm = kelvra::test::DecodeAudio(path);
  return Gathered{pcm.samples, pcm.sampleRate, pcm.channels};
}

void ExpectSamePcm(const Gathered& bridge, const Gathered& reference, int tolerance) {
  ASSERT_FALSE(reference.samples.empty());
  EXPECT_EQ(bridge.sampleRate, reference.sampleRate);
  EXPECT_EQ(bridge.channels, reference.channels);
  ASSERT_EQ(bridge.samples.size(), reference.samples.size());
  int worst = 0;
  std::size_t worstAt = 0;
  for (std::size_t i = 0; i < bridge.samples.size(); ++i) {
    if (std::abs(bridge.samples[i] - reference.samples[i]) > worst) worst = std::abs(bridge.samples[i] - reference.samples[i]), worstAt = i;
  }
  EXPECT_LE(worst, tolerance) << "at sample " << worstAt;
}

struct FileCase {
  const char* file;
  AVCodecID codec;
  int bridgeCodec;
  int tolerance;  // bit-exact for PCM and ADPCM
};

class SameAsFfmpeg : public ::testing::TestWithParam<FileCase> {};

// The bridge decodes one raw tag payload per call, then flushes.
TEST_P(SameAsFfmpeg, EveryTagDecodesToFfmpegsPcm) {
  const FileCase& c = GetParam();
  const std::string path = kelvra::test::FixturePath(c.file);
  const kelvra::test::CodedStream raw = ReadAudio(path);
  ASSERT_EQ(raw.codec, c.codec);
  ASSERT_FALSE(raw.packets.empty());
  Decoder decoder = OpenDecoder(c.bridgeCodec);
  Gathered bridge;
  for (const Bytes& payload : raw.packets) EXPECT_EQ(Decode(decoder.get(), &payload, raw.sampleRate, raw.channels, &bridge), 1);
  EXPECT_EQ(Decode(decoder.get(), nullptr, raw.sampleRate, raw.channels, &bridge), 1);
  EXPECT_FALSE(bridge.formatChanged);
  ExpectSamePcm(bridge, FfmpegDecode(path), c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, SameAsFfmpeg,
    ::testing::Values(FileCase{"generated/gen_adpcm_swf_22050_mono.flv", AV_CODEC_ID_ADPCM_SWF, VEXMAR_CODEC_ADPCM_SWF, 0},
                      FileCase{"generated/gen_adpcm_swf_44100_stereo.flv", AV_CODEC_ID_ADPCM_SWF, VEXMAR_CODEC_ADPCM_SWF, 0},
                      FileCase{"generated/gen_pcm_u8_11025_mono.flv", AV_CODEC_ID_PCM_U8, VEXMAR_CODEC_PCM_S8, 0},
                      FileCase{"generated/gen_pcm_s16le_44100_stereo.flv", AV_CODEC_ID_PCM_S16LE, VEXMAR_CODEC_PCM_S16LE, 0},
                      FileCase{"generated/gen_pcm_s16be_22050_mono.flv", AV_CODEC_ID_PCM_S16LE, VEXMAR_CODEC_PCM_S16LE, 0},
                      FileCase{"generated/gen_nellymoser_8000_mono.flv", AV_CODEC_ID_NELLYMOSER, VEXMAR_CODEC_NELLYMOSER, 1},
                      FileCase{"generated/gen_nellymoser_16000_mono.flv", AV_CODEC_ID_NELLYMOSER, VEXMAR_CODEC_NELLYMOSER, 1},
                      FileCase{"generated/gen_nellymoser_22050_mono.flv", AV_CODEC_ID_NELLYMOSER, VEXMAR_CODEC_NELLYMOSER, 1},
                      FileCase{"real/mondain_red5_fp_fcs_live_audio.flv", AV_CODEC_ID_NELLYMOSER, VEXMAR_CODEC_NELLYMOSER, 1},
                      FileCase{"real/ruffle-rs_ruffle_square.flv", AV_CODEC_ID_MP3, VEXMAR_CODEC_MP3, 1},
                      FileCase{"real/apache_flex-sdk_phone.flv", AV_CODEC_ID_MP3, VEXMAR_CODEC_MP3, 1},
                      FileCase{"real/Red5_red5-server_NAPNAP.flv", AV_CODEC_ID_MP3, VEXMAR_CODEC_MP3, 1}),
    [](const ::testing::TestParamInfo<FileCase>& info) {
      std::string name = std::filesystem::path(info.param.file).stem().string();
      std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
      return name;
    });

// ---------------------------------------------------------------------------
// MP3 payloads cut anywhere.

constexpr const char* kMp3At44100 = "real/ruffle-rs_ruffle_square.flv";  // mono
constexpr std::size_t kMp3FrameSamples = 1152;

// The file's MP3 frames as FFmpeg's parser cuts them.
std::vector<Bytes> Mp3Frames(const char* file) { return ReadAudio(kelvra::test::FixturePath(file), false).packets; }

TEST(AudioDecoderMp3, FramesSplitAcrossPayloadsAndSeveralPerPayloadDecodeTheSame) {
  const Gathered expected = FfmpegDecode(kelvra::test::FixturePath(kMp3At44100));
  Bytes all;
  for (const Bytes& p : ReadAudio(kelvra::test::FixturePath(kMp3At44100)).packets) all.insert(all.end(), p.begin(), p.end());
  ASSERT_FALSE(all.empty());

  for (const std::size_t maxPiece : {std::size_t{1}, std::size_t{97}, std::size_t{5000}}) {
    SCOPED_TRACE(maxPiece);
    std::mt19937 rng(static_cast<unsigned>(maxPiece));
    Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
    Gathered pcm;
    for (std::size_t pos = 0; pos < all.size();) {
      const std::size_t piece = std::min(all.size() - pos, 1 + rng() % maxPiece);
      const Bytes payload(all.begin() + pos, all.begin() + pos + piece);
      ASSERT_EQ(Decode(decoder.get(), &payload, 44100, 1, &pcm), 1) << "at " << pos;
      pos += piece;
    }
    ASSERT_EQ(Decode(decoder.get(), nullptr, 44100, 1, &pcm), 1);
    ExpectSamePcm(pcm, expected, 1);
  }
}

TEST(AudioDecoderMp3, AFormatChangeInsideOnePayloadComesOutOneFormatPerCall) {
  const std::vector<Bytes> at44100 = Mp3Frames(kMp3At44100);
  const std::vector<Bytes> at22050 = Mp3Frames("real/apache_flex-sdk_phone.flv");  // 22050 Hz mono
  ASSERT_GT(at44100.size(), 2u);
  ASSERT_GT(at22050.size(), 2u);
  Bytes mixed = at44100[0];
  mixed.insert(mixed.end(), at44100[1].begin(), at44100[1].end());
  mixed.insert(mixed.end(), at22050[0].begin(), at22050[0].end());

  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  Gathered first, second;
  ASSERT_EQ(Decode(decoder.get(), &mixed, 44100, 1, &first), 1);
  EXPECT_EQ(first.sampleRate, 44100);
  EXPECT_EQ(first.samples.size(), 2 * kMp3FrameSamples);
  // The 22050 Hz frame waits for the next call, here a flush.
  ASSERT_EQ(Decode(decoder.get(), nullptr, 44100, 1, &second), 1);
  EXPECT_EQ(second.sampleRate, 22050);
  EXPECT_EQ(second.samples.size(), 576u);
}

TEST(AudioDecoderMp3, CorruptPayloadFailsAndTheNextGoodOneDecodes) {
  const std::vector<Bytes> frames = Mp3Frames(kMp3At44100);
  ASSERT_GT(frames.size(), 5u);
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  Gathered pcm;
  ASSERT_EQ(Decode(decoder.get(), &frames[0], 44100, 1, &pcm), 1);

  // Bytes without any frame header.
  const Bytes noise(300, 0x55);
  EXPECT_EQ(Decode(decoder.get(), &noise, 44100, 1, nullptr), 0);
  // Random bytes, which may hold false frame headers.
  std::mt19937 rng(7);
  Bytes random(417);
  for (auto& b : random) b = static_cast<std::uint8_t>(rng());
  random[0] = 0x00;
  EXPECT_EQ(Decode(decoder.get(), &random, 44100, 1, nullptr), 0);
  // A frame header followed by garbage that ends the payload early: it may
  // be the start of a split frame, which the next payload must not feed.
  Bytes truncated(frames[1].begin(), frames[1].begin() + 40);
  Decode(decoder.get(), &truncated, 44100, 1, nullptr);

  for (int i = 2; i < 5; ++i) {
    Gathered after;
    EXPECT_EQ(Decode(decoder.get(), &frames[i], 44100, 1, &after), 1) << i;
    EXPECT_EQ(after.samples.size(), kMp3FrameSamples) << i;
  }
}

TEST(AudioDecoderMp3, FlushDrainsAndTheDecoderGoesOn) {
  const std::vector<Bytes> frames = Mp3Frames(kMp3At44100);
  ASSERT_GE(frames.size(), 4u);
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  // Flushing before anything was decoded is harmless.
  EXPECT_EQ(Decode(decoder.get(), nullptr, 44100, 1, nullptr), 1);
  Gathered pcm;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Decode(decoder.get(), &frames[i], 44100, 1, &pcm), 1);
  EXPECT_EQ(Decode(decoder.get(), nullptr, 44100, 1, &pcm), 1);
  EXPECT_EQ(Decode(decoder.get(), nullptr, 44100, 1, &pcm), 1);
  Gathered after;
  EXPECT_EQ(Decode(decoder.get(), &frames[3], 44100, 1, &after), 1);
  EXPECT_EQ(after.samples.size(), kMp3FrameSamples);
}

// ---------------------------------------------------------------------------
// PCM and the codecs configured by the nominal format.

TEST(AudioDecoderPcm, SixteenBitPcmPassesThroughAndFollowsTheNominalFormat) {
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_PCM_S16LE);
  const Bytes bytes = {0x01, 0x02, 0x03, 0x84, 0xFF, 0x7F, 0x00, 0x80};
  std::uint8_t* out = nullptr;
  int size = 0, rate = 22050, channels = 2;
  ASSERT_EQ(ADD_Decode(decoder.get(), bytes.data(), 8, &out, &size, &rate, &channels), 1);
  EXPECT_EQ(Bytes(out, out + size), bytes);
  EXPECT_EQ(rate, 22050);
  EXPECT_EQ(channels, 2);
  // A new nominal format re-configures the codec.
  rate = 5512;
  channels = 1;
  ASSERT_EQ(ADD_Decode(decoder.get(), bytes.data(), 6, &out, &size, &rate, &channels), 1);
  EXPECT_EQ(size, 6);
  EXPECT_EQ(rate, 5512);
  EXPECT_EQ(channels, 1);
  // A payload without one whole sample frame is refused.
  rate = 44100;
  channels = 2;
  EXPECT_EQ(ADD_Decode(decoder.get(), bytes.data(), 3, &out, &size, &rate, &channels), 0);
  EXPECT_EQ(ADD_Decode(decoder.get(), bytes.data(), 4, &out, &size, &rate, &channels), 1);
  EXPECT_EQ(size, 4);
}

TEST(AudioDecoderPcm, NellymoserTakesItsRateFromTheNominalFormat) {
  const kelvra::test::CodedStream raw = ReadAudio(kelvra::test::FixturePath("generated/gen_nellymoser_8000_mono.flv"));
  ASSERT_GT(raw.packets.size(), 2u);
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_NELLYMOSER);
  Gathered at8000, at16000;
  ASSERT_EQ(Decode(decoder.get(), &raw.packets[0], 8000, 1, &at8000), 1);
  ASSERT_EQ(Decode(decoder.get(), &raw.packets[1], 16000, 1, &at16000), 1);
  EXPECT_EQ(at8000.sampleRate, 8000);
  EXPECT_EQ(at16000.sampleRate, 16000);
  EXPECT_EQ(at8000.channels, 1);
  EXPECT_EQ(at8000.samples.size() % 256, 0u);
  EXPECT_GT(at8000.samples.size(), 0u);
}

TEST(AudioDecoderHandle, ReopensForAnotherCodec) {
  const std::vector<Bytes> frames = Mp3Frames(kMp3At44100);
  ASSERT_GE(frames.size(), 3u);
  ASSERT_GE(frames[1].size(), 50u);
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  Gathered mp3;
  ASSERT_EQ(Decode(decoder.get(), &frames[0], 44100, 1, &mp3), 1);
  // Half a frame left inside must not leak into the next codec's output.
  const Bytes half(frames[1].begin(), frames[1].begin() + 50);
  ASSERT_EQ(Decode(decoder.get(), &half, 44100, 1, nullptr), 1);

  EXPECT_EQ(ADD_Close(decoder.get()), 1);
  ASSERT_EQ(ADD_Open(decoder.get(), VEXMAR_CODEC_PCM_S8), 1);
  Gathered pcm;
  const Bytes bytes(10, 0x80);
  ASSERT_EQ(Decode(decoder.get(), &bytes, 22050, 2, &pcm), 1);
  EXPECT_EQ(pcm.samples, std::vector<std::int16_t>(10, 0));
  EXPECT_EQ(pcm.channels, 2);

  // Open without Close switches too.
  ASSERT_EQ(ADD_Open(decoder.get(), VEXMAR_CODEC_MP3), 1);
  Gathered again;
  EXPECT_EQ(Decode(decoder.get(), &frames[2], 44100, 1, &again), 1);
  EXPECT_EQ(again.samples.size(), kMp3FrameSamples);
}

TEST(AudioDecoderHandle, BadCallsAreRefusedWithoutHarm) {
  Vexmar_init();
  std::uint8_t* out = nullptr;
  int size = 0, rate = 44100, channels = 2;
  const std::uint8_t byte = 0;
  EXPECT_EQ(ADD_Open(nullptr, VEXMAR_CODEC_MP3), 0);
  EXPECT_EQ(ADD_Decode(nullptr, &byte, 1, &out, &size, &rate, &channels), 0);
  EXPECT_EQ(ADD_Close(nullptr), 0);
  ADD_Delete(nullptr);

  Decoder decoder(ADD_Create());
  EXPECT_EQ(ADD_Decode(decoder.get(), &byte, 1, &out, &size, &rate, &channels), 0);  // not open
  EXPECT_EQ(ADD_Open(decoder.get(), 12345), 0);
  EXPECT_EQ(ADD_Open(decoder.get(), VEXMAR_CODEC_FLV1), 0);
  ASSERT_EQ(ADD_Open(decoder.get(), VEXMAR_CODEC_PCM_S16LE), 1);
  EXPECT_EQ(ADD_Decode(decoder.get(), nullptr, 5, &out, &size, &rate, &channels), 0);
  EXPECT_EQ(ADD_Decode(decoder.get(), &byte, -1, &out, &size, &rate, &channels), 0);
  EXPECT_EQ(ADD_Decode(decoder.get(), &byte, 1, nullptr, &size, &rate, &channels), 0);
  rate = 0;
  EXPECT_EQ(ADD_Decode(decoder.get(), &byte, 1, &out, &size, &rate, &channels), 0);
  rate = 44100;
  channels = 1000;
  EXPECT_EQ(ADD_Decode(decoder.get(), &byte, 1, &out, &size, &rate, &channels), 0);
  // An empty payload succeeds with nothing.
  channels = 2;
  EXPECT_EQ(ADD_Decode(decoder.get(), &byte, 0, &out, &size, &rate, &channels), 1);
  EXPECT_EQ(size, 0);
}

}  // namespace
