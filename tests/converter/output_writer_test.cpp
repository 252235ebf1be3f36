// The output path as the ASF encoder receives it.
#include <gtest/gtest.h>

#include "output_writer.h"

namespace kelvra {
namespace {

TEST(PathToUtf16, Utf8BecomesUtf16WithSurrogatePairs) {
  EXPECT_EQ(PathToUtf16("/tmp/a.wma"), u"/tmp/a.wma");
  EXPECT_EQ(PathToUtf16("tone_\xc3\xa9_\xe2\x82\xac_\xf0\x9f\x8e\xb5"),
            u"tone_\u00e9_\u20ac_\U0001F3B5");
}

TEST(PathToUtf16, BytesThatAreNotUtf8TravelAsEscapes) {
  // A lone continuation byte, a cut sequence, an overlong form and an
  // encoded surrogate: each byte becomes U+DC00 + byte.
  EXPECT_EQ(PathToUtf16("a\x80z"), std::u16string(u"a") + char16_t{0xDC80} + u"z");
  EXPECT_EQ(PathToUtf16("a\xe2\x82"), std::u16string(u"a") + char16_t{0xDCE2} + char16_t{0xDC82});
  EXPECT_EQ(PathToUtf16("\xc0\xaf"), std::u16string() + char16_t{0xDCC0} + char16_t{0xDCAF});
  EXPECT_EQ(PathToUtf16("\xed\xa0\x80"),
            std::u16string() + char16_t{0xDCED} + char16_t{0xDCA0} + char16_t{0xDC80});
}

}  // namespace
}  // namespace kelvra
