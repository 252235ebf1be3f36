// The decode-and-convert core behind the bridge's VDD_ family and the Morlin
// VP6 library: one libavcodec video decoder whose frames are converted into
// one of the bridge's image formats, in a picture buffer the decoder owns.
//
// The same source is compiled into libvexmar and libmorlin (each keeps its
// copy hidden), so the two libraries share one implementation.
#ifndef KELVRA_BRIDGE_VEXMAR_VIDEO_DECODER_H
#define KELVRA_BRIDGE_VEXMAR_VIDEO_DECODER_H

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace kelvra {

class VideoDecoder {
 public:
  // Image formats, numbered as in vexmar.h.
  static constexpr int kImageFormatAlphaPlane = 1;  // 2 bytes per pixel, value first, then 0
  static constexpr int kImageFormatBgra = 6;        // B, G, R, A; A is 255

  // Where the first row of a picture goes. Decoders hand out rows top first;
  // callers that expect the bottom row first get the rows written in reverse.
  enum class RowOrder { kTopFirst, kBottomFirst };

  // A decoded picture. `data` belongs to the decoder and stays valid until
  // its next Decode, Open, Close or destruction.
  struct Picture {
    std::uint8_t* data = nullptr;
    int size = 0;  // bytes: width * height * bytes per pixel
    int width = 0;
    int height = 0;
  };

  VideoDecoder();
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  static bool IsSupportedImageFormat(int imageFormat);

  // Takes effect from the next decoded picture; false for an unknown format
  // (the previous format stays).
  bool SetOutputImageFormat(int imageFormat);
  int outputImageFormat() const { return imageFormat_; }

  // Opens a fresh decoder for `codec`, closing any open one first. False when
  // libavcodec has no such decoder or cannot open it; the object is closed then.
  bool Open(AVCodecID codec, RowOrder rowOrder);
  // The same with the codec's configuration (for H.264 the
  // AVCDecoderConfigurationRecord), kept for any re-open after a failure.
  bool Open(AVCodecID codec, RowOrder rowOrder, const std::uint8_t* config, int configSize);
  bool isOpen() const { return context_ != nullptr; }
  void Close();

  // Decodes one complete coded frame into one picture. False (and *picture
  // untouched) when the frame does not decode or yields no picture; the
  // decoder stays usable for the next frame.
  bool Decode(const std::uint8_t* data, int size, Picture* picture);

  // For codecs that hold pictures back to reorder them: Send hands over one
  // packet stamped with `time`, and each Receive hands out the next picture
  // in presentation order with the time of the packet it came from. A null
  // packet ends the stream: every picture still held back comes out, and the
  // decoder then takes packets afresh. False from Send when the packet was
  // refused (the decoder stays usable); from Receive when no picture is
  // ready.
  // `keyFrame` marks a packet that needs no earlier one.
  bool Send(const std::uint8_t* data, int size, std::int64_t time, bool keyFrame);
  bool Receive(Picture* picture, std::int64_t* time);

 private:
  struct ContextDeleter {
    void operator()(AVCodecContext* context) const;
  };
  struct FrameDeleter {
    void operator()(AVFrame* frame) const;
  };
  struct PacketDeleter {
    void operator()(AVPacket* packet) const;
  };
  struct ScalerDeleter {
    void operator()(SwsContext* scaler) const;
  };

  bool OpenContext(AVCodecID codec);
  // Moves every picture the codec has ready into `ready_`.
  void CollectFrames();
  void RecoverFromFailedFrame();
  bool SendAndReceive(const std::uint8_t* data, int size);
  bool ConvertToBgra(Picture* picture);
  bool CopyLumaAsAlpha(Picture* picture);
  bool PrepareScaler(int width, int height, int sourceFormat);
  // Sizes `picture_` for width x height pixels; false when that does not fit
  // an int.
  bool SizePicture(int width, int height, int bytesPerPixel, Picture* picture);
  // Row `row` counted from the top of the decoded frame, as stored.
  std::uint8_t* PictureRow(const Picture& picture, int row, int rowBytes);

  std::unique_ptr<AVCodecContext, ContextDeleter> context_;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  std::unique_ptr<AVFrame, FrameDeleter> frame_;  // the newest decoded frame
  std::unique_ptr<AVFrame, FrameDeleter> spare_;  // receives any further frames
  // Colour conversion for format 6, rebuilt when the frame geometry changes.
  // The scaler writes into its own aligned, padded image (its vector code
  // may write whole blocks past a row's last pixel); the rows are then laid
  // out tightly, in the wanted order, in `picture_`.
  std::unique_ptr<SwsContext, ScalerDeleter> scaler_;
  int scalerWidth_ = 0;
  int scalerHeight_ = 0;
  int scalerSourceFormat_ = -1;
  std::vector<std::uint8_t> scaled_;
  int scaledRowBytes_ = 0;
  // Pictures out of the codec that Receive has not handed out yet, oldest
  // first.
  std::deque<std::unique_ptr<AVFrame, FrameDeleter>> ready_;
  bool draining_ = false;  // the end of the stream was sent
  std::vector<std::uint8_t> config_;
  AVCodecID codec_ = AV_CODEC_ID_NONE;
  RowOrder rowOrder_ = RowOrder::kTopFirst;
  int imageFormat_ = kImageFormatBgra;
  std::vector<std::uint8_t> picture_;
};

// The common form of the decode exports (VDD_Decode, FlvDecoder_DecodeVideo)
// over any decoder with Decode(data, size, Picture*): the outputs are written
// only on success; answers 1 or 0 and lets no exception out.
template <typename Decoder>
int DecodeForExport(Decoder* decoder, const std::uint8_t* data, int size, std::uint8_t** picture,
                    int* pictureSize, int* width, int* height) noexcept {
  if (decoder == nullptr || picture == nullptr || pictureSize == nullptr || width == nullptr ||
      height == nullptr) {
    return 0;
  }
  try {
    VideoDecoder::Picture decoded;
    if (!decoder->Decode(data, size, &decoded)) return 0;
    *picture = decoded.data;
    *pictureSize = decoded.size;
    *width = decoded.width;
    *height = decoded.height;
    return 1;
  } catch (...) {
    return 0;
  }
}

}  // namespace kelvra

#endif  // KELVRA_BRIDGE_VEXMAR_VIDEO_DECODER_H
