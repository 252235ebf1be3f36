// The writer of a conversion's output: opening the chosen writer (the codec
// bridge's writer, or the ASF encoder for the format "asf") on the file the
// OutputFile gives, the audio callback the stream pipeline hands the
// converted PCM to, and finishing the file, with every write failure
// reported.
#ifndef KELVRA_CONVERTER_OUTPUT_WRITER_H
#define KELVRA_CONVERTER_OUTPUT_WRITER_H

#include <cstdint>
#include <string>

#include "converter_settings.h"

namespace kelvra {

// The format name that selects the ASF encoder, compared exactly.
inline constexpr const char* kAsfFormatName = "asf";

bool UsesAsfEncoder(const ConverterSettings& settings);

// Opens the writer on `writePath` with the resolved settings. Answers
// kExitSuccess, or the exit code the program must end with after printing
// its message: kExitBadEncodingParameters, or kExitWriteError when the
// header could not be written.
int OpenOutputWriter(ConverterSettings& settings, const std::string& writePath);

// The stream pipeline's audio output callback; `userData` is the
// ConverterSettings. Runs on the audio decoder's thread, one call at a time.
// Null or empty blocks are ignored; so is everything once the settings'
// status asks for a stop. A block the writer refuses is noted there as a
// write failure, a block it takes as written audio.
void WriteAudioCallBack(void* userData, const std::uint8_t* data, std::int32_t size,
                        std::int64_t timestamp, std::int64_t duration, std::int32_t firstFlag,
                        std::int32_t secondFlag);

// Completes and frees whichever writer is open. Answers 0 when the file was
// completed (or none was open), else the failure's errno value, or
// ConversionStatus::kNotSystemError.
int FinishOutputWriter(ConverterSettings& settings);

// "Error: (5) Can't write '<output path>': <reason>" on standard error;
// `reason` is an errno value, or not above 0 for a failure of the encoder.
void ReportWriteError(const std::string& outputPath, int reason);

// UTF-16 form of a UTF-8 path for the ASF encoder. Bytes that are not valid
// UTF-8 become the lone surrogates U+DC80..U+DCFF, which the encoder turns
// back into the same bytes, so every path the file system accepts survives.
std::u16string PathToUtf16(const std::string& path);

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_OUTPUT_WRITER_H
