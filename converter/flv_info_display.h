// The information mode of sonex: a short description of one FLV file.
#ifndef KELVRA_CONVERTER_FLV_INFO_DISPLAY_H
#define KELVRA_CONVERTER_FLV_INFO_DISPLAY_H

#include <string>

namespace kelvra {

// Prints the picture size, video bit rate and frame rate (when the file has
// video), the sample rate, channels and audio bit rate (when it has audio)
// and the duration to standard output, each line flushed at once. A file the
// tag reader cannot open gets one message on standard error instead. Writes
// no file; the program ends with exit code 0 whatever happens here.
void ShowFLVInfo(const std::string& infoPath);

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_FLV_INFO_DISPLAY_H
