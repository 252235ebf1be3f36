#include "vexmar/video_decoder.h"

#include <climits>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace kelvra {

namespace {

constexpr int kBgraBytesPerPixel = 4;
constexpr int kAlphaPlaneBytesPerPixel = 2;
constexpr std::uint8_t kOpaqueAlpha = 0xFF;
// Row stride of the scaler's own image: a multiple of its widest vector
// block, so whole-block writes stay inside the row's padding.
constexpr int kScaledRowAlignment = 64;
// Extra bytes after the scaler's image for writes past its last row.
constexpr int kScaledTailSlack = 64;
// Same-size colour conversion; the flag picks the chroma upsampling filter.
constexpr int kConversionFlags = SWS_BICUBIC;

// Pictures a caller may leave unreceived before the oldest are dropped;
// more than any reorder depth H.264 allows.
constexpr std::size_t kMaxReadyPictures = 32;

bool FitsInt(long long value) { return value >= 0 && value <= INT_MAX; }

}  // namespace

void VideoDecoder::ContextDeleter::operator()(AVCodecContext* context) const {
  avcodec_free_context(&context);
}
void VideoDecoder::FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void VideoDecoder::PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void VideoDecoder::ScalerDeleter::operator()(SwsContext* scaler) const { sws_freeContext(scaler); }

VideoDecoder::VideoDecoder() = default;
VideoDecoder::~VideoDecoder() = default;

bool VideoDecoder::IsSupportedImageFormat(int imageFormat) {
  return imageFormat == kImageFormatBgra || imageFormat == kImageFormatAlphaPlane;
}

bool VideoDecoder::SetOutputImageFormat(int imageFormat) {
  if (!IsSupportedImageFormat(imageFormat)) return false;
  imageFormat_ = imageFormat;
  return true;
}

bool VideoDecoder::Open(AVCodecID codec, RowOrder rowOrder) {
  return Open(codec, rowOrder, nullptr, 0);
}

bool VideoDecoder::Open(AVCodecID codec, RowOrder rowOrder, const std::uint8_t* config,
                        int configSize) {
  Close();
  if (config != nullptr && configSize > 0) config_.assign(config, config + configSize);
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  spare_.reset(av_frame_alloc());
  if (!packet_ || !frame_ || !spare_ || !OpenContext(codec)) {
    Close();
    return false;
  }
  codec_ = codec;
  rowOrder_ = rowOrder;
  return true;
}

