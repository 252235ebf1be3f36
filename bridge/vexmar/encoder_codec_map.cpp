// Identifier -> codec name -> encoder. The identifiers keep the numbering the
// callers were built against, so they are mapped by name onto today's FFmpeg,
// whose own codec identifiers have since moved.
#include "encoder_codec_map.h"

#include <array>

namespace vexmar {
namespace {

struct CodecRow {
  int id;
  const char* name;         // the callers' name
  const char* ffmpegName;   // FFmpeg's codec descriptor name
};

// Audio codecs only: the writer makes audio files. Rows after wmav2 are
// codecs of the same numbering that FFmpeg can still encode and that suit
// the other muxers a caller may name (ogg, flac, asf).
constexpr std::array kAudioCodecs = {
    CodecRow{0x10000, "pcm_s16le", "pcm_s16le"},
    CodecRow{0x10001, "pcm_s16be", "pcm_s16be"},
    CodecRow{0x10002, "pcm_u16le", "pcm_u16le"},
    CodecRow{0x10003, "pcm_u16be", "pcm_u16be"},
    CodecRow{0x10004, "pcm_s8", "pcm_s8"},
    CodecRow{0x10005, "pcm_u8", "pcm_u8"},
    CodecRow{0x10006, "pcm_mulaw", "pcm_mulaw"},
    CodecRow{0x10007, "pcm_alaw", "pcm_alaw"},
    CodecRow{0x10008, "pcm_s32le", "pcm_s32le"},
    CodecRow{0x10009, "pcm_s32be", "pcm_s32be"},
    CodecRow{0x1000A, "pcm_u32le", "pcm_u32le"},
    CodecRow{0x1000B, "pcm_u32be", "pcm_u32be"},
    CodecRow{0x1000C, "pcm_s24le", "pcm_s24le"},
    CodecRow{0x1000D, "pcm_s24be", "pcm_s24be"},
    CodecRow{0x1000E, "pcm_u24le", "pcm_u24le"},
    CodecRow{0x1000F, "pcm_u24be", "pcm_u24be"},
    CodecRow{0x10010, "pcm_s24daud", "pcm_s24daud"},
    CodecRow{0x11000, "adpcm_ima_qt", "adpcm_ima_qt"},
    CodecRow{0x11001, "adpcm_ima_wav", "adpcm_ima_wav"},
    CodecRow{0x11002, "adpcm_ima_dk3", "adpcm_ima_dk3"},
    CodecRow{0x11003, "adpcm_ima_dk4", "adpcm_ima_dk4"},
    CodecRow{0x11004, "adpcm_ima_ws", "adpcm_ima_ws"},
    CodecRow{0x11005, "adpcm_ima_smjpeg", "adpcm_ima_smjpeg"},
    CodecRow{0x11006, "adpcm_ms", "adpcm_ms"},
    CodecRow{0x11007, "adpcm_4xm", "adpcm_4xm"},
    CodecRow{0x11008, "adpcm_xa", "adpcm_xa"},
    CodecRow{0x11009, "adpcm_adx", "adpcm_adx"},
    CodecRow{0x1100A, "adpcm_ea", "adpcm_ea"},
    CodecRow{0x1100B, "g726", "adpcm_g726"},
    CodecRow{0x1100C, "adpcm_ct", "adpcm_ct"},
    CodecRow{0x1100D, "adpcm_swf", "adpcm_swf"},
    CodecRow{0x1100E, "adpcm_yamaha", "adpcm_yamaha"},
    CodecRow{0x1100F, "adpcm_sbpro_4", "adpcm_sbpro_4"},
    CodecRow{0x11010, "adpcm_sbpro_3", "adpcm_sbpro_3"},
    CodecRow{0x11011, "adpcm_sbpro_2", "adpcm_sbpro_2"},
    CodecRow{0x12000, "amr_nb", "amr_nb"},
    CodecRow{0x12001, "amr_wb", "amr_wb"},
    CodecRow{0x15000, "mp2", "mp2"},
    CodecRow{0x15001, "mp3", "mp3"},
    CodecRow{0x15002, "aac", "aac"},
    CodecRow{0x15004, "ac3", "ac3"},
    CodecRow{0x15009, "wmav2", "wmav2"},
    CodecRow{0x15006, "vorbis", "vorbis"},
    CodecRow{0x15008, "wmav1", "wmav1"},
    CodecRow{0x1500F, "flac", "flac"},
};

const CodecRow* FindRow(int codecId) {
  for (const CodecRow& row : kAudioCodecs) {
    if (row.id == codecId) return &row;
  }
  return nullptr;
}

}  // namespace

const char* AudioCodecNameForId(int codecId) {
  const CodecRow* row = FindRow(codecId);
  return row != nullptr ? row->name : nullptr;
}

const AVCodec* FindAudioEncoder(int codecId) {
  const CodecRow* row = FindRow(codecId);
  if (row == nullptr) return nullptr;
  // By descriptor, not by encoder name: the encoder of amr_nb is called
  // libopencore_amrnb and that of mp3 libmp3lame.
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get_by_name(row->ffmpegName);
  if (descriptor == nullptr || descriptor->type != AVMEDIA_TYPE_AUDIO) return nullptr;
  const AVCodec* encoder = avcodec_find_encoder(descriptor->id);
  // Experimental encoders (the native vorbis, opus) make files other tools
  // may not read; prefer a non-experimental one of the same codec.
  if (encoder != nullptr && (encoder->capabilities & AV_CODEC_CAP_EXPERIMENTAL) != 0) {
    void* iterator = nullptr;
    while (const AVCodec* candidate = av_codec_iterate(&iterator)) {
      if (candidate->id == descriptor->id && av_codec_is_encoder(candidate) &&
          (candidate->capabilities & AV_CODEC_CAP_EXPERIMENTAL) == 0) {
        return candidate;
      }
    }
  }
  return encoder;
}

}  // namespace vexmar
