// One FLV audio payload at a time to interleaved signed 16-bit PCM, on
// libavcodec, with libswresample turning the decoders' own sample formats
// (unsigned 8-bit, planar float) into 16-bit.
#ifndef VEXMAR_AUDIO_DECODER_H
#define VEXMAR_AUDIO_DECODER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace vexmar {

class AudioDecoder {
 public:
  AudioDecoder();
  virtual ~AudioDecoder();
  AudioDecoder(const AudioDecoder&) = delete;
  AudioDecoder& operator=(const AudioDecoder&) = delete;

  // Prepares for one of the bridge's audio codec identifiers; an open
  // decoder is closed first. False for an identifier it does not decode.
  bool Open(int codecId);
  // Frees the codec and everything held for it; Open may follow.
  void Close();

  // Decodes one payload (or flushes, for a null input of size 0). On entry
  // *sampleRate and *channels are the payload's nominal format; on success
  // *output points to PCM owned here, valid until the next call, and the
  // rate and channel count are those of that PCM.
  bool Decode(const std::uint8_t* input, int inputSize, std::uint8_t** output, int* outputSize,
              int* sampleRate, int* channels);

 private:
  // Decoded PCM of one format, waiting to be handed out.
  struct PcmBlock {
    int sampleRate = 0;
    int channels = 0;
    std::vector<std::uint8_t> bytes;
  };
  struct ContextDeleter {
    void operator()(AVCodecContext* context) const;
  };
  struct PacketDeleter {
    void operator()(AVPacket* packet) const;
  };
  struct FrameDeleter {
    void operator()(AVFrame* frame) const;
  };
  struct SwrDeleter {
    void operator()(SwrContext* swr) const;
  };

  bool IsMp3() const;
  bool IsAac() const;
  // Opens the codec context, or re-opens it when the nominal format that
  // configures it has changed (MP3 reads its format from its own frames,
  // AAC from its sequence headers).
  bool EnsureContext(int sampleRate, int channels);
  bool OpenContext(int sampleRate, int channels);
  // An AAC payload: a sequence header reconfigures the decoder (what the
  // old configuration still holds is drained first), a raw frame decodes.
  bool DecodeAac(const std::uint8_t* input, std::size_t size, int sampleRate, int channels);
  bool ConfigureAac(const std::uint8_t* config, std::size_t size, int sampleRate, int channels);
  // Sends one packet and collects every frame it gives; false on a decoding
  // error (the context stays usable).
  bool DecodePacket(const std::uint8_t* data, std::size_t size);
  bool ReceiveFrames();
  // Cuts MP3 frames out of the payload, carrying an incomplete frame over
  // to the next payload.
  bool DecodeMp3(const std::uint8_t* input, std::size_t size);
  // Drains the codec and leaves it ready for more input.
  bool Flush();
  bool AppendFrame(const AVFrame* frame, int sampleRate);
  bool ConvertToS16(const AVFrame* frame, int sampleRate, std::uint8_t* destination);
  void AppendPcm(int sampleRate, int channels, const std::uint8_t* data, std::size_t size);
  void TakeOutput(std::uint8_t** output, int* outputSize, int* sampleRate, int* channels);

  int codecId_ = 0;  // 0 while closed
  const AVCodec* codec_ = nullptr;
  std::unique_ptr<AVCodecContext, ContextDeleter> context_;
  int contextSampleRate_ = 0;  // nominal format the context was opened with
  int contextChannels_ = 0;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  std::unique_ptr<AVFrame, FrameDeleter> frame_;

  // Sample-format converter for the frames' format, rebuilt when it changes.
  std::unique_ptr<SwrContext, SwrDeleter> converter_;
  int converterFormat_ = -1;
  int converterChannels_ = 0;
  int converterSampleRate_ = 0;

  // The AudioSpecificConfig the AAC context was opened with, and the raw
  // frames skipped while none had come.
  std::vector<std::uint8_t> aacConfig_;
  int aacFramesWithoutConfig_ = 0;

  std::vector<std::uint8_t> mp3Carry_;  // start of an MP3 frame split across payloads
  std::vector<std::uint8_t> mp3Work_;
  // PCM not yet handed out. Only one format leaves per call, so a format
  // change inside one payload holds the rest back until the next call.
  std::deque<PcmBlock> pending_;
  std::vector<std::uint8_t> output_;
};

}  // namespace vexmar

#endif  // VEXMAR_AUDIO_DECODER_H
