#include "decoder/flv_video_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "flv/avc_config_record.h"
#include "flv/flv_tag_constants.h"
#include "shared/units_100ns.h"

namespace kelvra {

namespace {

// The composition-time offset: a signed 24-bit big-endian field.
constexpr std::int32_t kInt24SignBit = 0x800000;
constexpr std::int32_t kInt24Range = 0x1000000;

// Morlin decoder flavour: pictures top row first, VP6.
constexpr int kMorlinDirection = 1;
constexpr int kMorlinCodecVp6 = 4;

// Larger pictures would overflow the 32-bit picture sizes of the callbacks.
constexpr int kMaxOutputDimension = 16384;

bool IsEmptyRect(const FLVRect& r) { return r.right <= r.left || r.bottom <= r.top; }

// Whether [p, p + size) lies inside the tag's body; the offsets inside a
// body come from the file and are not to be trusted.
bool InsideBody(const FLVTag& tag, const std::uint8_t* p, std::int64_t size) {
  if (tag.data == nullptr || p == nullptr || size < 0) return false;
  const auto begin = reinterpret_cast<std::uintptr_t>(tag.data);
  const auto end = begin + tag.dataSize;
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  return at >= begin && at <= end && static_cast<std::uint64_t>(size) <= end - at;
}

std::int32_t CompositionOffset(const std::uint8_t* field) {
  const std::int32_t value = (field[0] << 16) | (field[1] << 8) | field[2];
  return (value & kInt24SignBit) != 0 ? value - kInt24Range : value;
}

// Opens (or re-opens) a bridge decoder, with the codec's configuration when
// it has one; on failure the handle is dropped.
bool OpenBridgeDecoder(OutsideVideoDecoder& d, int imageFormat, int codecId,
                       const std::uint8_t* config = nullptr, int configSize = 0) {
  if (d.bridge == nullptr) {
    d.bridge = VDD_Create();
    if (d.bridge == nullptr) {
      d.kind = OutsideVideoDecoder::kKindNone;
      return false;
    }
  } else {
    VDD_Close(d.bridge);
  }
  if (VDD_SetOutputImageFormat(d.bridge, imageFormat) != 0 &&
      VDD_OpenEx(d.bridge, codecId, config, configSize) != 0) {
    d.kind = OutsideVideoDecoder::kKindBridge;
    return true;
  }
  VDD_Delete(d.bridge);
  d.bridge = nullptr;
  d.kind = OutsideVideoDecoder::kKindNone;
  return false;
}

// VP6 (colour or alpha part): Morlin first, the bridge when Morlin cannot
// make or open a decoder. An existing handle is re-opened by its own kind.
bool OpenVp6Decoder(OutsideVideoDecoder& d, int imageFormat, int width, int height) {
  if (d.kind == OutsideVideoDecoder::kKindMorlin) {
    FlvDecoder_Close(d.morlin);
    if (FlvDecoder_Open(d.morlin, imageFormat, width, height) != 0) return true;
    FlvDecoder_Free(d.morlin);
    d.morlin = nullptr;
    d.kind = OutsideVideoDecoder::kKindNone;
    return false;
  }
  if (d.kind == OutsideVideoDecoder::kKindBridge) {
    return OpenBridgeDecoder(d, imageFormat, VEXMAR_CODEC_VP6F);
  }
  if (MorlinDecoder* m = FlvDecoder_Create(kMorlinDirection, kMorlinCodecVp6)) {
    if (FlvDecoder_Open(m, imageFormat, width, height) != 0) {
      d.morlin = m;
      d.kind = OutsideVideoDecoder::kKindMorlin;
      return true;
    }
    FlvDecoder_Free(m);
  }
  return OpenBridgeDecoder(d, imageFormat, VEXMAR_CODEC_VP6F);
}

// Decodes one frame into a picture of bytesPerPixel bytes per pixel, turned
// top row first. False for a failure or an empty or short picture.
bool DecodeFrame(OutsideVideoDecoder& d, const std::uint8_t* data, int size, int bytesPerPixel,
                 bool bridgeIsBottomUp, Picture* out) {
  std::uint8_t* picture = nullptr;
  int pictureSize = 0;
  int width = 0;
  int height = 0;
  int ok = 0;
  if (d.kind == OutsideVideoDecoder::kKindMorlin) {
    ok = FlvDecoder_DecodeVideo(d.morlin, data, size, &picture, &pictureSize, &width, &height);
  } else if (d.kind == OutsideVideoDecoder::kKindBridge) {
    ok = VDD_Decode(d.bridge, data, size, &picture, &pictureSize, &width, &height);
  }
  if (ok == 0 || picture == nullptr || pictureSize <= 0 || width <= 0 || height <= 0) return false;
  if (static_cast<std::int64_t>(width) * height * bytesPerPixel > pictureSize) return false;
  if (bridgeIsBottomUp && d.kind == OutsideVideoDecoder::kKindBridge) {
    VideoEncoder_SwapImageRowOrderInPlace(picture, width * bytesPerPixel, height);
  }
  *out = Picture{picture, static_cast<int>(static_cast<std::int64_t>(width) * height * bytesPerPixel),
                 width, height};
  return true;
}

// Screen Video 2 keeps the key frame for the inter frames that follow, so
// the decoder is told which frames are key frames.
bool DecodeKeyedFrame(OutsideVideoDecoder& d, const FLVTag& tag, Picture* out) {
  if (d.kind != OutsideVideoDecoder::kKindBridge ||
      VDD_SendPacket(d.bridge, tag.videoData, tag.videoDataSize, tag.timestamp,
                     tag.frameType == kKeyFrameType ? 1 : 0) == 0) {
    return false;
  }
  std::uint8_t* picture = nullptr;
  int size = 0;
  int width = 0;
  int height = 0;
  std::int64_t time = 0;
  bool got = false;
  // One picture per frame; should more be ready, the newest is this frame's.
  while (VDD_ReceivePicture(d.bridge, &picture, &size, &width, &height, &time) != 0) got = true;
  if (!got || picture == nullptr || width <= 0 || height <= 0 ||
      static_cast<std::int64_t>(width) * height * kPictureBytesPerPixel > size) {
    return false;
  }
  *out = Picture{picture, width * height * kPictureBytesPerPixel, width, height};
  return true;
}

}  // namespace

bool SameRect(const FLVRect& a, const FLVRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

FLVRect IntersectRect(const FLVRect& a, const FLVRect& b) {
  if (SameRect(a, kNoRect)) return b;
  if (SameRect(b, kNoRect)) return a;
  FLVRect r;
  r.left = a.left > b.left ? a.left : b.left;
  r.top = a.top > b.top ? a.top : b.top;
  r.right = a.right < b.right ? a.right : b.right;
  r.bottom = a.bottom < b.bottom ? a.bottom : b.bottom;
  return r;
}

void OutsideVideoDecoder::Release() {
  if (morlin != nullptr) {
    FlvDecoder_Close(morlin);
    FlvDecoder_Free(morlin);
    morlin = nullptr;
  }
  if (bridge != nullptr) {
    VDD_Close(bridge);
    VDD_Delete(bridge);
    bridge = nullptr;
  }
  kind = kKindNone;
}

void VideoDecodeState::Release() {
  h263Decoder.Release();
  vp6Decoder.Release();
  vp6aColourDecoder.Release();
  vp6aAlphaDecoder.Release();
  screenDecoder.Release();
  h264Decoder.Release();
  h264Retiring.Release();
  if (resizer != nullptr) VRes_Free(resizer);
  *this = VideoDecodeState{};
}

FLVVideoDecoder::FLVVideoDecoder() = default;

FLVVideoDecoder::~FLVVideoDecoder() {
  ShutDownWorker();
  syncState.Release();
  workerState.Release();
}

int FLVVideoDecoder::SetOutputSize(int width, int height) {
  if (!IsIdle() || width <= 0 || height <= 0 || width > kMaxOutputDimension ||
      height > kMaxOutputDimension) {
    return 0;
  }
  outputWidth = width;
  outputHeight = height;
  return 1;
}

int FLVVideoDecoder::SetOutputFPS(double fps) {
  if (!IsIdle() || !std::isfinite(fps) || fps <= 0.0) return 0;
  outputFPS = fps;
  return 1;
}

int FLVVideoDecoder::SetDecodeAlphaChannel(int flag) {
  if (!IsIdle()) return 0;
  decodeAlphaChannel = flag;
  return 1;
}

// Any state: the worker reads the rectangle once per picture.
int FLVVideoDecoder::SetCropRect(const FLVRect* rect) {
  if (rect == nullptr) return 0;
  std::lock_guard<std::mutex> lock(queueMutex);
  cropRect = *rect;
  return 1;
}

// Any state; answers the mode it was given.
int FLVVideoDecoder::SetResizeMode(int mode) {
  resizeMode.store(mode);
  return mode;
}

FLVRect FLVVideoDecoder::CurrentCropRect() const {
  std::lock_guard<std::mutex> lock(queueMutex);
  return cropRect;
}

// Synchronous use: the picture is returned only. The tag stays the
// caller's, so it is never handed to the delete callback here, and nothing
// is emitted.
int FLVVideoDecoder::DecodeFLVTag(FLVTag* tag, std::uint8_t** data, int* size) {
  if (data == nullptr || size == nullptr) return 0;
  *data = nullptr;
  *size = 0;
  // A running worker owns its decoders; the object's are for idle use.
  if (!IsIdle()) return 0;
  Picture picture;
  std::uint32_t time = 0;
  bool decoded = false;
  if (tag == nullptr) {
    // The end of the stream: the pictures H.264 still holds back.
    EndH264Stream(syncState);
    decoded = NextH264Picture(syncState, &picture, &time);
  } else if (tag->tagType == FLV_TAG_TYPE_VIDEO && tag->codecId == kCodecH264) {
    FeedH264(syncState, *tag);
    decoded = NextH264Picture(syncState, &picture, &time);
  } else {
    decoded = DecodePicture(syncState, tag, &picture);
    time = tag->timestamp;
  }
  if (!decoded) return 0;
  syncPictureTime = time;
  syncHasPicture = true;
  *data = picture.data;
  *size = picture.size;
  return 1;
}

int FLVVideoDecoder::GetPictureTime(std::uint32_t* milliseconds) {
  if (milliseconds == nullptr || !syncHasPicture) return 0;
  *milliseconds = syncPictureTime;
  return 1;
}

bool FLVVideoDecoder::FeedH264(VideoDecodeState& state, const FLVTag& tag) {
  const auto headerSize = static_cast<int>(kAvcPacketHeaderSize);
  if (!InsideBody(tag, tag.videoData, tag.videoDataSize) || tag.videoDataSize < headerSize) {
    return false;
  }
  const std::uint8_t* payload = tag.videoData + headerSize;
  const int payloadSize = tag.videoDataSize - headerSize;
  switch (tag.videoData[0]) {
    case kAvcPacketSequenceHeader:
      return ConfigureH264(state, tag, payload, payloadSize);
    case kAvcPacketNalUnits: {
      if (!state.h264Decoder.exists() || payloadSize <= 0) return false;
      // After each (re)configuration or stream end decoding starts at a key
      // frame; what comes before it has no picture to refer to.
      if (state.h264AwaitingKeyFrame) {
        if (tag.frameType != kKeyFrameType) return false;
        state.h264AwaitingKeyFrame = false;
      }
      const std::int64_t time =
          static_cast<std::int64_t>(tag.timestamp) + CompositionOffset(tag.videoData + 1);
      return VDD_SendPacket(state.h264Decoder.bridge, payload, payloadSize, time,
                            tag.frameType == kKeyFrameType ? 1 : 0) != 0;
    }
    case kAvcPacketEndOfSequence:
      EndH264Stream(state);
      return true;
    default:
      return false;
  }
}

bool FLVVideoDecoder::ConfigureH264(VideoDecodeState& state, const FLVTag& tag,
                                    const std::uint8_t* record, int size) {
  if (size <= 0) return false;
  std::vector<std::uint8_t> config(record, record + size);
  // A repeated header (after a seek, or a recorder that repeats it) changes
  // nothing, so the pictures held back stay in order.
  if (state.currentCodecId == kCodecH264 && state.h264Decoder.exists() &&
      config == state.h264Config) {
    return true;
  }
  // The previous configuration's held-back pictures still come out, before
  // any of the new one; an older retiring decoder gives way.
  state.h264Retiring.Release();
  if (state.h264Decoder.exists()) {
    VDD_SendPacket(state.h264Decoder.bridge, nullptr, 0, 0, 0);
    state.h264Retiring = state.h264Decoder;
    state.h264RetiringRect = state.declaredRect;
    state.h264Decoder = OutsideVideoDecoder{};
  }
  state.h264Config.clear();
  if (!OpenBridgeDecoder(state.h264Decoder, VEXMAR_IMAGE_BGRA, VEXMAR_CODEC_H264, config.data(),
                         size)) {
    return false;
  }
  state.h264Config = std::move(config);
  state.h264AwaitingKeyFrame = true;
  state.declaredRect = FLVRect{0, 0, tag.width, tag.height};
  state.currentCodecId = kCodecH264;
  state.currentWidth = tag.width;
  state.currentHeight = tag.height;
  return true;
}

void FLVVideoDecoder::EndH264Stream(VideoDecodeState& state) {
  if (!state.h264Decoder.exists()) return;
  VDD_SendPacket(state.h264Decoder.bridge, nullptr, 0, 0, 0);
  state.h264AwaitingKeyFrame = true;
}

bool FLVVideoDecoder::NextH264Picture(VideoDecodeState& state, Picture* finished,
                                      std::uint32_t* timeMs) {
  for (;;) {
    const bool retiring = state.h264Retiring.exists();
    OutsideVideoDecoder& source = retiring ? state.h264Retiring : state.h264Decoder;
    if (!source.exists()) return false;
    std::uint8_t* data = nullptr;
    int size = 0;
    int width = 0;
    int height = 0;
    std::int64_t time = 0;
    if (VDD_ReceivePicture(source.bridge, &data, &size, &width, &height, &time) == 0) {
      if (!retiring) return false;
      state.h264Retiring.Release();
      continue;
    }
    if (data == nullptr || width <= 0 || height <= 0 ||
        static_cast<std::int64_t>(width) * height * kPictureBytesPerPixel > size) {
      continue;
    }
    Picture picture{data, width * height * kPictureBytesPerPixel, width, height};
    if (!Crop(state, retiring ? state.h264RetiringRect : state.declaredRect, &picture) ||
        !Resize(state, &picture)) {
      continue;
    }
    *finished = picture;
    *timeMs = static_cast<std::uint32_t>(std::clamp<std::int64_t>(
        time, 0, std::numeric_limits<std::uint32_t>::max()));
    return true;
  }
}

bool FLVVideoDecoder::DecodePicture(VideoDecodeState& state, const FLVTag* tag,
                                    Picture* finished) {
  if (tag == nullptr || tag->tagType != FLV_TAG_TYPE_VIDEO || tag->data == nullptr) return false;
  const bool keyFrame = tag->frameType == kKeyFrameType;
  const bool reopen = tag->codecId != state.currentCodecId ||
                      (keyFrame && (tag->width != state.currentWidth ||
                                    tag->height != state.currentHeight));
  // Decoders are (re)opened on key frames only; until then nothing comes out.
  if (reopen && (!keyFrame || !OpenDecoders(state, *tag))) return false;
  Picture picture;
  if (!DecodeRaw(state, *tag, &picture)) return false;
  if (!Crop(state, state.declaredRect, &picture)) return false;
  if (!Resize(state, &picture)) return false;
  *finished = picture;
  return true;
}

bool FLVVideoDecoder::OpenDecoders(VideoDecodeState& state, const FLVTag& tag) {
  switch (tag.codecId) {
    case kCodecSorensonH263:
      if (!OpenBridgeDecoder(state.h263Decoder, VEXMAR_IMAGE_BGRA, VEXMAR_CODEC_FLV1)) return false;
      break;
    case kCodecScreenVideo:
    case kCodecScreenVideo2:
      if (!OpenBridgeDecoder(state.screenDecoder, VEXMAR_IMAGE_BGRA,
                             tag.codecId == kCodecScreenVideo ? VEXMAR_CODEC_FLASHSV
                                                              : VEXMAR_CODEC_FLASHSV2)) {
        return false;
      }
      break;
    case kCodecVp6:
      if (!OpenVp6Decoder(state.vp6Decoder, VEXMAR_IMAGE_BGRA, tag.width, tag.height)) return false;
      break;
    case kCodecVp6Alpha:
      if (!OpenVp6Decoder(state.vp6aColourDecoder, VEXMAR_IMAGE_BGRA, tag.width, tag.height)) {
        return false;
      }
      if (decodeAlphaChannel != 0 &&
          !OpenVp6Decoder(state.vp6aAlphaDecoder, VEXMAR_IMAGE_ALPHA_PLANE, tag.width,
                          tag.height)) {
        return false;
      }
      break;
    default:
      // Not decoded: recorded all the same, so its tags do not retry.
      break;
  }
  state.declaredRect = FLVRect{0, 0, tag.width, tag.height};
  state.currentCodecId = tag.codecId;
  state.currentWidth = tag.width;
  state.currentHeight = tag.height;
  return true;
}

bool FLVVideoDecoder::DecodeRaw(VideoDecodeState& state, const FLVTag& tag, Picture* picture) {
  switch (tag.codecId) {
    case kCodecSorensonH263:
      if (!InsideBody(tag, tag.videoData, tag.videoDataSize) || tag.videoDataSize <= 0) return false;
      return DecodeFrame(state.h263Decoder, tag.videoData, tag.videoDataSize, kPictureBytesPerPixel,
                         false, picture);
    case kCodecScreenVideo:
    case kCodecScreenVideo2:
      if (!InsideBody(tag, tag.videoData, tag.videoDataSize) || tag.videoDataSize <= 0) return false;
      return DecodeKeyedFrame(state.screenDecoder, tag, picture);
    case kCodecVp6:
      // The adjustment byte is not part of the VP6 frame.
      if (!InsideBody(tag, tag.videoData, tag.videoDataSize) || tag.videoDataSize <= 1) return false;
      return DecodeFrame(state.vp6Decoder, tag.videoData + 1, tag.videoDataSize - 1,
                         kPictureBytesPerPixel, true, picture);
    case kCodecVp6Alpha: {
      if (!InsideBody(tag, tag.vp6Data, tag.vp6DataSize) || tag.vp6DataSize <= 0) return false;
      if (!DecodeFrame(state.vp6aColourDecoder, tag.vp6Data, tag.vp6DataSize,
                       kPictureBytesPerPixel, true, picture)) {
        return false;
      }
      if (decodeAlphaChannel == 0 || !state.vp6aAlphaDecoder.exists()) return true;
      if (!InsideBody(tag, tag.alphaData, tag.alphaDataSize) || tag.alphaDataSize <= 0) return false;
      Picture alpha;
      // Each part is turned top row first on its own, so the planes line up
      // whichever library decoded them.
      if (!DecodeFrame(state.vp6aAlphaDecoder, tag.alphaData, tag.alphaDataSize,
                       kAlphaPlaneBytesPerPixel, true, &alpha)) {
        return false;
      }
      if (alpha.width != picture->width || alpha.height != picture->height) return false;
      const std::int64_t pixels = static_cast<std::int64_t>(picture->width) * picture->height;
      for (std::int64_t i = 0; i < pixels; ++i) {
        picture->data[4 * i + 3] = alpha.data[kAlphaPlaneBytesPerPixel * i];
      }
      return true;
    }
    default:
      return false;
  }
}

bool FLVVideoDecoder::Crop(VideoDecodeState& state, const FLVRect& declaredRect,
                           Picture* picture) {
  const FLVRect whole{0, 0, picture->width, picture->height};
  // A key frame that declared no size (0 x 0) limits nothing.
  const FLVRect declared = IsEmptyRect(declaredRect) ? kNoRect : declaredRect;
  const FLVRect visible = IntersectRect(IntersectRect(declared, whole), CurrentCropRect());
  if (SameRect(visible, whole)) return true;
  if (IsEmptyRect(visible)) return false;
  const int width = visible.right - visible.left;
  const int height = visible.bottom - visible.top;
  const std::size_t bytes = static_cast<std::size_t>(width) * height * kPictureBytesPerPixel;
  if (!SameRect(visible, state.lastCropRect) || state.cropBuffer.size() != bytes) {
    try {
      state.cropBuffer.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
      state.cropBuffer.clear();
      state.lastCropRect = kNoRect;
      return false;
    }
    state.lastCropRect = visible;
  }
  const std::int32_t rect[4] = {visible.left, visible.top, visible.right, visible.bottom};
  VideoEncoder_Crop(state.cropBuffer.data(), rect, picture->data, picture->width, picture->height,
                    picture->width * kPictureBytesPerPixel, kPictureBytesPerPixel);
  *picture = Picture{state.cropBuffer.data(), static_cast<int>(bytes), width, height};
  return true;
}

// The resizer and its buffer follow the output size too, which an idle
// decoder may change between two synchronous decodes.
bool FLVVideoDecoder::Resize(VideoDecodeState& state, Picture* picture) {
  if (picture->width == outputWidth && picture->height == outputHeight) return true;
  const int mode = resizeMode.load();
  if (state.resizer == nullptr || state.resizerSourceWidth != picture->width ||
      state.resizerSourceHeight != picture->height || state.lastResizeMode != mode ||
      state.resizerOutputWidth != outputWidth || state.resizerOutputHeight != outputHeight) {
    if (state.resizer != nullptr) VRes_Free(state.resizer);
    state.resizer = VRes_CreateByResizeMode(picture->width, picture->height, outputWidth,
                                            outputHeight, VEXMAR_IMAGE_BGRA, mode);
    if (state.resizer == nullptr) return false;
    state.resizerSourceWidth = picture->width;
    state.resizerSourceHeight = picture->height;
    state.resizerOutputWidth = outputWidth;
    state.resizerOutputHeight = outputHeight;
    state.lastResizeMode = mode;
  }
  const std::size_t bytes =
      static_cast<std::size_t>(outputWidth) * outputHeight * kPictureBytesPerPixel;
  if (state.resizeBuffer.size() != bytes) {
    try {
      state.resizeBuffer.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
      state.resizeBuffer.clear();
      return false;
    }
  }
  VRes_Resize(state.resizer, picture->data, state.resizeBuffer.data());
  *picture = Picture{state.resizeBuffer.data(), static_cast<int>(bytes), outputWidth, outputHeight};
  return true;
}

void FLVVideoDecoder::ThreadMain() {
  workerState.Release();
  try {
    lastPicture.assign(
        static_cast<std::size_t>(outputWidth) * outputHeight * kPictureBytesPerPixel, 0);
  } catch (const std::bad_alloc&) {
    lastPicture.clear();
  }
  frameDuration = units100ns::PeriodOf(outputFPS);
  nextFrameTime = 0;
  outputFrameCount = 0;
  heldTag = nullptr;
  hasHeldPicture = false;

  RunWorkerLoop();

  const auto framePeriodMs = static_cast<std::uint32_t>(units100ns::ToMs(frameDuration));
  if (heldTag != nullptr) {
    FLVTag* last = heldTag;
    heldTag = nullptr;
    DecodeAndEmit(last, last->timestamp + framePeriodMs);
  }
  // The pictures H.264 still holds back, the last one for one frame period.
  EndH264Stream(workerState);
  EmitH264Pictures();
  EmitHeldPicture(heldPictureTime + framePeriodMs);
  workerState.Release();
  lastPicture = std::vector<std::uint8_t>();
  heldPicture = std::vector<std::uint8_t>();
  MarkWorkerFinished();
}

// A tag is held until the next one arrives: the arriving time stamp ends
// the held picture's time on screen.
void FLVVideoDecoder::ProcessQueuedTag(FLVTag* tag) {
  if (heldTag != nullptr) DecodeAndEmit(heldTag, tag->timestamp);
  heldTag = tag;
}

void FLVVideoDecoder::DecodeAndEmit(FLVTag* tag, std::uint32_t endTimeMs) {
  if (tag->tagType == FLV_TAG_TYPE_VIDEO && tag->codecId == kCodecH264) {
    FeedH264(workerState, *tag);
    EmitH264Pictures();
  } else {
    Picture picture;
    if (DecodePicture(workerState, tag, &picture)) {
      // An H.264 picture still held leaves the screen where this one starts.
      EmitHeldPicture(tag->timestamp);
      EmitAndRemember(picture, endTimeMs);
    }
  }
  ReleaseTag(tag);
}

void FLVVideoDecoder::EmitAndRemember(const Picture& picture, std::uint32_t endTimeMs) {
  EmitAtFrameRate(picture.data, picture.size, endTimeMs, 0);
  if (lastPicture.size() == static_cast<std::size_t>(picture.size)) {
    std::memcpy(lastPicture.data(), picture.data, lastPicture.size());
  }
}

void FLVVideoDecoder::EmitH264Pictures() {
  Picture picture;
  std::uint32_t time = 0;
  while (NextH264Picture(workerState, &picture, &time)) {
    EmitHeldPicture(time);
    try {
      heldPicture.assign(picture.data, picture.data + picture.size);
    } catch (const std::bad_alloc&) {
      continue;  // this picture is skipped; the stream goes on
    }
    heldPictureTime = time;
    hasHeldPicture = true;
  }
}

void FLVVideoDecoder::EmitHeldPicture(std::uint32_t endTimeMs) {
  if (!hasHeldPicture) return;
  hasHeldPicture = false;
  EmitAndRemember(Picture{heldPicture.data(), static_cast<int>(heldPicture.size()), 0, 0},
                  endTimeMs);
}

void FLVVideoDecoder::FillGap(std::int64_t leadMs) {
  if (lastPicture.empty()) return;
  const std::int64_t endMs = units100ns::ToMs(nextFrameTime + frameDuration) + leadMs;
  EmitAtFrameRate(lastPicture.data(), static_cast<int>(lastPicture.size()),
                  static_cast<std::uint32_t>(endMs), 1);
}

// A picture more than 1.1 frame periods early is dropped, one more than 1.1
// periods late is repeated; time stamps are whole frame periods.
void FLVVideoDecoder::EmitAtFrameRate(const std::uint8_t* picture, int size,
                                      std::uint32_t endTimeMs, int repeatFlag) {
  const double due = static_cast<double>(endTimeMs) * outputFPS * 0.001 -
                     static_cast<double>(outputFrameCount);
  if (due < -1.1) return;
  const std::int64_t copies = due <= 1.1 ? 1 : static_cast<std::int64_t>(due + 0.5);
  const int firstFlag = copies == 1 ? 1 : 0;
  for (std::int64_t i = 0; i < copies && !IsAbandoning(); ++i) {
    EmitOutput(picture, size, nextFrameTime, frameDuration, firstFlag, repeatFlag);
    SetCurrentTime(nextFrameTime);
    SyncWithBrother();
    ++outputFrameCount;
    nextFrameTime = units100ns::FromCount(outputFrameCount, outputFPS);
  }
}

}  // namespace kelvra
