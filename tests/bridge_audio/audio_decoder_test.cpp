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
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "support/flv_files.h"
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

std::string Fixture(const std::string& relative) { return kelvra::test::FixturePath(relative); }

// PCM gathered from many calls, all of one format.
struct Pcm {
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
           Pcm* pcm) {
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

// ---------------------------------------------------------------------------
// FFmpeg's side: the audio packets of a file, and their decoding to s16.

int BridgeCodecFor(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_PCM_S16LE:
      return VEXMAR_CODEC_PCM_S16LE;
    case AV_CODEC_ID_PCM_U8:
      return VEXMAR_CODEC_PCM_S8;
    case AV_CODEC_ID_ADPCM_SWF:
      return VEXMAR_CODEC_ADPCM_SWF;
    case AV_CODEC_ID_MP3:
      return VEXMAR_CODEC_MP3;
    case AV_CODEC_ID_NELLYMOSER:
      return VEXMAR_CODEC_NELLYMOSER;
    default:
      return 0;
  }
}

struct AudioStream {
  AVCodecID codec = AV_CODEC_ID_NONE;
  int sampleRate = 0;
  int channels = 0;
  std::vector<Bytes> packets;
};

struct FormatCloser {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

// The audio packets of `path` as libavformat's FLV demuxer gives them. With
// `raw`, no parser runs, so each packet is one tag's payload after the
// flags byte; without, MP3 is cut into frames as FFmpeg itself does.
AudioStream ReadAudio(const std::string& path, bool raw) {
  Vexmar_init();  // keeps the demuxer quiet too
  AudioStream stream;
  AVFormatContext* format = avformat_alloc_context();
  if (raw) format->flags |= AVFMT_FLAG_NOPARSE;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return stream;
  }
  std::unique_ptr<AVFormatContext, FormatCloser> owner(format);
  if (avformat_find_stream_info(format, nullptr) < 0) return stream;
  const int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) return stream;
  const AVCodecParameters* par = format->streams[index]->codecpar;
  stream.codec = par->codec_id;
  stream.sampleRate = par->sample_rate;
  stream.channels = par->ch_layout.nb_channels;
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == index && packet->size > 0) {
      stream.packets.emplace_back(packet->data, packet->data + packet->size);
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  return stream;
}

