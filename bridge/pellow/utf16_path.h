// File names reach the encoder as UTF-16; the file system takes UTF-8.
#ifndef PELLOW_UTF16_PATH_H
#define PELLOW_UTF16_PATH_H

#include <optional>
#include <string>

namespace pellow {

// UTF-16 text up to its terminating NUL as UTF-8; nothing for a null pointer
// or a surrogate without its partner, which names no file.
std::optional<std::string> Utf16ToUtf8(const char16_t* text);

}  // namespace pellow

#endif  // PELLOW_UTF16_PATH_H
