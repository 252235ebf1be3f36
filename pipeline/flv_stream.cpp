#include "pipeline/flv_stream.h"

#include <new>
#include <utility>

#include "flv/flv_tag_parsing.h"

namespace kelvra {

FLVStream* FLVStream::Create() {
  try {
    return new FLVStream(std::make_unique<FLVStreamParser>(), std::make_unique<FLVVideoDecoder>(),
                         std::make_unique<FLVAudioDecoder>());
  } catch (...) {
    return nullptr;
  }
}

FLVStream::FLVStream(std::unique_ptr<FLVStreamParser> parser,
                     std::unique_ptr<FLVVideoDecoder> videoDecoder,
                     std::unique_ptr<FLVAudioDecoder> audioDecoder)
    : parser_(std::move(parser)),
      videoDecoder_(std::move(videoDecoder)),
      audioDecoder_(std::move(audioDecoder)) {}

FLVStream::~FLVStream() {
  // Destroying a decoder under its running worker would free what the worker
  // still uses, so a running stream is stopped (queues drained, threads
  // ended) before anything is destroyed.
  if (!stopped_) Stop();
}

bool FLVStream::InfoAnnounced() { return parser_->HasCalledFLVInfoCallBack() != 0; }

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
  return videoDecoder_->SetCropRect(&cropRect_);
}

int FLVStream::SetResizeMode(int mode) {
  resizeMode_ = mode;
  return videoDecoder_->SetResizeMode(mode);
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
  parser_->SetMaxFLVTagQueue(static_cast<std::uint32_t>(parserMaxFLVTagQueue_));
  parser_->SetMaxInterleavedTime(
                                        static_cast<std::uint32_t>(parserMaxInterleavedTime_));
  parser_->SetFLVInfoCallBack(&FLVStream::OnParserInfo, this);
  parser_->SetFLVAudioCallBack(&FLVStream::OnParserAudioTag, this);
  parser_->SetFLVVideoCallBack(&FLVStream::OnParserVideoTag, this);
  parser_->Run();
  stopped_ = 0;
  return 1;
}

int FLVStream::DeliverData(const std::uint8_t* data, int length) {
  if (stopped_) return FLV_STREAM_STOPPED;
  return parser_->DeliverData(data, length);
}

int FLVStream::Flush() { return parser_->Flush(); }

int FLVStream::Stop() {
  if (stopped_) return 0;
  parser_->Stop();
  audioDecoder_->Stop();
  videoDecoder_->Stop();
  stopped_ = 1;
  return 1;
}

void FLVStream::Abandon() {
  audioDecoder_->Abandon();
  videoDecoder_->Abandon();
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
  FLVStreamDecoder* decoder = nullptr;
  if (tag->tagType == FLV_TAG_TYPE_AUDIO) {
    decoder = audioDecoder_.get();
  } else if (tag->tagType == FLV_TAG_TYPE_VIDEO) {
    decoder = videoDecoder_.get();
  } else {
    return FLV_STREAM_NOT_AUDIO_VIDEO;
  }
  return Deliver(decoder, tag) != 0 ? FLV_STREAM_TAKEN : FLV_STREAM_BUSY;
}

int FLVStream::StopEx() {
  if (stopped_) return 0;
  audioDecoder_->Stop();
  videoDecoder_->Stop();
  stopped_ = 1;
  return 1;
}

std::uint32_t FLVStream::GetTimeStamp() { return parser_->GetTimeStamp(); }

int FLVStream::GetParsedPacketsCount(int* audioCount, int* videoCount) {
  return parser_->GetParsedPacketsCount(audioCount, videoCount);
}

int FLVStream::HasCalledFLVInfoCallBack() {
  return parser_->HasCalledFLVInfoCallBack();
}

void FLVStream::StartDecoders(FLVInfo* info, int* decodeVideo, int* decodeAudio) {
  if (infoCallBack_ != nullptr) infoCallBack_(infoUserData_, info, decodeVideo, decodeAudio);
  decodeAudio_ = *decodeAudio;
  decodeVideo_ = *decodeVideo;
  if (decodeAudio_) StartAudioDecoder(*info);
  if (decodeVideo_) StartVideoDecoder(*info);
}

void FLVStream::StartAudioDecoder(const FLVInfo& info) {
  audioDecoder_->SetOutputCallBack(getAudioCallBack_, getAudioUserData_);
  audioDecoder_->SetDeleteFLVTagCallBack(&FLVStream::DeleteTag, this);
  audioDecoder_->SetMaxFLVTagQueue(audioDecoderMaxFLVTagQueue_);
  if (decodeVideo_) {
    audioDecoder_->SetBrother(videoDecoder_.get());
    audioDecoder_->SetMaxIntervalTime(decoderMaxIntervalTime_);
  } else {
    // A brother left from an earlier run that decoded video would make the
    // worker wait for a decoder that never runs.
    audioDecoder_->SetBrother(nullptr);
  }
  audioDecoder_->SetSampleRate(sampleRate_ != 0 ? sampleRate_ : info.sampleRate);
  audioDecoder_->SetNumberOfChannels(channels_ != 0 ? channels_ : info.channels);
  audioDecoder_->Run();
}

void FLVStream::StartVideoDecoder(const FLVInfo& info) {
  videoDecoder_->SetOutputCallBack(getVideoCallBack_, getVideoUserData_);
  videoDecoder_->SetDeleteFLVTagCallBack(&FLVStream::DeleteTag, this);
  videoDecoder_->SetMaxFLVTagQueue(videoDecoderMaxFLVTagQueue_);
  if (decodeAudio_) {
    videoDecoder_->SetBrother(audioDecoder_.get());
    videoDecoder_->SetMaxIntervalTime(decoderMaxIntervalTime_);
  } else {
    videoDecoder_->SetBrother(nullptr);
  }
  if (outputWidth_ != 0 && outputHeight_ != 0) {
    videoDecoder_->SetOutputSize(outputWidth_, outputHeight_);
  } else {
    videoDecoder_->SetOutputSize(info.width, info.height);
  }
  videoDecoder_->SetOutputFPS(outputFPS_ != 0.0 ? outputFPS_ : info.frameRate);
  videoDecoder_->SetCropRect(&cropRect_);
  videoDecoder_->SetResizeMode(resizeMode_);
  videoDecoder_->SetDecodeAlphaChannel(decodeAlphaChannel_);
  videoDecoder_->Run();
}

void FLVStream::OnParserInfo(void* self, FLVInfo* info, int* decodeVideo, int* decodeAudio) {
  static_cast<FLVStream*>(self)->StartDecoders(info, decodeVideo, decodeAudio);
}

int FLVStream::OnParserAudioTag(void* self, FLVTag* tag) {
  return Deliver(static_cast<FLVStream*>(self)->audioDecoder_.get(), tag);
}

int FLVStream::OnParserVideoTag(void* self, FLVTag* tag) {
  return Deliver(static_cast<FLVStream*>(self)->videoDecoder_.get(), tag);
}

int FLVStream::Deliver(FLVStreamDecoder* decoder, FLVTag* tag) {
  // A queue that cannot grow answers as a full one: the tag stays the
  // caller's and may be offered again.
  try {
    return decoder->DeliverFLVPacket(tag);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void FLVStream::DeleteTag(void* /*self*/, FLVTag* tag) { DeleteFLVTag(tag); }

}  // namespace kelvra