// FFmpeg's decoding of the packets, converted to interleaved s16 with
// libswresample at the frames' own rate and layout.
Pcm FfmpegDecode(const AudioStream& stream) {
  Pcm pcm;
  const AVCodec* codec = avcodec_find_decoder(stream.codec);
  if (codec == nullptr) return pcm;
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->sample_rate = stream.sampleRate;
  av_channel_layout_default(&context->ch_layout, stream.channels);
  EXPECT_GE(avcodec_open2(context, codec, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwrContext* swr = nullptr;
  auto drain = [&] {
    while (avcodec_receive_frame(context, frame) >= 0) {
      if (swr == nullptr) {
        swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate,
                            &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                            frame->sample_rate, 0, nullptr);
        swr_init(swr);
      }
      std::vector<std::uint8_t> s16(static_cast<std::size_t>(frame->nb_samples) *
                                    frame->ch_layout.nb_channels * 2);
      std::uint8_t* planes[1] = {s16.data()};
      const int n = swr_convert(swr, planes, frame->nb_samples,
                                const_cast<const std::uint8_t**>(frame->extended_data),
                                frame->nb_samples);
      pcm.Append(s16.data(), n * frame->ch_layout.nb_channels * 2, frame->sample_rate,
                 frame->ch_layout.nb_channels);
      av_frame_unref(frame);
    }
  };
  for (const Bytes& bytes : stream.packets) {
    av_new_packet(packet, static_cast<int>(bytes.size()));
    std::memcpy(packet->data, bytes.data(), bytes.size());
    avcodec_send_packet(context, packet);
    av_packet_unref(packet);
    drain();
  }
  avcodec_send_packet(context, nullptr);
  drain();
  swr_free(&swr);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return pcm;
}

// The bridge's decoding of the same audio, one raw tag payload per call,
// then a flush.
Pcm BridgeDecode(const AudioStream& raw, int* failures) {
  Pcm pcm;
  *failures = 0;
  Decoder decoder = OpenDecoder(BridgeCodecFor(raw.codec));
  for (const Bytes& payload : raw.packets) {
    if (Decode(decoder.get(), &payload, raw.sampleRate, raw.channels, &pcm) == 0) ++*failures;
  }
  EXPECT_EQ(Decode(decoder.get(), nullptr, raw.sampleRate, raw.channels, &pcm), 1);
  return pcm;
}

void ExpectSamePcm(const Pcm& bridge, const Pcm& reference, int tolerance) {
  ASSERT_FALSE(reference.samples.empty());
  EXPECT_EQ(bridge.sampleRate, reference.sampleRate);
  EXPECT_EQ(bridge.channels, reference.channels);
  ASSERT_EQ(bridge.samples.size(), reference.samples.size());
  int worst = 0;
  std::size_t worstAt = 0;
  for (std::size_t i = 0; i < bridge.samples.size(); ++i) {
    const int difference = std::abs(bridge.samples[i] - reference.samples[i]);
    if (difference > worst) {
      worst = difference;
      worstAt = i;
    }
  }
  EXPECT_LE(worst, tolerance) << "at sample " << worstAt;
}

struct FileCase {
  const char* file;
  AVCodecID codec;
  int tolerance;  // bit-exact for PCM and ADPCM
};

class SameAsFfmpeg : public ::testing::TestWithParam<FileCase> {};

TEST_P(SameAsFfmpeg, EveryTagDecodesToFfmpegsPcm) {
  Vexmar_init();
  const FileCase& c = GetParam();
  const std::string path = Fixture(c.file);
  const AudioStream raw = ReadAudio(path, true);
  ASSERT_EQ(raw.codec, c.codec);
  ASSERT_FALSE(raw.packets.empty());
  int failures = 0;
  const Pcm bridge = BridgeDecode(raw, &failures);
  EXPECT_EQ(failures, 0);
  EXPECT_FALSE(bridge.formatChanged);
  ExpectSamePcm(bridge, FfmpegDecode(ReadAudio(path, false)), c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, SameAsFfmpeg,
    ::testing::Values(FileCase{"generated/gen_adpcm_swf_22050_mono.flv", AV_CODEC_ID_ADPCM_SWF, 0},
                      FileCase{"generated/gen_adpcm_swf_44100_stereo.flv", AV_CODEC_ID_ADPCM_SWF, 0},
                      FileCase{"generated/gen_pcm_u8_11025_mono.flv", AV_CODEC_ID_PCM_U8, 0},
                      FileCase{"generated/gen_pcm_s16le_44100_stereo.flv", AV_CODEC_ID_PCM_S16LE, 0},
                      FileCase{"generated/gen_pcm_s16be_22050_mono.flv", AV_CODEC_ID_PCM_S16LE, 0},
                      FileCase{"generated/gen_nellymoser_8000_mono.flv", AV_CODEC_ID_NELLYMOSER, 1},
                      FileCase{"generated/gen_nellymoser_16000_mono.flv", AV_CODEC_ID_NELLYMOSER, 1},
                      FileCase{"generated/gen_nellymoser_22050_mono.flv", AV_CODEC_ID_NELLYMOSER, 1},
                      FileCase{"real/mondain_red5_fp_fcs_live_audio.flv", AV_CODEC_ID_NELLYMOSER, 1},
                      FileCase{"real/ruffle-rs_ruffle_square.flv", AV_CODEC_ID_MP3, 1},
                      FileCase{"real/apache_flex-sdk_phone.flv", AV_CODEC_ID_MP3, 1},
                      FileCase{"real/Red5_red5-server_NAPNAP.flv", AV_CODEC_ID_MP3, 1}),
    [](const ::testing::TestParamInfo<FileCase>& info) {
      std::string name = std::filesystem::path(info.param.file).stem().string();
      std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
      return name;
    });

// ---------------------------------------------------------------------------
// MP3 payloads cut anywhere.

Bytes ConcatenatedMp3(const char* file, std::vector<Bytes>* frames = nullptr) {
  const AudioStream raw = ReadAudio(Fixture(file), true);
  Bytes all;
  for (const Bytes& p : raw.packets) all.insert(all.end(), p.begin(), p.end());
  if (frames) *frames = ReadAudio(Fixture(file), false).packets;
  return all;
}

TEST(AudioDecoderMp3, FramesSplitAcrossPayloadsAndSeveralPerPayloadDecodeTheSame) {
  Vexmar_init();
  const char* file = "real/ruffle-rs_ruffle_square.flv";
  const AudioStream reference = ReadAudio(Fixture(file), false);
  const Pcm expected = FfmpegDecode(reference);
  const Bytes all = ConcatenatedMp3(file);
  ASSERT_FALSE(all.empty());

  for (const std::size_t maxPiece : {std::size_t{1}, std::size_t{97}, std::size_t{5000}}) {
    SCOPED_TRACE(maxPiece);
    std::mt19937 rng(static_cast<unsigned>(maxPiece));
    Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
    Pcm pcm;
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
  std::vector<Bytes> at44100, at22050;
  ConcatenatedMp3("real/ruffle-rs_ruffle_square.flv", &at44100);  // 44100 Hz mono
  ConcatenatedMp3("real/apache_flex-sdk_phone.flv", &at22050);    // 22050 Hz mono
  ASSERT_GT(at44100.size(), 2u);
  ASSERT_GT(at22050.size(), 2u);
  Bytes mixed = at44100[0];
  mixed.insert(mixed.end(), at44100[1].begin(), at44100[1].end());
  mixed.insert(mixed.end(), at22050[0].begin(), at22050[0].end());

  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  Pcm first, second;
  ASSERT_EQ(Decode(decoder.get(), &mixed, 44100, 1, &first), 1);
  EXPECT_EQ(first.sampleRate, 44100);
  EXPECT_EQ(first.samples.size(), 2u * 1152);
  // The 22050 Hz frame waits for the next call, here a flush.
  ASSERT_EQ(Decode(decoder.get(), nullptr, 44100, 1, &second), 1);
  EXPECT_EQ(second.sampleRate, 22050);
  EXPECT_EQ(second.samples.size(), 576u);
}

TEST(AudioDecoderMp3, CorruptPayloadFailsAndTheNextGoodOneDecodes) {
  std::vector<Bytes> frames;
  ConcatenatedMp3("real/ruffle-rs_ruffle_square.flv", &frames);
  ASSERT_GT(frames.size(), 5u);
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  Pcm pcm;
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
    Pcm after;
    EXPECT_EQ(Decode(decoder.get(), &frames[i], 44100, 1, &after), 1) << i;
    EXPECT_EQ(after.samples.size(), 1152u) << i;
  }
}

TEST(AudioDecoderMp3, FlushDrainsAndTheDecoderGoesOn) {
  std::vector<Bytes> frames;
  ConcatenatedMp3("real/ruffle-rs_ruffle_square.flv", &frames);
  ASSERT_GE(frames.size(), 4u);
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  // Flushing before anything was decoded is harmless.
  EXPECT_EQ(Decode(decoder.get(), nullptr, 44100, 1, nullptr), 1);
  Pcm pcm;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Decode(decoder.get(), &frames[i], 44100, 1, &pcm), 1);
  EXPECT_EQ(Decode(decoder.get(), nullptr, 44100, 1, &pcm), 1);
  EXPECT_EQ(Decode(decoder.get(), nullptr, 44100, 1, &pcm), 1);
  Pcm after;
  EXPECT_EQ(Decode(decoder.get(), &frames[3], 44100, 1, &after), 1);
  EXPECT_EQ(after.samples.size(), 1152u);
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
  const AudioStream raw = ReadAudio(Fixture("generated/gen_nellymoser_8000_mono.flv"), true);
  ASSERT_GT(raw.packets.size(), 2u);
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_NELLYMOSER);
  Pcm at8000, at16000;
  ASSERT_EQ(Decode(decoder.get(), &raw.packets[0], 8000, 1, &at8000), 1);
  ASSERT_EQ(Decode(decoder.get(), &raw.packets[1], 16000, 1, &at16000), 1);
  EXPECT_EQ(at8000.sampleRate, 8000);
  EXPECT_EQ(at16000.sampleRate, 16000);
  EXPECT_EQ(at8000.channels, 1);
  EXPECT_EQ(at8000.samples.size() % 256, 0u);
  EXPECT_GT(at8000.samples.size(), 0u);
}

