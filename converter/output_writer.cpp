#include "output_writer.h"

#include <cstdio>
#include <cstring>

#include "command_line.h"
#include "conversion_status.h"

namespace kelvra {

namespace {

// The writer's two creation arguments and the encoder's unused places.
constexpr int kWriterCreateArg0 = 0;
constexpr int kWriterCreateArg1 = 1;
constexpr int kUnused = 0;

// A failure the writer gave no reason for is the encoder's.
int ReasonOf(int writerError) {
  return writerError > 0 ? writerError : ConversionStatus::kNotSystemError;
}

bool OpenAsfEncoder(ConverterSettings& settings, const std::string& writePath) {
  settings.encoder = AsfEnc_Create();
  AsfEnc_SetEncodingParams(settings.encoder, kUnused, kUnused, kUnused, settings.codecId, kUnused,
                           kUnused, settings.sampleRate, settings.channels, settings.bitRate);
  const std::u16string widePath = PathToUtf16(writePath);
  return AsfEnc_Open(settings.encoder, widePath.c_str()) != 0;
}

bool OpenBridgeWriter(ConverterSettings& settings, const std::string& writePath) {
  settings.writer = AVW_Create(kWriterCreateArg0, kWriterCreateArg1);
  AVW_SetupAudioParams(settings.writer, settings.codecId, settings.bitRate, settings.sampleRate,
                       settings.channels);
  AVW_SetOutputFormat(settings.writer, settings.formatName ? settings.formatName->c_str() : "");
  AVW_SetOutFile(settings.writer, writePath.c_str());
  return AVW_Open(settings.writer) != 0;
}

}  // namespace

bool UsesAsfEncoder(const ConverterSettings& settings) {
  return settings.formatName && *settings.formatName == kAsfFormatName;
}

int OpenOutputWriter(ConverterSettings& settings, const std::string& writePath) {
  const bool asf = UsesAsfEncoder(settings);
  const bool opened = asf ? OpenAsfEncoder(settings, writePath) : OpenBridgeWriter(settings, writePath);
  if (opened) return kExitSuccess;
  // A header that could not be written is a write error; any other refusal
  // is the parameters'. The handles are released so that nothing outlives
  // the failed open; the caller removes what the writer may have left.
  const int reason = asf ? AsfEnc_GetLastError(settings.encoder) : AVW_GetLastError(settings.writer);
  FinishOutputWriter(settings);
  if (reason > 0) {
    ReportWriteError(settings.outputPath, reason);
    return kExitWriteError;
  }
  std::fputs("Error: (3) Bad encoding parameters\n", MessageStream(settings));
  return kExitBadEncodingParameters;
}

void ReportWriteError(const std::string& outputPath, int reason) {
  std::fprintf(stderr, "Error: (5) Can't write '%s': %s\n", outputPath.c_str(),
               reason > 0 ? std::strerror(reason) : "the encoder failed");
  std::fflush(stderr);
}

void WriteAudioCallBack(void* userData, const std::uint8_t* data, std::int32_t size,
                        std::int64_t timestamp, std::int64_t duration, std::int32_t /*firstFlag*/,
                        std::int32_t /*secondFlag*/) {
  // The audio decoder reports tags it cannot decode with a null block, and a
  // decoded block may be empty.
  if (userData == nullptr || data == nullptr || size <= 0) return;
  const auto& settings = *static_cast<const ConverterSettings*>(userData);
  ConversionStatus* status = settings.status;
  // Once stopping, the decoder drains its queue quickly into nothing.
  if (status != nullptr && status->StopRequested()) return;
  const bool asf = UsesAsfEncoder(settings);
  const bool written =
      asf ? AsfEnc_WriteAudioEx(settings.encoder, data, size, settings.sampleRate,
                                settings.channels, timestamp, duration) != 0
          : AVW_WriteAudioFrame(settings.writer, data, size, settings.sampleRate,
                                settings.channels) != 0;
  if (status == nullptr) return;
  if (written) {
    status->NoteAudioWritten();
  } else {
    status->NoteWriteFailure(asf ? AsfEnc_GetLastError(settings.encoder)
                                 : AVW_GetLastError(settings.writer));
  }
}

int FinishOutputWriter(ConverterSettings& settings) {
  int reason = 0;
  if (settings.encoder != nullptr) {
    const bool ended = AsfEnc_WriteAudioEnd(settings.encoder) != 0;
    const bool closed = AsfEnc_Close(settings.encoder) != 0;
    if (!ended || !closed) reason = ReasonOf(AsfEnc_GetLastError(settings.encoder));
    AsfEnc_Delete(settings.encoder);
    settings.encoder = nullptr;
  }
  if (settings.writer != nullptr) {
    if (AVW_Close(settings.writer) == 0) reason = ReasonOf(AVW_GetLastError(settings.writer));
    AVW_Delete(settings.writer);
    settings.writer = nullptr;
  }
  return reason;
}

namespace {

constexpr char16_t kEscapeSurrogateBase = 0xDC00;
constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
constexpr std::uint32_t kFirstSupplementary = 0x10000;

// Length of the UTF-8 sequence a lead byte starts, 0 for a byte that cannot
// lead one.
int SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::u16string PathToUtf16(const std::string& path) {
  std::u16string out;
  std::size_t i = 0;
  while (i < path.size()) {
    const auto lead = static_cast<unsigned char>(path[i]);
    const int length = SequenceLength(lead);
    std::uint32_t codePoint = 0;
    bool valid = length > 0 && i + static_cast<std::size_t>(length) <= path.size();
    if (valid) {
      codePoint = length == 1 ? lead : lead & (0x7F >> length);
      for (int k = 1; k < length && valid; ++k) {
        const auto next = static_cast<unsigned char>(path[i + static_cast<std::size_t>(k)]);
        valid = (next & 0xC0) == 0x80;
        codePoint = (codePoint << 6) | (next & 0x3F);
      }
      // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
      const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
      valid = valid && codePoint >= minimum[length] && codePoint <= kMaxCodePoint &&
              !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
    }
    if (!valid) {
      out.push_back(static_cast<char16_t>(kEscapeSurrogateBase + lead));
      ++i;
      continue;
    }
    if (codePoint >= kFirstSupplementary) {
      codePoint -= kFirstSupplementary;
      out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(codePoint));
    }
    i += static_cast<std::size_t>(length);
  }
  return out;
}

}  // namespace kelvra
