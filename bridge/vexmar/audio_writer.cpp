#include "audio_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "encoder_codec_map.h"
#include "vexmar/vexmar.h"

namespace vexmar {
namespace {

constexpr int kBytesPerSample = 2;  // signed 16-bit PCM
constexpr int kMaxChannels = 8;
// Beyond what any audio carries; larger rates are taken for garbage.
constexpr int kMaxSampleRate = 384000;
// The queue holds about this much audio before the caller waits; enough to
// ride over a slow encoder frame, small enough to keep memory low.
constexpr int kQueueSeconds = 1;
constexpr size_t kMinQueueBytes = 64 * 1024;
constexpr const char* kFileProtocol = "file:";
// The one name that is not a file: FFmpeg's pipe on standard output.
constexpr const char* kStandardOutputPipe = "pipe:1";
// errno values lie below this; FFmpeg's own error tags lie far beyond it.
constexpr int kErrnoLimit = 4096;
// The reason given to Fail for failures that are not the system's.
constexpr int kOtherFailure = AVERROR_UNKNOWN;

bool ListsRate(const AVCodec* codec, int sampleRate) {
  if (codec->supported_samplerates == nullptr) return true;
  for (const int* rate = codec->supported_samplerates; *rate != 0; ++rate) {
    if (*rate == sampleRate) return true;
  }
  return false;
}

// The layout the encoder takes for `channels`: the usual one when listed (or
// when the encoder lists none), else the first listed with that count.
bool ChooseLayout(const AVCodec* codec, int channels, AVChannelLayout* layout) {
  av_channel_layout_default(layout, channels);
  if (codec->ch_layouts == nullptr) return true;
  const AVChannelLayout* match = nullptr;
  for (const AVChannelLayout* listed = codec->ch_layouts; listed->nb_channels != 0; ++listed) {
    if (av_channel_layout_compare(listed, layout) == 0) return true;
    if (match == nullptr && listed->nb_channels == channels) match = listed;
  }
  if (match == nullptr) return false;
  av_channel_layout_uninit(layout);
  return av_channel_layout_copy(layout, match) == 0;
}

// s16 needs no conversion, s16p only a split; otherwise the encoder's first.
AVSampleFormat ChooseSampleFormat(const AVCodec* codec) {
  if (codec->sample_fmts == nullptr) return AV_SAMPLE_FMT_S16;
  for (AVSampleFormat wanted : {AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P}) {
    for (const AVSampleFormat* listed = codec->sample_fmts; *listed != AV_SAMPLE_FMT_NONE;
         ++listed) {
      if (*listed == wanted) return wanted;
    }
  }
  return codec->sample_fmts[0];
}

}  // namespace

AudioWriter::~AudioWriter() { Close(); }

bool AudioWriter::SetupAudio(int codecId, int bitRate, int sampleRate, int channels) {
  if (state_ != State::kIdle) return false;
  codecId_ = codecId;
  bitRate_ = bitRate;
  sampleRate_ = sampleRate;
  channels_ = channels;
  return true;
}

bool AudioWriter::SetOutputFormat(const char* formatName) {
  if (state_ != State::kIdle) return false;
  formatName_ = formatName != nullptr ? formatName : "";
  return true;
}

bool AudioWriter::SetOutFile(const char* path) {
  if (state_ != State::kIdle) return false;
  path_ = path != nullptr ? path : "";
  return true;
}

bool AudioWriter::Open() {
  if (state_ != State::kIdle) return false;
  if (sampleRate_ <= 0 || sampleRate_ > kMaxSampleRate || channels_ <= 0 ||
      channels_ > kMaxChannels || path_.empty() || formatName_.empty()) {
    return false;
  }
  // Only a muxer of exactly this name: no guessing from the file name.
  const AVOutputFormat* muxer = av_guess_format(formatName_.c_str(), nullptr, nullptr);
  // Muxers that make no file of their own (null, image sequences, tee) are
  // no audio file formats.
  if (muxer == nullptr || (muxer->flags & AVFMT_NOFILE) != 0) return false;
  lastError_ = 0;
  try {
    if (!OpenEncoder(muxer) || !OpenMuxer(muxer)) {
      ReleaseAll();
      return false;
    }
    assembler_ = std::make_unique<AudioFrameAssembler>(encoder_);
    const size_t secondBytes = static_cast<size_t>(sampleRate_) * channels_ * kBytesPerSample;
    const size_t queueBytes = std::max(kMinQueueBytes, secondBytes * kQueueSeconds);
    queue_ = std::make_unique<AudioBlockQueue>(queueBytes);
    failed_ = false;
    lastError_ = 0;
    carry_.clear();
    encoderThread_ = std::thread(&AudioWriter::EncoderThreadMain, this);
  } catch (const std::exception&) {
    // No memory or no thread: the header may be written, the file is not
    // usable; remove it.
    ReleaseAll();
    DiscardFile();
    return false;
  }
  state_ = State::kOpen;
  return true;
}

bool AudioWriter::OpenEncoder(const AVOutputFormat* muxer) {
  const AVCodec* codec = FindAudioEncoder(codecId_);
  if (codec == nullptr) return false;
  // 0 means the muxer cannot store the codec; a negative answer means it
  // does not say, and writing the header decides.
  if (avformat_query_codec(muxer, codec->id, FF_COMPLIANCE_NORMAL) == 0) return false;
  if (!ListsRate(codec, sampleRate_)) return false;

  encoder_ = avcodec_alloc_context3(codec);
  if (encoder_ == nullptr) return false;
  if (!ChooseLayout(codec, channels_, &encoder_->ch_layout)) return false;
  encoder_->sample_rate = sampleRate_;
  encoder_->sample_fmt = ChooseSampleFormat(codec);
  encoder_->time_base = AVRational{1, sampleRate_};
  if (bitRate_ > 0) encoder_->bit_rate = bitRate_;
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) != 0) {
    encoder_->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  }
  if ((muxer->flags & AVFMT_GLOBALHEADER) != 0) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // The encoder checks what its lists do not say (AMR only at 8000 Hz mono,
  // bit rates of WMA and MP2) and refuses here.
  if (avcodec_open2(encoder_, codec, nullptr) < 0) return false;
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  return packet_ != nullptr && frame_ != nullptr;
}

