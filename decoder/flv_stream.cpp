#include "decoder/flv_stream.h"

#include <new>

namespace kelvra {

FLVStream* FLVStream::Create() {
  ::FLVStreamParser* parser = FLVStreamParser_Create();
  ::FLVStreamDecoder* video = FLVStreamDecoder_Create(1);
  ::FLVStreamDecoder* audio = FLVStreamDecoder_Create(0);
  FLVStream* stream = nullptr;
  if (parser != nullptr && video != nullptr && audio != nullptr) {
    stream = new (std::nothrow) FLVStream(parser, video, audio);
  }
  if (stream == nullptr) {
    FLVStreamParser_Delete(parser);
    FLVStreamDecoder_Delete(video);
    FLVStreamDecoder_Delete(audio);
  }
  return stream;
}

FLVStream::FLVStream(::FLVStreamParser* parser, ::FLVStreamDecoder* videoDecoder,
                     ::FLVStreamDecoder* audioDecoder)
    : parser_(parser), videoDecoder_(videoDecoder), audioDecoder_(audioDecoder) {}

FLVStream::~FLVStream() {
  // Destroying a decoder under its running worker would free what the worker
  // still uses, so a running stream is stopped (queues drained, threads
  // ended) before anything is destroyed.
  if (!stopped_) Stop();
  FLVStreamParser_Delete(parser_);
  FLVStreamDecoder_Delete(videoDecoder_);
  FLVStreamDecoder_Delete(audioDecoder_);
}

bool FLVStream::InfoAnnounced() { return FLVStreamParser_HasCalledFLVInfoCallBack(parser_) != 0; }

int FLVStream::SetOutputSize(int width, int height) {
  if (InfoAnnounced()) return 0;
  outputWidth_ = width;
  outputHeight_ = height;
  return 1;
}

int FLVStream::SetOutputFPS(double fps) {
  if (InfoAnnounced()) return 0;
  outputFPS_ = fps;
  return 1;
}

int FLVStream::SetDecodeAlphaChannel(int flag) {
  if (InfoAnnounced()) return 0;
  decodeAlphaChannel_ = flag;
  return 1;
}

int FLVStream::SetSampleRate(int sampleRate) {
  if (InfoAnnounced()) return 0;
  sampleRate_ = sampleRate;
  return 1;
}

int FLVStream::SetNumberOfChannels(int channels) {
  if (InfoAnnounced()) return 0;
  channels_ = channels;
  return 1;
}

int FLVStream::SetCropRect(const FLVRect& rect) {
  cropRect_ = rect;
  return FLVStreamDecoder_SetCropRect(videoDecoder_, &cropRect_);
}

int FLVStream::SetResizeMode(int mode) {
  resizeMode_ = mode;
  return FLVStreamDecoder_SetResizeMode(videoDecoder_, mode);
}

int FLVStream::SetParserMaxFLVTagQueue(int count) {
  return StoreWhileStopped([&] { parserMaxFLVTagQueue_ = count; });
}
int FLVStream::SetParserMaxInterleavedTime(int seconds) {
  return StoreWhileStopped([&] { parserMaxInterleavedTime_ = seconds; });
}
int FLVStream::SetAudioDecoderMaxFLVTagQueue(int count) {
  return StoreWhileStopped([&] { audioDecoderMaxFLVTagQueue_ = count; });
}
int FLVStream::SetVideoDecoderMaxFLVTagQueue(int count) {
  return StoreWhileStopped([&] { videoDecoderMaxFLVTagQueue_ = count; });
}
int FLVStream::SetDecoderMaxIntervalTime(int milliseconds) {
  return StoreWhileStopped([&] { decoderMaxIntervalTime_ = milliseconds; });
}
int FLVStream::SetFLVInfoCallBack(FLVInfoCallBack callBack, void* userData) {
  return StoreWhileStopped([&] {
    infoCallBack_ = callBack;
    infoUserData_ = userData;
  });
}
int FLVStream::SetGetVideoCallBack(FLVStreamDecoderOutputCallBack callBack, void* userData) {
  return StoreWhileStopped([&] {
    getVideoCallBack_ = callBack;
    getVideoUserData_ = userData;
  });
}
int FLVStream::SetGetAudioCallBack(FLVStreamDecoderOutputCallBack callBack, void* userData) {
  return StoreWhileStopped([&] {
    getAudioCallBack_ = callBack;
    getAudioUserData_ = userData;
  });
}

int FLVStream::Run() {
  if (!stopped_) return 0;
  FLVStreamParser_SetMaxFLVTagQueue(parser_, static_cast<std::uint32_t>(parserMaxFLVTagQueue_));
  FLVStreamParser_SetMaxInterleavedTime(parser_,
                                        static_cast<std::uint32_t>(parserMaxInterleavedTime_));
  FLVStreamParser_SetFLVInfoCallBack(parser_, &FLVStream::OnParserInfo, this);
  FLVStreamParser_SetFLVAudioCallBack(parser_, &FLVStream::OnParserAudioTag, this);
  FLVStreamParser_SetFLVVideoCallBack(parser_, &FLVStream::OnParserVideoTag, this);
  FLVStreamParser_Run(parser_);
  stopped_ = 0;
  return 1;
}

int FLVStream::DeliverData(const std::uint8_t* data, int length) {
  if (stopped_) return FLV_STREAM_STOPPED;
  return FLVStreamParser_DeliverData(parser_, data, length);
}

int FLVStream::Flush() { return FLVStreamParser_Flush(parser_); }

int FLVStream::Stop() {
  if (stopped_) return 0;
  FLVStreamParser_Stop(parser_);
  FLVStreamDecoder_Stop(audioDecoder_);
  FLVStreamDecoder_Stop(videoDecoder_);
  stopped_ = 1;
  return 1;
}

int FLVStream::RunEx(const FLVInfo* info, int decodeVideo, int decodeAudio) {
  if (!stopped_) return 0;
  FLVInfo record{};
  if (info != nullptr) record = *info;
  StartDecoders(&record, &decodeVideo, &decodeAudio);
  stopped_ = 0;
  return 1;
}

int FLVStream::DeliverDataEx(FLVTag* tag) {
  if (stopped_) return FLV_STREAM_STOPPED;
  if (tag == nullptr) return FLV_STREAM_NOT_AUDIO_VIDEO;
  ::FLVStreamDecoder* decoder = nullptr;
  if (tag->tagType == FLV_TAG_TYPE_AUDIO) {
    decoder = audioDecoder_;
  } else if (tag->tagType == FLV_TAG_TYPE_VIDEO) {
    decoder = videoDecoder_;
  } else {
    return FLV_STREAM_NOT_AUDIO_VIDEO;
  }
  return FLVStreamDecoder_DeliverFLVPacket(decoder, tag) != 0 ? FLV_STREAM_TAKEN : FLV_STREAM_BUSY;
}

int FLVStream::StopEx() {
  if (stopped_) return 0;
  FLVStreamDecoder_Stop(audioDecoder_);
  FLVStreamDecoder_Stop(videoDecoder_);
  stopped_ = 1;
  return 1;
}

std::uint32_t FLVStream::GetTimeStamp() { return FLVStreamParser_GetTimeStamp(parser_); }

int FLVStream::GetParsedPacketsCount(int* audioCount, int* videoCount) {
  return FLVStreamParser_GetParsedPacketsCount(parser_, audioCount, videoCount);
}

int FLVStream::HasCalledFLVInfoCallBack() {
  return FLVStreamParser_HasCalledFLVInfoCallBack(parser_);
}

void FLVStream::StartDecoders(FLVInfo* info, int* decodeVideo, int* decodeAudio) {
  if (infoCallBack_ != nullptr) infoCallBack_(infoUserData_, info, decodeVideo, decodeAudio);
  decodeAudio_ = *decodeAudio;
  decodeVideo_ = *decodeVideo;
  if (decodeAudio_) StartAudioDecoder(*info);
  if (decodeVideo_) StartVideoDecoder(*info);
}

void FLVStream::StartAudioDecoder(const FLVInfo& info) {
  FLVStreamDecoder_SetOutputCallBack(audioDecoder_, getAudioCallBack_, getAudioUserData_);
  FLVStreamDecoder_SetDeleteFLVTagCallBack(audioDecoder_, &FLVStream::DeleteTag, this);
  FLVStreamDecoder_SetMaxFLVTagQueue(audioDecoder_, audioDecoderMaxFLVTagQueue_);
  if (decodeVideo_) {
    FLVStreamDecoder_SetBrother(audioDecoder_, videoDecoder_);
    FLVStreamDecoder_SetMaxIntervalTime(audioDecoder_, decoderMaxIntervalTime_);
  } else {
    // A brother left from an earlier run that decoded video would make the
    // worker wait for a decoder that never runs.
    FLVStreamDecoder_SetBrother(audioDecoder_, nullptr);
  }
  FLVStreamDecoder_SetSampleRate(audioDecoder_, sampleRate_ != 0 ? sampleRate_ : info.sampleRate);
  FLVStreamDecoder_SetNumberOfChannels(audioDecoder_, channels_ != 0 ? channels_ : info.channels);
  FLVStreamDecoder_Run(audioDecoder_);
}

void FLVStream::StartVideoDecoder(const FLVInfo& info) {
  FLVStreamDecoder_SetOutputCallBack(videoDecoder_, getVideoCallBack_, getVideoUserData_);
  FLVStreamDecoder_SetDeleteFLVTagCallBack(videoDecoder_, &FLVStream::DeleteTag, this);
  FLVStreamDecoder_SetMaxFLVTagQueue(videoDecoder_, videoDecoderMaxFLVTagQueue_);
  if (decodeAudio_) {
    FLVStreamDecoder_SetBrother(videoDecoder_, audioDecoder_);
    FLVStreamDecoder_SetMaxIntervalTime(videoDecoder_, decoderMaxIntervalTime_);
  } else {
    FLVStreamDecoder_SetBrother(videoDecoder_, nullptr);
  }
  if (outputWidth_ != 0 && outputHeight_ != 0) {
    FLVStreamDecoder_SetOutputSize(videoDecoder_, outputWidth_, outputHeight_);
  } else {
    FLVStreamDecoder_SetOutputSize(videoDecoder_, info.width, info.height);
  }
  FLVStreamDecoder_SetOutputFPS(videoDecoder_, outputFPS_ != 0.0 ? outputFPS_ : info.frameRate);
  FLVStreamDecoder_SetCropRect(videoDecoder_, &cropRect_);
  FLVStreamDecoder_SetResizeMode(videoDecoder_, resizeMode_);
  FLVStreamDecoder_SetDecodeAlphaChannel(videoDecoder_, decodeAlphaChannel_);
  FLVStreamDecoder_Run(videoDecoder_);
}

void FLVStream::OnParserInfo(void* self, FLVInfo* info, int* decodeVideo, int* decodeAudio) {
  static_cast<FLVStream*>(self)->StartDecoders(info, decodeVideo, decodeAudio);
}

int FLVStream::OnParserAudioTag(void* self, FLVTag* tag) {
  return FLVStreamDecoder_DeliverFLVPacket(static_cast<FLVStream*>(self)->audioDecoder_, tag);
}

int FLVStream::OnParserVideoTag(void* self, FLVTag* tag) {
  return FLVStreamDecoder_DeliverFLVPacket(static_cast<FLVStream*>(self)->videoDecoder_, tag);
}

void FLVStream::DeleteTag(void* self, FLVTag* tag) {
  FLVStreamParser_DeleteFLVTag(static_cast<FLVStream*>(self)->parser_, tag);
}

}  // namespace kelvra
