// FLVStream joins one stream parser and two decoders (audio and video) into
// one pipeline. It is fed either raw FLV bytes (Run / DeliverData / Flush /
// Stop: the parser splits them into tags and announces the FLVInfo) or ready
// tags (RunEx / DeliverDataEx / StopEx: the parser is bypassed). Decoded
// output reaches the caller through the get-audio and get-video callbacks on
// the decoders' own threads.
//
// The stream owns its parser and decoders. It adds no locks: it is driven
// from one thread, and the decoders' queues carry their own locking.
#ifndef KELVRA_PIPELINE_FLV_STREAM_H
#define KELVRA_PIPELINE_FLV_STREAM_H

#include <cstdint>
#include <memory>

#include "decoder/flv_audio_decoder.h"
#include "decoder/flv_video_decoder.h"
#include "flv/flv_stream_parser.h"
#include "kelvra.h"

namespace kelvra {

class FLVStream {
 public:
  // Null when the stream or any of its three parts cannot be made.
  static FLVStream* Create();
  // Stops a running stream first, so no decoder thread outlives it; then
  // destroys the parser, the video decoder and the audio decoder.
  virtual ~FLVStream();

  FLVStream(const FLVStream&) = delete;
  FLVStream& operator=(const FLVStream&) = delete;

  // Until the parser has announced the information: 1 stored, 0 too late.
  int SetOutputSize(int width, int height);
  int SetOutputFPS(double fps);
  int SetDecodeAlphaChannel(int flag);
  int SetSampleRate(int sampleRate);
  int SetNumberOfChannels(int channels);

  // Forwarded to the video decoder at once, in any state.
  int SetCropRect(const FLVRect& rect);
  int SetResizeMode(int mode);

  // Stopped only: 1 stored, 0 while running.
  int SetParserMaxFLVTagQueue(int count);
  int SetParserMaxInterleavedTime(int seconds);
  int SetAudioDecoderMaxFLVTagQueue(int count);
  int SetVideoDecoderMaxFLVTagQueue(int count);
  int SetDecoderMaxIntervalTime(int milliseconds);
  int SetFLVInfoCallBack(FLVInfoCallBack callBack, void* userData);
  int SetGetVideoCallBack(FLVStreamDecoderOutputCallBack callBack, void* userData);
  int SetGetAudioCallBack(FLVStreamDecoderOutputCallBack callBack, void* userData);

  int Run();
  int DeliverData(const std::uint8_t* data, int length);
  int Flush();
  int Stop();

  // Drops the output still owed (see FLVStreamDecoder::Abandon): a Stop
  // under way, or the next one, returns at once. Safe from any thread while
  // the stream lives, also while another thread is inside Stop.
  void Abandon();

  int RunEx(const FLVInfo* info, int decodeVideo, int decodeAudio);
  int DeliverDataEx(FLVTag* tag);
  int StopEx();

  std::uint32_t GetTimeStamp();
  int GetParsedPacketsCount(int* audioCount, int* videoCount);
  int HasCalledFLVInfoCallBack();

 private:
  FLVStream(std::unique_ptr<FLVStreamParser> parser, std::unique_ptr<FLVVideoDecoder> videoDecoder,
            std::unique_ptr<FLVAudioDecoder> audioDecoder);

  bool InfoAnnounced();
  // Configuration that only a stopped stream accepts: 1 stored, 0 running.
  template <typename Store>
  int StoreWhileStopped(Store store) {
    if (!stopped_) return 0;
    store();
    return 1;
  }
  // Calls the information callback, then configures and starts the decoders
  // the two flags ask for; the parser's information handler and RunEx's body.
  void StartDecoders(FLVInfo* info, int* decodeVideo, int* decodeAudio);
  void StartAudioDecoder(const FLVInfo& info);
  void StartVideoDecoder(const FLVInfo& info);

  static void OnParserInfo(void* self, FLVInfo* info, int* decodeVideo, int* decodeAudio);
  static int OnParserAudioTag(void* self, FLVTag* tag);
  static int OnParserVideoTag(void* self, FLVTag* tag);
  // 1 taken, 0 not (full queue, or not running).
  static int Deliver(FLVStreamDecoder* decoder, FLVTag* tag);
  // The decoders hand every tag they are done with to this deleter. It only
  // frees memory, so it is safe on a decoder thread while the caller's thread
  // is inside the parser.
  static void DeleteTag(void* self, FLVTag* tag);

  // Destroyed in reverse order after the destructor's Stop: the decoders
  // hand tags back to the parser's deleter while they run, never after.
  std::unique_ptr<FLVStreamParser> parser_;
  std::unique_ptr<FLVVideoDecoder> videoDecoder_;
  std::unique_ptr<FLVAudioDecoder> audioDecoder_;

  int decodeAudio_ = 1;
  int decodeVideo_ = 1;
  int outputWidth_ = 0;  // 0: take width and height from the FLVInfo
  int outputHeight_ = 0;
  FLVRect cropRect_{-1, -1, -1, -1};
  int resizeMode_ = 0;
  double outputFPS_ = 0.0;  // 0.0: take the frame rate from the FLVInfo
  int decodeAlphaChannel_ = 1;
  int sampleRate_ = 0;  // 0: take it from the FLVInfo
  int channels_ = 0;    // 0: take it from the FLVInfo
  FLVStreamDecoderOutputCallBack getVideoCallBack_ = nullptr;
  void* getVideoUserData_ = nullptr;
  FLVStreamDecoderOutputCallBack getAudioCallBack_ = nullptr;
  void* getAudioUserData_ = nullptr;
  FLVInfoCallBack infoCallBack_ = nullptr;
  void* infoUserData_ = nullptr;
  int stopped_ = 1;
  int parserMaxFLVTagQueue_ = 1000;
  int parserMaxInterleavedTime_ = 300;  // seconds
  int audioDecoderMaxFLVTagQueue_ = 1000;
  int videoDecoderMaxFLVTagQueue_ = 1000;
  int decoderMaxIntervalTime_ = 500;  // milliseconds
};

}  // namespace kelvra

#endif  // KELVRA_PIPELINE_FLV_STREAM_H
