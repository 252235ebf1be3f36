// Names accepted by "-acodec" and the codec identifiers the output writer
// receives for them (libavcodec's numbering of 2008).
#ifndef KELVRA_CONVERTER_CODEC_NAME_TABLE_H
#define KELVRA_CONVERTER_CODEC_NAME_TABLE_H

#include <cstdint>
#include <span>

namespace kelvra {

struct CodecNameRow {
  const char* name;
  std::int32_t codecId;
};

class CodecNameTable {
 public:
  // The rows in search order. The first 18 name video codecs; "-acodec"
  // takes them like the others. "adpcm_ms" appears twice.
  static std::span<const CodecNameRow> Rows();
};

// Identifier of the first row whose name equals `name` exactly (case
// matters); 0 for a null name or one that no row has.
std::int32_t LookupCodecId(const char* name);

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_CODEC_NAME_TABLE_H
