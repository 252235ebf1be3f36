// The output file of a conversion: the probe that the path can be created,
// opening the chosen writer (the codec bridge's writer, or the ASF encoder
// for the format "asf"), the audio callback the stream pipeline hands the
// converted PCM to, and finishing the file.
#ifndef KELVRA_CONVERTER_OUTPUT_WRITER_H
#define KELVRA_CONVERTER_OUTPUT_WRITER_H

#include <cstdint>
#include <string>

#include "converter_settings.h"

namespace kelvra {

// The format name that selects the ASF encoder, compared exactly.
inline constexpr const char* kAsfFormatName = "asf";

bool UsesAsfEncoder(const ConverterSettings& settings);

// Probes the output path and opens the writer with the resolved settings.
// Answers kExitSuccess, or the exit code the program must end with after
// printing its message: kExitCannotCreateOutput (nothing created) or
// kExitBadEncodingParameters (the output file removed).
int OpenOutputWriter(ConverterSettings& settings);

// The stream pipeline's audio output callback; `userData` is the
// ConverterSettings. Runs on the audio decoder's thread, one call at a time.
// Null or empty blocks are ignored.
void WriteAudioCallBack(void* userData, const std::uint8_t* data, std::int32_t size,
                        std::int64_t timestamp, std::int64_t duration, std::int32_t firstFlag,
                        std::int32_t secondFlag);

// Completes and frees whichever writer is open.
void FinishOutputWriter(ConverterSettings& settings);

// UTF-16 form of a UTF-8 path for the ASF encoder. Bytes that are not valid
// UTF-8 become the lone surrogates U+DC80..U+DCFF, which the encoder turns
// back into the same bytes, so every path the file system accepts survives.
std::u16string PathToUtf16(const std::string& path);

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_OUTPUT_WRITER_H
