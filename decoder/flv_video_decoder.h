// FLVVideoDecoder: FLV video tags to 32-bit pictures (B, G, R, A; rows top
// first) of a chosen size at a constant output frame rate.
//
// Sorenson H.263, Screen Video 1 and 2 and H.264 go through the codec
// bridge; VP6 and VP6 with alpha go preferably through Morlin and fall back
// to the bridge, whose pictures come bottom row first. H.264 is configured by
// its sequence-header tags (at any time; each takes effect from its tag on)
// and its pictures come out in presentation order, later than their tags. Each picture is merged with its alpha plane when asked,
// cropped to the declared size and the user's rectangle, resized to the
// output size, and emitted zero, one or several times so that the output
// runs at outputFPS. The worker holds each tag back until the next one
// arrives, so that it knows how long the picture stays on screen.
#ifndef KELVRA_DECODER_FLV_VIDEO_DECODER_H
#define KELVRA_DECODER_FLV_VIDEO_DECODER_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "decoder/flv_stream_decoder.h"
#include "morlin/morlin.h"
#include "vexmar/vexmar.h"

namespace kelvra {

inline constexpr int kDefaultOutputWidth = 320;
inline constexpr int kDefaultOutputHeight = 240;
inline constexpr double kDefaultOutputFPS = 25.0;
inline constexpr int kPictureBytesPerPixel = 4;
inline constexpr int kAlphaPlaneBytesPerPixel = 2;
inline constexpr FLVRect kNoRect = {-1, -1, -1, -1};

bool SameRect(const FLVRect& a, const FLVRect& b);
// Intersection of two rectangles; a rectangle of all -1 stands for "none"
// and leaves the other one.
FLVRect IntersectRect(const FLVRect& a, const FLVRect& b);

// One outside picture decoder: the codec bridge's (kind 0) or Morlin's
// (kind 1).
struct OutsideVideoDecoder {
  static constexpr int kKindNone = -1;
  static constexpr int kKindBridge = 0;
  static constexpr int kKindMorlin = 1;

  VexmarVideoDecoder* bridge = nullptr;
  MorlinDecoder* morlin = nullptr;
  int kind = kKindNone;

  bool exists() const { return kind != kKindNone; }
  // Closes and frees the handle.
  void Release();
};

// A decoded or finished picture; the memory belongs to whoever made it.
struct Picture {
  std::uint8_t* data = nullptr;
  int size = 0;
  int width = 0;
  int height = 0;
};

// Everything one decode hands to the next. The worker keeps its own for
// threaded use, the object one for synchronous use; they never mix.
struct VideoDecodeState {
  OutsideVideoDecoder h263Decoder;
  OutsideVideoDecoder vp6Decoder;
  OutsideVideoDecoder vp6aColourDecoder;
  OutsideVideoDecoder vp6aAlphaDecoder;
  OutsideVideoDecoder screenDecoder;  // Screen Video 1 or 2
  // H.264: the decoder of the configuration in force, and the one of the
  // previous configuration while its held-back pictures come out (with the
  // size that configuration declared).
  OutsideVideoDecoder h264Decoder;
  OutsideVideoDecoder h264Retiring;
  FLVRect h264RetiringRect = kNoRect;
  std::vector<std::uint8_t> h264Config;
  bool h264AwaitingKeyFrame = true;
  int currentCodecId = -1;
  int currentWidth = -1;
  int currentHeight = -1;
  FLVRect declaredRect = kNoRect;
  std::vector<std::uint8_t> cropBuffer;
  FLVRect lastCropRect = kNoRect;
  VexmarResizer* resizer = nullptr;
  int resizerSourceWidth = 0;
  int resizerSourceHeight = 0;
  int resizerOutputWidth = 0;
  int resizerOutputHeight = 0;
  int lastResizeMode = -1;
  std::vector<std::uint8_t> resizeBuffer;

  // Closes every decoder and frees the buffers and the resizer.
  void Release();
};

class FLVVideoDecoder : public FLVStreamDecoder {
 public:
  FLVVideoDecoder();
  ~FLVVideoDecoder() override;

  int SetOutputSize(int width, int height) override;
  int SetOutputFPS(double fps) override;
  int SetDecodeAlphaChannel(int flag) override;
  int SetCropRect(const FLVRect* rect) override;
  int SetResizeMode(int mode) override;
  int DecodeFLVTag(FLVTag* tag, std::uint8_t** data, int* size) override;
  int GetPictureTime(std::uint32_t* milliseconds) override;

 protected:
  void ThreadMain() override;
  void ProcessQueuedTag(FLVTag* tag) override;
  void FillGap(std::int64_t leadMs) override;

 private:
  // The decode step: a finished picture of the output size, or false.
  bool DecodePicture(VideoDecodeState& state, const FLVTag* tag, Picture* finished);
  bool OpenDecoders(VideoDecodeState& state, const FLVTag& tag);
  bool DecodeRaw(VideoDecodeState& state, const FLVTag& tag, Picture* picture);
  bool Crop(VideoDecodeState& state, const FLVRect& declaredRect, Picture* picture);

  // H.264: hands one tag to the decoder (a sequence header reconfigures it,
  // an end of sequence lets its held-back pictures out); the pictures then
  // come from NextH264Picture, finished, with their presentation times.
  bool FeedH264(VideoDecodeState& state, const FLVTag& tag);
  bool ConfigureH264(VideoDecodeState& state, const FLVTag& tag, const std::uint8_t* record,
                     int size);
  void EndH264Stream(VideoDecodeState& state);
  bool NextH264Picture(VideoDecodeState& state, Picture* finished, std::uint32_t* timeMs);
  bool Resize(VideoDecodeState& state, Picture* picture);

  // Threaded use: decodes a held tag whose picture stays until endTimeMs,
  // emits it and releases the tag.
  void DecodeAndEmit(FLVTag* tag, std::uint32_t endTimeMs);
  // Emits a picture as many times as the output frame rate asks by endTimeMs.
  void EmitAtFrameRate(const std::uint8_t* picture, int size, std::uint32_t endTimeMs,
                       int repeatFlag);
  FLVRect CurrentCropRect() const;
  // Threaded H.264: each picture is held until the next one shows when it
  // leaves the screen.
  void EmitH264Pictures();
  void EmitHeldPicture(std::uint32_t endTimeMs);
  void EmitAndRemember(const Picture& picture, std::uint32_t endTimeMs);

  int outputWidth = kDefaultOutputWidth;
  int outputHeight = kDefaultOutputHeight;
  FLVRect cropRect = kNoRect;  // guarded by queueMutex
  std::atomic<int> resizeMode{0};
  double outputFPS = kDefaultOutputFPS;
  int decodeAlphaChannel = 1;

  VideoDecodeState syncState;
  std::uint32_t syncPictureTime = 0;
  bool syncHasPicture = false;

  // Worker state, fresh at every Run.
  VideoDecodeState workerState;
  std::int64_t outputFrameCount = 0;
  std::int64_t nextFrameTime = 0;
  std::int64_t frameDuration = 0;
  // A copy of the most recent finished picture: the decoder's own picture
  // may be gone after a later failed decode or a re-open.
  std::vector<std::uint8_t> lastPicture;
  FLVTag* heldTag = nullptr;
  std::vector<std::uint8_t> heldPicture;
  std::uint32_t heldPictureTime = 0;
  bool hasHeldPicture = false;
};

}  // namespace kelvra

#endif  // KELVRA_DECODER_FLV_VIDEO_DECODER_H
