// The exported AudioFrameReader_ and VideoFrameReader_ families. None lets an
// exception escape: creation answers null, reading answers 0 or null.
#include "kelvra.h"
#include "pipeline/audio_frame_reader.h"
#include "pipeline/video_frame_reader.h"

namespace {
kelvra::AudioFrameReader* Unwrap(AudioFrameReader* handle) {
  return reinterpret_cast<kelvra::AudioFrameReader*>(handle);
}
kelvra::VideoFrameReader* Unwrap(VideoFrameReader* handle) {
  return reinterpret_cast<kelvra::VideoFrameReader*>(handle);
}
// The tag reader's handle is the kelvra::FLVAVTagReader its exports made.
kelvra::FLVAVTagReader* TagReader(FLVAVTagReader* handle) {
  return reinterpret_cast<kelvra::FLVAVTagReader*>(handle);
}
}  // namespace

extern "C" {

KELVRA_API AudioFrameReader* AudioFrameReader_Create(FLVAVTagReader* reader) {
  try {
    return reinterpret_cast<AudioFrameReader*>(kelvra::AudioFrameReader::Create(TagReader(reader)));
  } catch (...) {
    return nullptr;
  }
}

KELVRA_API int AudioFrameReader_ReadFrame(AudioFrameReader* reader, uint8_t* destination,
                                          uint32_t size) {
  if (reader == nullptr || (destination == nullptr && size != 0)) return 0;
  try {
    return Unwrap(reader)->ReadFrame(destination, size);
  } catch (...) {
    return 0;
  }
}

KELVRA_API void AudioFrameReader_Delete(AudioFrameReader* reader) { delete Unwrap(reader); }

KELVRA_API VideoFrameReader* VideoFrameReader_Create(FLVAVTagReader* reader, double frameRate,
                                                     int decodeAlphaChannel) {
  try {
    return reinterpret_cast<VideoFrameReader*>(
        kelvra::VideoFrameReader::Create(TagReader(reader), frameRate, decodeAlphaChannel));
  } catch (...) {
    return nullptr;
  }
}

KELVRA_API uint8_t* VideoFrameReader_ReadFrame(VideoFrameReader* reader, int frameNumber) {
  if (reader == nullptr) return nullptr;
  try {
    return Unwrap(reader)->ReadFrame(frameNumber);
  } catch (...) {
    return nullptr;
  }
}

KELVRA_API void VideoFrameReader_Delete(VideoFrameReader* reader) { delete Unwrap(reader); }

}  // extern "C"
