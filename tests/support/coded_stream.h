// The packets of a file's first audio or video stream as libavformat's
// demuxer gives them: what the bridge suites feed the decoders they test.
#ifndef KELVRA_TESTS_SUPPORT_CODED_STREAM_H
#define KELVRA_TESTS_SUPPORT_CODED_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avutil.h>
}

#include "support/flv_builder.h"

namespace kelvra::test {

struct CodedStream {
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0, height = 0;         // video
  int sampleRate = 0, channels = 0;  // audio
  Bytes config;                      // the codec's extradata
  std::vector<Bytes> packets;        // empty ones left out
  std::vector<bool> keyFrames;       // one per packet
  std::vector<std::int64_t> timesMs;  // presentation times, one per packet
};

// With `raw`, no parser runs, so an FLV audio packet is one tag's payload
// after the flags byte; without, MP3 is cut into frames as FFmpeg itself
// does. At most `maxPackets` (0: all); a file that cannot be opened fails
// the test.
CodedStream ReadCodedStream(const std::string& path, AVMediaType type, bool raw,
                            std::size_t maxPackets = 0);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_SUPPORT_CODED_STREAM_H
