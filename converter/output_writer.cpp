#include "output_writer.h"

#include <cstdio>

#include "command_line.h"

namespace kelvra {

namespace {

// The writer's two creation arguments and the encoder's unused places.
constexpr int kWriterCreateArg0 = 0;
constexpr int kWriterCreateArg1 = 1;
constexpr int kUnused = 0;

void RemoveOutputFile(const std::string& path) { std::remove(path.c_str()); }

bool OpenAsfEncoder(ConverterSettings& settings) {
  settings.encoder = AsfEnc_Create();
  AsfEnc_SetEncodingParams(settings.encoder, kUnused, kUnused, kUnused, settings.codecId, kUnused,
                           kUnused, settings.sampleRate, settings.channels, settings.bitRate);
  const std::u16string widePath = PathToUtf16(settings.outputPath);
  return AsfEnc_Open(settings.encoder, widePath.c_str()) != 0;
}

bool OpenBridgeWriter(ConverterSettings& settings) {
  settings.writer = AVW_Create(kWriterCreateArg0, kWriterCreateArg1);
  AVW_SetupAudioParams(settings.writer, settings.codecId, settings.bitRate, settings.sampleRate,
                       settings.channels);
  AVW_SetOutputFormat(settings.writer, settings.formatName ? settings.formatName->c_str() : "");
  AVW_SetOutFile(settings.writer, settings.outputPath.c_str());
  return AVW_Open(settings.writer) != 0;
}

}  // namespace

bool UsesAsfEncoder(const ConverterSettings& settings) {
  return settings.formatName && *settings.formatName == kAsfFormatName;
}

int OpenOutputWriter(ConverterSettings& settings) {
  // The probe creates the file empty and removes it again, so an existing
  // file of that name is gone before the writer creates its own.
  std::FILE* probe = std::fopen(settings.outputPath.c_str(), "wb");
  if (probe == nullptr) {
    std::printf("Error: (2) Can't create '%s' for writting\n", settings.outputPath.c_str());
    return kExitCannotCreateOutput;
  }
  std::fclose(probe);
  RemoveOutputFile(settings.outputPath);

  const bool opened = UsesAsfEncoder(settings) ? OpenAsfEncoder(settings) : OpenBridgeWriter(settings);
  if (!opened) {
    // Whatever the writer may have left behind goes too; the handles are
    // released so that nothing outlives the failed open.
    FinishOutputWriter(settings);
    RemoveOutputFile(settings.outputPath);
    std::printf("Error: (3) Bad encoding parameters\n");
    return kExitBadEncodingParameters;
  }
  return kExitSuccess;
}

void WriteAudioCallBack(void* userData, const std::uint8_t* data, std::int32_t size,
                        std::int64_t timestamp, std::int64_t duration, std::int32_t /*firstFlag*/,
                        std::int32_t /*secondFlag*/) {
  // The audio decoder reports tags it cannot decode with a null block, and a
  // decoded block may be empty.
  if (userData == nullptr || data == nullptr || size <= 0) return;
  const auto& settings = *static_cast<const ConverterSettings*>(userData);
  if (UsesAsfEncoder(settings)) {
    AsfEnc_WriteAudioEx(settings.encoder, data, size, settings.sampleRate, settings.channels,
                        timestamp, duration);
  } else {
    AVW_WriteAudioFrame(settings.writer, data, size, settings.sampleRate, settings.channels);
  }
}

void FinishOutputWriter(ConverterSettings& settings) {
  if (settings.encoder != nullptr) {
    AsfEnc_WriteAudioEnd(settings.encoder);
    AsfEnc_Close(settings.encoder);
    AsfEnc_Delete(settings.encoder);
    settings.encoder = nullptr;
  }
  if (settings.writer != nullptr) {
    AVW_Close(settings.writer);
    AVW_Delete(settings.writer);
    settings.writer = nullptr;
  }
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