bool AudioWriter::OpenMuxer(const AVOutputFormat* muxer) {
  if (avformat_alloc_output_context2(&muxer_, muxer, nullptr, path_.c_str()) < 0) return false;
  stream_ = avformat_new_stream(muxer_, nullptr);
  if (stream_ == nullptr) return false;
  // Carries the encoder's delay (initial_padding) to muxers that record it,
  // such as the LAME tag of the mp3 muxer.
  if (avcodec_parameters_from_context(stream_->codecpar, encoder_) < 0) return false;
  stream_->time_base = encoder_->time_base;
  // Always a local file: a name such as "pipe:2" or "http://..." must not
  // reach another of FFmpeg's protocols. Standard output alone is asked for
  // by its pipe name.
  const std::string url = path_ == kStandardOutputPipe ? path_ : kFileProtocol + path_;
  if (const int opened = avio_open(&muxer_->pb, url.c_str(), AVIO_FLAG_WRITE); opened < 0) {
    Fail(opened);
    return false;
  }
  bool written = avformat_write_header(muxer_, nullptr) >= 0;
  if (muxer_->pb != nullptr) avio_flush(muxer_->pb);
  if (muxer_->pb != nullptr && muxer_->pb->error != 0) {
    Fail(muxer_->pb->error);
    written = false;
  }
  if (!written) {
    // A header the muxer refuses (the codec does not fit it) is no write
    // error: the reason stays unset, as for other refused parameters.
    ReleaseAll();
    DiscardFile();
  }
  return written;
}

