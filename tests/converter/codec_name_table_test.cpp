#include "codec_name_table.h"

#include <gtest/gtest.h>

namespace kelvra {
namespace {

TEST(CodecNameTableTest, KnownAudioAndVideoNames) {
  EXPECT_EQ(LookupCodecId("mp3"), 0x15001);
  EXPECT_EQ(LookupCodecId("aac"), 0x15002);
  EXPECT_EQ(LookupCodecId("adpcm_ms"), 0x11006);
  EXPECT_EQ(LookupCodecId("adpcm_ct"), 0x1100C);
  EXPECT_EQ(LookupCodecId("pcm_u8"), 0x10005);
  EXPECT_EQ(LookupCodecId("wmav2"), 0x15009);
  EXPECT_EQ(LookupCodecId("flv"), 22);  // video names are accepted too
  EXPECT_EQ(LookupCodecId("mpeg4"), 13);
  EXPECT_EQ(LookupCodecId("wmv3"), 74);
}

TEST(CodecNameTableTest, UnknownNullAndMiscasedNamesGiveZero) {
  EXPECT_EQ(LookupCodecId(nullptr), 0);
  EXPECT_EQ(LookupCodecId(""), 0);
  EXPECT_EQ(LookupCodecId("MP3"), 0);
  EXPECT_EQ(LookupCodecId("mp"), 0);
  EXPECT_EQ(LookupCodecId("mp3 "), 0);
  EXPECT_EQ(LookupCodecId("vorbis"), 0);
  // The ASF encoder's own codec is not in the table.
  EXPECT_EQ(LookupCodecId("wma"), 0);
}

}  // namespace
}  // namespace kelvra
