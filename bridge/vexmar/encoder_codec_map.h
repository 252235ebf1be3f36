// The writer's codec identifiers (libavcodec's numbering of 2008) and the
// FFmpeg encoders that stand behind them today.
#ifndef VEXMAR_ENCODER_CODEC_MAP_H
#define VEXMAR_ENCODER_CODEC_MAP_H

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vexmar {

// The codec name of an identifier; null when the identifier names no audio
// codec the writer knows.
const char* AudioCodecNameForId(int codecId);

// FFmpeg's encoder for an identifier; null when the identifier is unknown or
// FFmpeg has no encoder for that codec. The codec is static data of FFmpeg.
const AVCodec* FindAudioEncoder(int codecId);

}  // namespace vexmar

#endif  // VEXMAR_ENCODER_CODEC_MAP_H