bool VideoDecoder::OpenContext(AVCodecID codec) {
  context_.reset();
  const AVCodec* decoder = avcodec_find_decoder(codec);
  if (decoder == nullptr) return false;
  context_.reset(avcodec_alloc_context3(decoder));
  if (!context_) return false;
  // One thread: frame threading would hold pictures back, and every call
  // must give the picture of the frame it was handed.
  context_->thread_count = 1;
  if (!config_.empty()) {
    // libavcodec frees the extradata with the context and wants it padded.
    context_->extradata = static_cast<std::uint8_t*>(
        av_mallocz(config_.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (context_->extradata == nullptr) {
      context_.reset();
      return false;
    }
    std::memcpy(context_->extradata, config_.data(), config_.size());
    context_->extradata_size = static_cast<int>(config_.size());
  }
  if (avcodec_open2(context_.get(), decoder, nullptr) < 0) {
    context_.reset();
    return false;
  }
  return true;
}

void VideoDecoder::RecoverFromFailedFrame() {
  // A decoder that rejected a frame may keep half-built state that makes the
  // next frame fail as well (the VP6 decoder keeps its picture buffer
  // referenced). A fresh decoder takes the next key frame cleanly; inter
  // frames before it have no sound reference picture either way.
  if (!OpenContext(codec_)) Close();
}

void VideoDecoder::Close() {
  context_.reset();
  codec_ = AV_CODEC_ID_NONE;
  ready_.clear();
  draining_ = false;
  config_.clear();
  packet_.reset();
  frame_.reset();
  spare_.reset();
  scaler_.reset();
  scalerWidth_ = 0;
  scalerHeight_ = 0;
  scalerSourceFormat_ = -1;
  scaled_ = {};
  scaledRowBytes_ = 0;
  picture_ = {};
}

bool VideoDecoder::Decode(const std::uint8_t* data, int size, Picture* picture) {
  if (!isOpen() || data == nullptr || size <= 0 || picture == nullptr) return false;
  if (!SendAndReceive(data, size)) return false;
  if (frame_->width <= 0 || frame_->height <= 0) return false;
  return imageFormat_ == kImageFormatAlphaPlane ? CopyLumaAsAlpha(picture) : ConvertToBgra(picture);
}

bool VideoDecoder::SendAndReceive(const std::uint8_t* data, int size) {
  av_frame_unref(frame_.get());
  // A packet of our own: libavcodec wants zeroed padding after the bytes,
  // which the caller's buffer does not promise.
  if (av_new_packet(packet_.get(), size) < 0) return false;
  std::memcpy(packet_->data, data, static_cast<size_t>(size));
  const int sent = avcodec_send_packet(context_.get(), packet_.get());
  av_packet_unref(packet_.get());
  if (sent < 0) {
    RecoverFromFailedFrame();
    return false;
  }
  // These codecs give at most one picture per frame; should one give more,
  // the newest is the one that belongs to this call.
  bool gotFrame = false;
  int received = 0;
  while ((received = avcodec_receive_frame(context_.get(), spare_.get())) >= 0) {
    av_frame_unref(frame_.get());
    av_frame_move_ref(frame_.get(), spare_.get());
    gotFrame = true;
  }
  if (received != AVERROR(EAGAIN)) {
    RecoverFromFailedFrame();
    return false;
  }
  return gotFrame;
}

bool VideoDecoder::Send(const std::uint8_t* data, int size, std::int64_t time, bool keyFrame) {
  if (!isOpen()) return false;
  if (data == nullptr || size <= 0) {
    if (!draining_) {
      draining_ = true;
      avcodec_send_packet(context_.get(), nullptr);
    }
    CollectFrames();
    return true;
  }
  if (draining_) {
    // Only a stream whose end was not fully collected gets here.
    avcodec_flush_buffers(context_.get());
    draining_ = false;
  }
  if (av_new_packet(packet_.get(), size) < 0) return false;
  std::memcpy(packet_->data, data, static_cast<size_t>(size));
  packet_->pts = time;
  packet_->dts = AV_NOPTS_VALUE;
  // Screen Video 2 keeps its key frame for the inter frames by this flag.
  if (keyFrame) packet_->flags |= AV_PKT_FLAG_KEY;
  int sent = avcodec_send_packet(context_.get(), packet_.get());
  if (sent == AVERROR(EAGAIN)) {
    CollectFrames();
    sent = avcodec_send_packet(context_.get(), packet_.get());
  }
  av_packet_unref(packet_.get());
  CollectFrames();
  // A damaged packet is refused; the codec goes on with the next one (an
  // H.264 decoder recovers at the next key frame by itself).
  return sent >= 0;
}

void VideoDecoder::CollectFrames() {
  int received = 0;
  while ((received = avcodec_receive_frame(context_.get(), spare_.get())) >= 0) {
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    if (!frame) {
      av_frame_unref(spare_.get());
      continue;
    }
    av_frame_move_ref(frame.get(), spare_.get());
    ready_.push_back(std::move(frame));
    if (ready_.size() > kMaxReadyPictures) ready_.pop_front();
  }
  if (received == AVERROR_EOF) {
    // Everything held back is out: ready for a new stream.
    avcodec_flush_buffers(context_.get());
    draining_ = false;
  }
}

bool VideoDecoder::Receive(Picture* picture, std::int64_t* time) {
  if (!isOpen() || picture == nullptr || time == nullptr) return false;
  while (!ready_.empty()) {
    av_frame_unref(frame_.get());
    av_frame_move_ref(frame_.get(), ready_.front().get());
    ready_.pop_front();
    if (frame_->width <= 0 || frame_->height <= 0) continue;
    const std::int64_t stamp =
        frame_->pts != AV_NOPTS_VALUE ? frame_->pts : frame_->best_effort_timestamp;
    const bool converted = imageFormat_ == kImageFormatAlphaPlane ? CopyLumaAsAlpha(picture)
                                                                  : ConvertToBgra(picture);
    if (!converted) continue;
    *time = stamp;
    return true;
  }
  return false;
}

bool VideoDecoder::SizePicture(int width, int height, int bytesPerPixel, Picture* picture) {
  const long long size = static_cast<long long>(width) * height * bytesPerPixel;
  if (!FitsInt(size)) return false;
  picture_.resize(static_cast<size_t>(size));
  picture->data = picture_.data();
  picture->size = static_cast<int>(size);
  picture->width = width;
  picture->height = height;
  return true;
}

std::uint8_t* VideoDecoder::PictureRow(const Picture& picture, int row, int rowBytes) {
  const int stored = rowOrder_ == RowOrder::kBottomFirst ? picture.height - 1 - row : row;
  return picture.data + static_cast<size_t>(stored) * static_cast<size_t>(rowBytes);
}

bool VideoDecoder::PrepareScaler(int width, int height, int sourceFormat) {
  if (scaler_ && width == scalerWidth_ && height == scalerHeight_ &&
      sourceFormat == scalerSourceFormat_) {
    return true;
  }
  scaler_.reset();
  const long long rowBytes =
      (static_cast<long long>(width) * kBgraBytesPerPixel + kScaledRowAlignment - 1) /
      kScaledRowAlignment * kScaledRowAlignment;
  const long long bytes = rowBytes * height + kScaledTailSlack;
  if (!FitsInt(bytes)) return false;
  scaler_.reset(sws_getContext(width, height, static_cast<AVPixelFormat>(sourceFormat), width,
                               height, AV_PIX_FMT_BGRA, kConversionFlags, nullptr, nullptr,
                               nullptr));
  if (!scaler_) return false;
  scaled_.assign(static_cast<size_t>(bytes), 0);
  scaledRowBytes_ = static_cast<int>(rowBytes);
  scalerWidth_ = width;
  scalerHeight_ = height;
  scalerSourceFormat_ = sourceFormat;
  return true;
}

bool VideoDecoder::ConvertToBgra(Picture* picture) {
  const AVFrame& frame = *frame_;
  if (!PrepareScaler(frame.width, frame.height, frame.format)) return false;
  std::uint8_t* const destination[4] = {scaled_.data(), nullptr, nullptr, nullptr};
  const int destinationStride[4] = {scaledRowBytes_, 0, 0, 0};
  const int rows = sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height,
                             destination, destinationStride);
  if (rows != frame.height) return false;

  Picture result;
  if (!SizePicture(frame.width, frame.height, kBgraBytesPerPixel, &result)) return false;
  const int rowBytes = frame.width * kBgraBytesPerPixel;
  for (int row = 0; row < frame.height; ++row) {
    std::uint8_t* out = PictureRow(result, row, rowBytes);
    std::memcpy(out, scaled_.data() + static_cast<size_t>(row) * scaledRowBytes_,
                static_cast<size_t>(rowBytes));
    // These codecs carry no alpha; the format promises an opaque picture
    // whatever path the scaler took.
    for (int x = kBgraBytesPerPixel - 1; x < rowBytes; x += kBgraBytesPerPixel)
      out[x] = kOpaqueAlpha;
  }
  *picture = result;
  return true;
}

bool VideoDecoder::CopyLumaAsAlpha(Picture* picture) {
  const AVFrame& frame = *frame_;
  // The alpha of a picture travels as a separate frame whose luma plane
  // holds the values; that needs an 8-bit luma plane of its own.
  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  constexpr unsigned kNotPlanarLuma =
      AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM;
  if (descriptor == nullptr || (descriptor->flags & kNotPlanarLuma) != 0 ||
      descriptor->comp[0].plane != 0 || descriptor->comp[0].depth != 8 ||
      descriptor->comp[0].step != 1 || frame.data[0] == nullptr) {
    return false;
  }
  Picture result;
  if (!SizePicture(frame.width, frame.height, kAlphaPlaneBytesPerPixel, &result)) return false;
  const int rowBytes = frame.width * kAlphaPlaneBytesPerPixel;
  for (int row = 0; row < frame.height; ++row) {
    const std::uint8_t* luma = frame.data[0] + static_cast<ptrdiff_t>(row) * frame.linesize[0];
    std::uint8_t* out = PictureRow(result, row, rowBytes);
    for (int x = 0; x < frame.width; ++x) {
      out[2 * x] = luma[x];
      out[2 * x + 1] = 0;
    }
  }
  *picture = result;
  return true;
}

}  // namespace kelvra