void AudioWriter::ReleaseAll() {
  assembler_.reset();
  queue_.reset();
  if (muxer_ != nullptr) {
    avio_closep(&muxer_->pb);
    avformat_free_context(muxer_);
    muxer_ = nullptr;
    stream_ = nullptr;
  }
  avcodec_free_context(&encoder_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
}

void AudioWriter::Fail(int avError) {
  const int reason = avError < 0 && -avError < kErrnoLimit ? AVUNERROR(avError) : kNotSystemError;
  int unset = 0;
  lastError_.compare_exchange_strong(unset, reason);
  failed_ = true;
}

int AudioWriter::LastError() const {
  const int reason = lastError_;
  if (reason != 0) return reason;
  return failed_ ? kNotSystemError : 0;
}

void AudioWriter::DiscardFile() const {
  // Only a regular file is ours to remove: a device such as /dev/null given
  // as the output stays.
  struct stat info {};
  if (path_ != kStandardOutputPipe && stat(path_.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    unlink(path_.c_str());
  }
}

bool AudioWriter::WriteAudio(const uint8_t* data, int size, int sampleRate, int channels) {
  if (state_ != State::kOpen || data == nullptr || size <= 0 || sampleRate <= 0 ||
      sampleRate > kMaxSampleRate || channels <= 0 || channels > kMaxChannels) {
    return false;
  }
  if (failed_) return false;
  // A partial sample frame held from the last call only continues audio of
  // the same format; of another format it is meaningless and dropped.
  if (sampleRate != carryRate_ || channels != carryChannels_) carry_.clear();
  const size_t frameBytes = static_cast<size_t>(channels) * kBytesPerSample;
  AudioBlock block;
  block.sampleRate = sampleRate;
  block.channels = channels;
  block.pcm.reserve(carry_.size() + static_cast<size_t>(size));
  block.pcm.assign(carry_.begin(), carry_.end());
  block.pcm.insert(block.pcm.end(), data, data + size);
  const size_t whole = block.pcm.size() / frameBytes * frameBytes;
  carry_.assign(block.pcm.begin() + static_cast<std::ptrdiff_t>(whole), block.pcm.end());
  carryRate_ = sampleRate;
  carryChannels_ = channels;
  block.pcm.resize(whole);
  if (block.pcm.empty()) return true;
  return queue_->Push(std::move(block));
}

void AudioWriter::EncoderThreadMain() {
  while (std::optional<AudioBlock> block = queue_->Pop()) {
    // After a failure the queue is still emptied, so the caller never waits.
    if (failed_) continue;
    const int frames = static_cast<int>(block->pcm.size()) / (block->channels * kBytesPerSample);
    if (!assembler_->Add(block->pcm.data(), frames, block->sampleRate, block->channels)) {
      Fail(kOtherFailure);
      continue;
    }
    EncodeReadyFrames(false);
  }
  if (failed_) return;
  if (!assembler_->Flush()) {
    Fail(kOtherFailure);
    return;
  }
  // An encoder that delays its input but cannot be drained (WMA) keeps the
  // last `initial_padding` samples to itself; silence behind them pushes
  // them out.
  if ((encoder_->codec->capabilities & AV_CODEC_CAP_DELAY) == 0 && encoder_->initial_padding > 0 &&
      !assembler_->AppendSilence(encoder_->initial_padding)) {
    Fail(kOtherFailure);
    return;
  }
  EncodeReadyFrames(true);
  EncodeFrame(nullptr);  // drains the encoder's delayed frames
}

void AudioWriter::EncodeReadyFrames(bool final) {
  while (!failed_) {
    const int taken = assembler_->TakeFrame(frame_, final);
    if (taken < 0) Fail(kOtherFailure);
    if (taken <= 0) break;
    EncodeFrame(frame_);
    av_frame_unref(frame_);
  }
}

void AudioWriter::EncodeFrame(const AVFrame* frame) {
  if (avcodec_send_frame(encoder_, frame) < 0) {
    Fail(kOtherFailure);
    return;
  }
  for (;;) {
    const int received = avcodec_receive_packet(encoder_, packet_);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
    if (received < 0) {
      Fail(kOtherFailure);
      return;
    }
    packet_->stream_index = stream_->index;
    av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
    // Takes the packet's reference whatever it answers.
    const bool written = av_interleaved_write_frame(muxer_, packet_) >= 0;
    if (muxer_->pb != nullptr && muxer_->pb->error != 0) {
      Fail(muxer_->pb->error);
      return;
    }
    if (!written) {
      Fail(kOtherFailure);
      return;
    }
  }
}

bool AudioWriter::Close() {
  if (state_ != State::kOpen) return false;
  queue_->Close();
  if (encoderThread_.joinable()) encoderThread_.join();
  // The trailer is written even after an error: it completes what was
  // written (sizes, the MP3 info frame) as far as the disk allows.
  const bool trailer = av_write_trailer(muxer_) >= 0;
  if (muxer_->pb != nullptr && muxer_->pb->error != 0) Fail(muxer_->pb->error);
  if (!trailer) Fail(kOtherFailure);
  // Closing flushes the last buffer and closes the file; both can fail.
  if (muxer_->pb != nullptr) {
    if (const int closed = avio_closep(&muxer_->pb); closed < 0) Fail(closed);
  }
  const bool complete = !failed_;
  ReleaseAll();
  carry_.clear();
  state_ = State::kIdle;
  return complete;
}

}  // namespace vexmar

// The exports: the opaque handle is the writer object itself.
namespace {

vexmar::AudioWriter* AsWriter(VexmarWriter* handle) {
  return reinterpret_cast<vexmar::AudioWriter*>(handle);
}

}  // namespace

extern "C" VEXMAR_API VexmarWriter* AVW_Create(int /*reserved0*/, int /*reserved1*/) {
  return reinterpret_cast<VexmarWriter*>(new (std::nothrow) vexmar::AudioWriter());
}

extern "C" VEXMAR_API int AVW_SetupAudioParams(VexmarWriter* writer, int codecId, int bitRate,
                                               int sampleRate, int channels) {
  if (writer == nullptr) return 0;
  return AsWriter(writer)->SetupAudio(codecId, bitRate, sampleRate, channels) ? 1 : 0;
}

extern "C" VEXMAR_API int AVW_SetOutputFormat(VexmarWriter* writer, const char* formatName) {
  if (writer == nullptr) return 0;
  try {
    return AsWriter(writer)->SetOutputFormat(formatName) ? 1 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" VEXMAR_API int AVW_SetOutFile(VexmarWriter* writer, const char* path) {
  if (writer == nullptr) return 0;
  try {
    return AsWriter(writer)->SetOutFile(path) ? 1 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" VEXMAR_API int AVW_Open(VexmarWriter* writer) {
  if (writer == nullptr) return 0;
  try {
    return AsWriter(writer)->Open() ? 1 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" VEXMAR_API int AVW_WriteAudioFrame(VexmarWriter* writer, const uint8_t* data, int size,
                                              int sampleRate, int channels) {
  if (writer == nullptr) return 0;
  try {
    return AsWriter(writer)->WriteAudio(data, size, sampleRate, channels) ? 1 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" VEXMAR_API int AVW_Close(VexmarWriter* writer) {
  if (writer == nullptr) return 0;
  try {
    return AsWriter(writer)->Close() ? 1 : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

extern "C" VEXMAR_API int AVW_GetLastError(VexmarWriter* writer) {
  if (writer == nullptr) return 0;
  return AsWriter(writer)->LastError();
}

extern "C" VEXMAR_API void AVW_Delete(VexmarWriter* writer) {
  // The destructor closes an open writer first.
  delete AsWriter(writer);
}