TEST(AudioDecoderHandle, ReopensForAnotherCodec) {
  std::vector<Bytes> frames;
  ConcatenatedMp3("real/ruffle-rs_ruffle_square.flv", &frames);
  ASSERT_GE(frames.size(), 3u);
  ASSERT_GE(frames[1].size(), 50u);
  Decoder decoder = OpenDecoder(VEXMAR_CODEC_MP3);
  Pcm mp3;
  ASSERT_EQ(Decode(decoder.get(), &frames[0], 44100, 1, &mp3), 1);
  // Half a frame left inside must not leak into the next codec's output.
  const Bytes half(frames[1].begin(), frames[1].begin() + 50);
  ASSERT_EQ(Decode(decoder.get(), &half, 44100, 1, nullptr), 1);

  EXPECT_EQ(ADD_Close(decoder.get()), 1);
  ASSERT_EQ(ADD_Open(decoder.get(), VEXMAR_CODEC_PCM_S8), 1);
  Pcm pcm;
  const Bytes bytes(10, 0x80);
  ASSERT_EQ(Decode(decoder.get(), &bytes, 22050, 2, &pcm), 1);
  EXPECT_EQ(pcm.samples, std::vector<std::int16_t>(10, 0));
  EXPECT_EQ(pcm.channels, 2);

  // Open without Close switches too.
  ASSERT_EQ(ADD_Open(decoder.get(), VEXMAR_CODEC_MP3), 1);
  Pcm again;
  EXPECT_EQ(Decode(decoder.get(), &frames[2], 44100, 1, &again), 1);
  EXPECT_EQ(again.samples.size(), 1152u);
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
