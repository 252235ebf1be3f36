#include "decoder/flv_audio_decoder.h"

#include <new>

#include "flv/flv_tag_constants.h"
#include "flv/flv_tag_parsing.h"
#include "shared/units_100ns.h"

namespace kelvra {

namespace {

// More channels than this are refused: the bridge resampler mixes at most
// this many, and silence blocks must hold whole sample frames.
constexpr int kMaxChannels = 8;

}  // namespace

int AudioCodecIdFor(int soundFormat, int soundSize) {
  switch (soundFormat) {
    case kSoundFormatLinearPcm:
    case kSoundFormatLinearPcmLittleEndian:
      return soundSize == 1 ? VEXMAR_CODEC_PCM_S16LE : VEXMAR_CODEC_PCM_S8;
    case kSoundFormatAdpcm:
      return VEXMAR_CODEC_ADPCM_SWF;
    case kSoundFormatMp3:
    case kSoundFormatMp38k:
      return VEXMAR_CODEC_MP3;
    case kSoundFormatNellymoser16k:
    case kSoundFormatNellymoser8k:
    case kSoundFormatNellymoser:
      return VEXMAR_CODEC_NELLYMOSER;
    case kSoundFormatG711ALaw:
      return VEXMAR_CODEC_PCM_ALAW;
    case kSoundFormatG711MuLaw:
      return VEXMAR_CODEC_PCM_MULAW;
    case kSoundFormatAac:
      return VEXMAR_CODEC_AAC;
    case kSoundFormatSpeex:
      return VEXMAR_CODEC_SPEEX;
    default:
      return -1;
  }
}

FLVAudioDecoder::FLVAudioDecoder() = default;

FLVAudioDecoder::~FLVAudioDecoder() {
  ShutDownWorker();
  CloseBridge();
}

void FLVAudioDecoder::CloseBridge() {
  if (audioDecoderHandle != nullptr) {
    ADD_Close(audioDecoderHandle);
    ADD_Delete(audioDecoderHandle);
    audioDecoderHandle = nullptr;
    audioCodecId = -1;
  }
  if (resamplerHandle != nullptr) {
    ARes_Free(resamplerHandle);
    resamplerHandle = nullptr;
  }
  resampleBuffer.reset();
  resampleBufferSize = 0;
}

// A rate or channel count of zero or less would make every duration a
// division by zero; such values are refused like a setting made too late.
int FLVAudioDecoder::SetSampleRate(int rate) {
  if (!IsIdle() || rate <= 0) return 0;
  sampleRate = rate;
  return 1;
}

int FLVAudioDecoder::SetNumberOfChannels(int channels) {
  if (!IsIdle() || channels <= 0 || channels > kMaxChannels) return 0;
  numberOfChannels = channels;
  return 1;
}

int FLVAudioDecoder::DecodeFLVTag(FLVTag* tag, std::uint8_t** data, int* size) {
  if (data == nullptr || size == nullptr) return 0;
  *data = nullptr;
  *size = 0;
  // A running worker owns the bridge decoder.
  if (!IsIdle()) return 0;
  return DecodeStep(tag, 0, data, size);
}

int FLVAudioDecoder::DecodeStep(FLVTag* tag, std::int64_t startTime, std::uint8_t** data,
                                int* size) {
  *data = nullptr;
  *size = 0;
  const std::uint8_t* input = nullptr;
  int inputSize = 0;
  int rate = sampleRate;
  int channels = numberOfChannels;
  if (tag == nullptr) {
    if (audioDecoderHandle == nullptr) return 0;
  } else {
    if (tag->tagType != FLV_TAG_TYPE_AUDIO || tag->audioData == nullptr ||
        tag->audioDataSize <= 0) {
      return 0;
    }
    const int codecId = AudioCodecIdFor(tag->soundFormat, tag->soundSize);
    // The format's own rate where it fixes one; AAC's real format is in its
    // stream, which the bridge reads from the sequence header.
    rate = AudioSampleRateOf(tag->soundFormat, tag->soundRate);
    channels = AudioChannelsOf(tag->soundFormat, tag->soundType);
    if (codecId < 0) {
      if (decodeSyncMode()) return 0;
      EmitOutput(nullptr, 0, 0, 0, 0, 0);
      SetCurrentTime(startTime);
      return 0;
    }
    // A change of rate or channel count alone keeps the decoder open.
    if (codecId != audioCodecId) {
      if (audioDecoderHandle == nullptr) {
        audioDecoderHandle = ADD_Create();
        if (audioDecoderHandle == nullptr) return 0;
      } else {
        ADD_Close(audioDecoderHandle);
      }
      ADD_Open(audioDecoderHandle, codecId);
      audioCodecId = codecId;
    }
    input = tag->audioData;
    inputSize = tag->audioDataSize;
  }

  std::uint8_t* decoded = nullptr;
  int decodedSize = 0;
  if (ADD_Decode(audioDecoderHandle, input, inputSize, &decoded, &decodedSize, &rate, &channels) ==
      0) {
    return 0;
  }
  if (decodedSize <= 0 || decoded == nullptr) {
    // A successful decode without PCM: the caller still gets the bridge's
    // pointer (an empty block, unlike the null of an unsupported format).
    *data = decoded;
    return 1;
  }
  if (rate == sampleRate && channels == numberOfChannels) {
    *data = decoded;
    *size = decodedSize;
    return 1;
  }
  return Resample(decoded, decodedSize, rate, channels, data, size);
}

int FLVAudioDecoder::Resample(std::uint8_t* source, int sourceBytes, int sourceRate,
                              int sourceChannels, std::uint8_t** data, int* size) {
  if (resamplerHandle != nullptr &&
      (resamplerRate != sampleRate || resamplerChannels != numberOfChannels)) {
    ARes_Free(resamplerHandle);
    resamplerHandle = nullptr;
  }
  if (resamplerHandle == nullptr) {
    resamplerHandle = ARes_Create(sampleRate, numberOfChannels);
    if (resamplerHandle == nullptr) return 0;
    resamplerRate = sampleRate;
    resamplerChannels = numberOfChannels;
  }
  const int needed = ARes_GetOutBufferSize(resamplerHandle, sourceRate, sourceChannels, sourceBytes);
  if (needed <= 0) return 1;
  if (resampleBufferSize < static_cast<unsigned int>(needed)) {
    const unsigned int capacity =
        static_cast<unsigned int>(needed) + static_cast<unsigned int>(needed) / 2;
    resampleBuffer.reset();
    resampleBufferSize = 0;
    resampleBuffer.reset(new (std::nothrow) std::uint8_t[capacity]);
    if (!resampleBuffer) return 0;
    resampleBufferSize = capacity;
  }
  int produced = needed;
  ARes_Convert(resamplerHandle, source, sourceBytes, sourceRate, sourceChannels,
               resampleBuffer.get(), &produced);
  resamplerSourceRate = sourceRate;
  resamplerSourceChannels = sourceChannels;
  if (produced < 0) produced = 0;
  if (produced > needed) produced = needed;
  *data = resampleBuffer.get();
  *size = produced;
  return 1;
}

void FLVAudioDecoder::ThreadMain() {
  emittedFrames = 0;
  runningStartTime = 0;
  gapPending = false;
  gapStartMs = 0;
  RunWorkerLoop();
  EmitHeldBackAudio();
  silenceBuffer.reset();
  MarkWorkerFinished();
}

void FLVAudioDecoder::ProcessQueuedTag(FLVTag* tag) {
  const bool carriesAudio =
      tag->tagType == FLV_TAG_TYPE_AUDIO && tag->dataSize != 0 && tag->audioDataSize != 0;
  if (carriesAudio) {
    if (gapPending) {
      gapPending = false;
      const std::int64_t gapMs = static_cast<std::int64_t>(tag->timestamp) - gapStartMs;
      if (gapMs > 0) EmitSilence(gapMs);
    }
    std::uint8_t* pcm = nullptr;
    int pcmSize = 0;
    if (DecodeStep(tag, runningStartTime, &pcm, &pcmSize) != 0) EmitBlock(pcm, pcmSize);
  } else if (!gapPending) {
    gapPending = true;
    gapStartMs = tag->timestamp;
    EnsureSilenceBuffer();
  }
  ReleaseTag(tag);
}

// Without this the end of every run would lose what the codec holds back
// and the resampler's filter tail (16 samples or more): the output would be
// shorter than the input.
void FLVAudioDecoder::EmitHeldBackAudio() {
  std::uint8_t* pcm = nullptr;
  int pcmSize = 0;
  // The bridge hands out one block per flush call while it has any.
  while (DecodeStep(nullptr, runningStartTime, &pcm, &pcmSize) != 0 && pcmSize > 0) {
    EmitBlock(pcm, pcmSize);
  }
  if (DrainResampler(&pcm, &pcmSize) != 0 && pcmSize > 0) EmitBlock(pcm, pcmSize);
}

int FLVAudioDecoder::DrainResampler(std::uint8_t** data, int* size) {
  *data = nullptr;
  *size = 0;
  if (resamplerHandle == nullptr || resamplerSourceRate <= 0) return 0;
  const int needed =
      ARes_GetOutBufferSize(resamplerHandle, resamplerSourceRate, resamplerSourceChannels, 0);
  if (needed <= 0) return 1;
  if (resampleBufferSize < static_cast<unsigned int>(needed)) {
    resampleBuffer.reset();
    resampleBufferSize = 0;
    resampleBuffer.reset(new (std::nothrow) std::uint8_t[static_cast<unsigned int>(needed)]);
    if (!resampleBuffer) return 0;
    resampleBufferSize = static_cast<unsigned int>(needed);
  }
  int produced = needed;
  ARes_Convert(resamplerHandle, nullptr, 0, resamplerSourceRate, resamplerSourceChannels,
               resampleBuffer.get(), &produced);
  // A drained resampler starts afresh with the next run's first block.
  resamplerSourceRate = 0;
  resamplerSourceChannels = 0;
  if (produced < 0) produced = 0;
  if (produced > needed) produced = needed;
  *data = resampleBuffer.get();
  *size = produced;
  return 1;
}

void FLVAudioDecoder::FillGap(std::int64_t leadMs) {
  EnsureSilenceBuffer();
  EmitSilence(leadMs);
  gapPending = true;
  gapStartMs = units100ns::ToMs(runningStartTime);
}

void FLVAudioDecoder::EmitBlock(const std::uint8_t* data, int size) {
  const std::int64_t frames = size / (numberOfChannels * kBytesPerSample);
  emittedFrames += frames;
  EmitOutput(data, size, runningStartTime, units100ns::FromSamples(frames, sampleRate), 0, 0);
  SetCurrentTime(runningStartTime);
  SyncWithBrother();
  runningStartTime = units100ns::FromSamples(emittedFrames, sampleRate);
}

void FLVAudioDecoder::EnsureSilenceBuffer() {
  if (!silenceBuffer) silenceBuffer.reset(new (std::nothrow) std::uint8_t[kSilenceBlockSize]());
}

// Silence is counted in whole sample frames and sent in blocks of whole
// frames, so the PCM that follows keeps its channels in place.
void FLVAudioDecoder::EmitSilence(std::int64_t milliseconds) {
  if (milliseconds <= 0) return;
  EnsureSilenceBuffer();
  if (!silenceBuffer) return;
  const std::int64_t frameBytes = static_cast<std::int64_t>(numberOfChannels) * kBytesPerSample;
  std::int64_t bytes = static_cast<std::int64_t>(sampleRate) * milliseconds / 1000 * frameBytes;
  const std::int64_t blockSize = kSilenceBlockSize - kSilenceBlockSize % frameBytes;
  while (bytes >= blockSize && !IsAbandoning()) {
    EmitBlock(silenceBuffer.get(), static_cast<int>(blockSize));
    bytes -= blockSize;
  }
  if (bytes > 0 && !IsAbandoning()) EmitBlock(silenceBuffer.get(), static_cast<int>(bytes));
}

}  // namespace kelvra
