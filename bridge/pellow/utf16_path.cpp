#include "utf16_path.h"

#include <cstdint>

namespace pellow {
namespace {

constexpr char32_t kHighSurrogateFirst = 0xD800;
constexpr char32_t kLowSurrogateFirst = 0xDC00;
constexpr char32_t kSurrogateEnd = 0xE000;
constexpr char32_t kSupplementaryFirst = 0x10000;
constexpr int kSurrogateBits = 10;
// File names on Linux are bytes, not always UTF-8. A byte that is not valid
// UTF-8 travels as the lone low surrogate U+DC80..U+DCFF and becomes that
// byte again here, so every name the file system accepts survives.
constexpr char32_t kEscapedByteFirst = 0xDC80;
constexpr char32_t kEscapedByteEnd = 0xDD00;

void AppendUtf8(char32_t code, std::string& out) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

std::optional<std::string> Utf16ToUtf8(const char16_t* text) {
  if (text == nullptr) return std::nullopt;
  std::string out;
  for (const char16_t* unit = text; *unit != 0; ++unit) {
    char32_t code = *unit;
    if (code >= kEscapedByteFirst && code < kEscapedByteEnd) {
      out.push_back(static_cast<char>(code - kLowSurrogateFirst));
      continue;
    }
    if (code >= kHighSurrogateFirst && code < kSurrogateEnd) {
      const char32_t low = unit[1];
      if (code >= kLowSurrogateFirst || low < kLowSurrogateFirst || low >= kSurrogateEnd) {
        return std::nullopt;
      }
      code = kSupplementaryFirst + ((code - kHighSurrogateFirst) << kSurrogateBits) +
             (low - kLowSurrogateFirst);
      ++unit;
    }
    AppendUtf8(code, out);
  }
  return out;
}

}  // namespace pellow
