#include "codec_name_table.h"

#include <array>
#include <cstring>

namespace kelvra {

namespace {

constexpr std::int32_t kUnknownCodec = 0;

constexpr std::array<CodecNameRow, 61> kRows{{
    {"dvvideo", 25},
    {"flv", 22},
    {"h261", 4},
    {"h263", 5},
    {"h263p", 20},
    {"huffyuv", 26},
    {"mjpeg", 8},
    {"msmpeg4", 17},
    {"msmpeg4v2", 16},
    {"msmpeg4v1", 15},
    {"snow", 57},
    {"svq1", 23},
    {"wmv1", 18},
    {"wmv2", 19},
    {"wmv3", 74},
    {"mpeg1video", 1},
    {"mpeg2video", 2},
    {"mpeg4", 13},
    {"aac", 0x15002},
    {"ac3", 0x15004},
    {"adpcm_4xm", 0x11007},
    {"adpcm_adx", 0x11009},
    {"adpcm_ct", 0x1100C},
    {"adpcm_ea", 0x1100A},
    {"adpcm_ima_dk3", 0x11002},
    {"adpcm_ima_dk4", 0x11003},
    {"adpcm_ima_qt", 0x11000},
    {"adpcm_ima_smjpeg", 0x11005},
    {"adpcm_ima_wav", 0x11001},
    {"adpcm_ima_ws", 0x11004},
    {"adpcm_ms", 0x11006},
    {"adpcm_ms", 0x11006},
    {"adpcm_sbpro_2", 0x11011},
    {"adpcm_sbpro_3", 0x11010},
    {"adpcm_sbpro_4", 0x1100F},
    {"adpcm_swf", 0x1100D},
    {"adpcm_xa", 0x11008},
    {"adpcm_yamaha", 0x1100E},
    {"amr_nb", 0x12000},
    {"amr_wb", 0x12001},
    {"g726", 0x1100B},
    {"mp2", 0x15000},
    {"mp3", 0x15001},
    {"pcm_alaw", 0x10007},
    {"pcm_mulaw", 0x10006},
    {"pcm_s16be", 0x10001},
    {"pcm_s16le", 0x10000},
    {"pcm_s24be", 0x1000D},
    {"pcm_s24daud", 0x10010},
    {"pcm_s24le", 0x1000C},
    {"pcm_s32be", 0x10009},
    {"pcm_s32le", 0x10008},
    {"pcm_s8", 0x10004},
    {"pcm_u16be", 0x10003},
    {"pcm_u16le", 0x10002},
    {"pcm_u24be", 0x1000F},
    {"pcm_u24le", 0x1000E},
    {"pcm_u32be", 0x1000B},
    {"pcm_u32le", 0x1000A},
    {"pcm_u8", 0x10005},
    {"wmav2", 0x15009},
}};

}  // namespace

std::span<const CodecNameRow> CodecNameTable::Rows() { return kRows; }

std::int32_t LookupCodecId(const char* name) {
  if (name == nullptr) return kUnknownCodec;
  for (const CodecNameRow& row : kRows) {
    if (std::strcmp(row.name, name) == 0) return row.codecId;
  }
  return kUnknownCodec;
}

}  // namespace kelvra
