#include "audio_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
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

// The segmenting encoder: encoders and muxers it is used with, and the
// audio around each segment that its encoder is also given. Pre-roll:
// enough frames for the filter bank, the psychoacoustic model's history and
// (MP3) a bit reservoir as full as one encoder's; post-roll: the model's
// look-ahead. Measured against one encoder's output, 4096-sample windows of
// SNR after each join: LAME is settled after 2 frames (4 leaves room).
// FFmpeg's AAC encoder is not segmented: it carries rate-control and
// perceptual-entropy state over seconds; windows after a join lost 4 dB with
// 64 frames of pre-roll, 2 dB with 128, 1.8 dB with 200, and on a steady
// tone, where one encoder settles at 54 dB, a segment's fresh encoder never
// gets back there (22 dB behind at 128 frames).
constexpr const char* kSegmentedMp3Encoder = "libmp3lame";
constexpr const char* kSegmentedMp3Muxer = "mp3";
constexpr int kMp3PreRollFrames = 4;
constexpr int kPostRollFrames = 3;
constexpr int kMaxEncoderThreads = 64;
constexpr double kMillisecondsPerSecond = 1000.0;

// Encoders are opened one at a time: not every FFmpeg wrapper (LAME's
// among them) promises that its initialisation is thread-safe.
std::mutex encoderOpenMutex;

struct EncoderParams {
  const AVCodec* codec = nullptr;
  int sampleRate = 0;
  int channels = 0;
  int bitRate = 0;
  bool globalHeader = false;
};

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

// An open encoder of these parameters; null when the encoder refuses them.
AVCodecContext* NewEncoder(const EncoderParams& params) {
  AVCodecContext* encoder = avcodec_alloc_context3(params.codec);
  if (encoder == nullptr) return nullptr;
  if (!ChooseLayout(params.codec, params.channels, &encoder->ch_layout)) {
    avcodec_free_context(&encoder);
    return nullptr;
  }
  encoder->sample_rate = params.sampleRate;
  encoder->sample_fmt = ChooseSampleFormat(params.codec);
  encoder->time_base = AVRational{1, params.sampleRate};
  if (params.bitRate > 0) encoder->bit_rate = params.bitRate;
  if ((params.codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) != 0) {
    encoder->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  }
  if (params.globalHeader) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // The encoder checks what its lists do not say (AMR only at 8000 Hz mono,
  // bit rates of WMA and MP2) and refuses here.
  std::lock_guard lock(encoderOpenMutex);
  if (avcodec_open2(encoder, params.codec, nullptr) < 0) avcodec_free_context(&encoder);
  return encoder;
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

bool AudioWriter::SetEncoderThreads(int threads) {
  if (state_ != State::kIdle) return false;
  encoderThreads_ = threads;
  return true;
}

bool AudioWriter::SetSegmentMilliseconds(int milliseconds) {
  if (state_ != State::kIdle) return false;
  segmentMs_ = milliseconds > 0 ? milliseconds : kDefaultSegmentMs;
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
    OpenSegmenter(muxer);
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

  const EncoderParams params{codec, sampleRate_, channels_, bitRate_,
                             (muxer->flags & AVFMT_GLOBALHEADER) != 0};
  encoder_ = NewEncoder(params);
  if (encoder_ == nullptr) return false;
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

void AudioWriter::OpenSegmenter(const AVOutputFormat* muxer) {
  const char* encoderName = encoder_->codec->name;
  const bool mp3 = std::strcmp(encoderName, kSegmentedMp3Encoder) == 0 &&
                   std::strcmp(muxer->name, kSegmentedMp3Muxer) == 0;
  if (!mp3 || encoder_->frame_size <= 0) return;
  SegmentingEncoder::Settings settings;
  settings.frameSamples = encoder_->frame_size;
  settings.encoderDelay = encoder_->initial_padding;
  const double frames = segmentMs_ / kMillisecondsPerSecond * sampleRate_ / encoder_->frame_size;
  settings.segmentFrames = std::max<int64_t>(1, std::llround(frames));
  settings.preRollFrames = kMp3PreRollFrames;
  settings.postRollFrames = kPostRollFrames;
  int workers = encoderThreads_ > 0 ? encoderThreads_
                                    : static_cast<int>(std::thread::hardware_concurrency());
  settings.workers = std::clamp(workers, 1, kMaxEncoderThreads);
  settings.repackMp3 = true;
  const EncoderParams params{encoder_->codec, sampleRate_, channels_, bitRate_,
                             (encoder_->flags & AV_CODEC_FLAG_GLOBAL_HEADER) != 0};
  segmenter_ = std::make_unique<SegmentingEncoder>(
      settings, [params] { return NewEncoder(params); },
      [this](AVPacket* packet) { return WritePacket(packet); });
}

void AudioWriter::ReleaseAll() {
  // First: its workers may still run.
  segmenter_.reset();
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
  if (segmenter_ != nullptr) {
    if (!failed_ && !segmenter_->Finish()) Fail(kOtherFailure);
    // Its workers end here, on the thread that used it.
    segmenter_.reset();
    return;
  }
  EncodeFrame(nullptr);  // drains the encoder's delayed frames
}

void AudioWriter::EncodeReadyFrames(bool final) {
  while (!failed_) {
    const int taken = assembler_->TakeFrame(frame_, final);
    if (taken < 0) Fail(kOtherFailure);
    if (taken <= 0) break;
    if (segmenter_ != nullptr) {
      AVFrame* held = av_frame_alloc();
      if (held == nullptr) {
        Fail(kOtherFailure);
        break;
      }
      av_frame_move_ref(held, frame_);
      if (!segmenter_->Add(held)) Fail(kOtherFailure);
      continue;
    }
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
    if (!WritePacket(packet_)) return;
  }
}

bool AudioWriter::WritePacket(AVPacket* packet) {
  packet->stream_index = stream_->index;
  av_packet_rescale_ts(packet, encoder_->time_base, stream_->time_base);
  // Takes the packet's reference whatever it answers.
  const bool written = av_interleaved_write_frame(muxer_, packet) >= 0;
  if (muxer_->pb != nullptr && muxer_->pb->error != 0) {
    Fail(muxer_->pb->error);
    return false;
  }
  if (!written) {
    Fail(kOtherFailure);
    return false;
  }
  return true;
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

extern "C" VEXMAR_API int AVW_SetEncoderThreads(VexmarWriter* writer, int threads) {
  if (writer == nullptr) return 0;
  return AsWriter(writer)->SetEncoderThreads(threads) ? 1 : 0;
}

extern "C" VEXMAR_API int AVW_SetEncoderSegmentMs(VexmarWriter* writer, int milliseconds) {
  if (writer == nullptr) return 0;
  return AsWriter(writer)->SetSegmentMilliseconds(milliseconds) ? 1 : 0;
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
