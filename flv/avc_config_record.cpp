// Only what the picture size needs is interpreted; every other SPS field is
// read past. The layouts are those of ISO/IEC 14496-15 (the record) and
// ITU-T H.264 7.3.2.1.1 (the SPS).
#include "flv/avc_config_record.h"

#include "flv/buffer_reader.h"
#include "flv/rbsp_bit_reader.h"

namespace kelvra {

namespace {

// Record: version, profile, compatibility, level, length size byte, then
// the SPS count byte at offset 5 and the first SPS's 16-bit length.
constexpr std::int64_t kSpsCountOffset = 5;
constexpr std::uint8_t kSpsCountMask = 0x1F;
constexpr std::uint8_t kNalTypeMask = 0x1F;
constexpr std::uint8_t kNalTypeSps = 7;
constexpr int kNalHeaderBits = 8;
constexpr int kByteBits = 8;

constexpr int kMacroblockSize = 16;
// No H.264 level allows a side of more than this many macroblocks (8 times
// the largest frame size of level 6.2, square root, rounded up).
constexpr std::uint32_t kMaxMacroblocksPerSide = 1056;
constexpr std::uint32_t kMaxSeqParameterSetId = 31;
constexpr std::uint32_t kMaxChromaFormatIdc = 3;
constexpr std::uint32_t kMaxPocCycleLength = 255;
constexpr std::uint32_t kChroma444 = 3;
constexpr std::uint32_t kChroma420 = 1;
constexpr int kScalingListsUpTo422 = 8;
constexpr int kScalingListsFor444 = 12;
constexpr int kSmallScalingLists = 6;
constexpr int kSmallScalingListSize = 16;
constexpr int kLargeScalingListSize = 64;
constexpr std::int32_t kScalingDeltaModulo = 256;
constexpr std::int32_t kDefaultNextScale = 8;

// Profiles whose SPS carries the chroma format, bit depths and scaling
// matrices (the high profiles and their scalable and multiview kin).
bool HasChromaFormatFields(std::uint32_t profileIdc) {
  switch (profileIdc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86:
    case 118: case 128: case 138: case 139: case 134: case 135:
      return true;
    default:
      return false;
  }
}

void SkipScalingList(RbspBitReader& bits, int size) {
  std::int32_t lastScale = kDefaultNextScale;
  std::int32_t nextScale = kDefaultNextScale;
  for (int j = 0; j < size && !bits.Failed(); ++j) {
    if (nextScale != 0) {
      const std::int32_t delta = bits.ReadSignedExpGolomb();
      nextScale = ((lastScale + delta) % kScalingDeltaModulo + kScalingDeltaModulo) %
                  kScalingDeltaModulo;
    }
    lastScale = nextScale == 0 ? lastScale : nextScale;
  }
}

}  // namespace

bool AvcConfigRecord::ParsePictureSize(const std::uint8_t* record, std::size_t size,
                                       AvcPictureSize* out) {
  if (record == nullptr || out == nullptr) return false;
  BufferReader reader(record, static_cast<std::int64_t>(size));
  reader.Seek(kSpsCountOffset, BufferReader::kFromStart);
  std::uint8_t countByte = 0;
  std::uint8_t sizeHigh = 0;
  std::uint8_t sizeLow = 0;
  if (!reader.ReadU8(&countByte) || !reader.ReadU8(&sizeHigh) || !reader.ReadU8(&sizeLow)) {
    return false;
  }
  const int spsCount = countByte & kSpsCountMask;
  const std::int64_t spsSize = (sizeHigh << 8) | sizeLow;
  const std::int64_t spsStart = reader.Position();
  if (spsCount == 0 || spsSize == 0 || spsStart + spsSize > reader.Size()) return false;
  return ParseSequenceParameterSet(record + spsStart, static_cast<std::size_t>(spsSize), out);
}

bool AvcConfigRecord::ParseSequenceParameterSet(const std::uint8_t* nalUnit, std::size_t size,
                                                AvcPictureSize* out) {
  if (nalUnit == nullptr || size == 0 || out == nullptr) return false;
  if ((nalUnit[0] & kNalTypeMask) != kNalTypeSps) return false;
  RbspBitReader bits(nalUnit, size);
  std::uint32_t nalHeader = 0;
  std::uint32_t profileIdc = 0;
  std::uint32_t constraintFlags = 0;
  std::uint32_t level = 0;
  if (!bits.Read(kNalHeaderBits, &nalHeader) || !bits.Read(kByteBits, &profileIdc) ||
      !bits.Read(kByteBits, &constraintFlags) || !bits.Read(kByteBits, &level)) {
    return false;
  }
  if (bits.ReadUnsignedExpGolomb() > kMaxSeqParameterSetId) return false;

  std::uint32_t chromaFormatIdc = kChroma420;
  bool separateColourPlanes = false;
  if (HasChromaFormatFields(profileIdc)) {
    chromaFormatIdc = bits.ReadUnsignedExpGolomb();
    if (chromaFormatIdc > kMaxChromaFormatIdc) return false;
    if (chromaFormatIdc == kChroma444) separateColourPlanes = bits.ReadFlag();
    bits.ReadUnsignedExpGolomb();  // luma bit depth - 8
    bits.ReadUnsignedExpGolomb();  // chroma bit depth - 8
    bits.ReadFlag();               // transform bypass
    if (bits.ReadFlag()) {         // scaling matrices present
      const int lists = chromaFormatIdc == kChroma444 ? kScalingListsFor444 : kScalingListsUpTo422;
      for (int i = 0; i < lists && !bits.Failed(); ++i) {
        if (bits.ReadFlag()) {
          SkipScalingList(bits, i < kSmallScalingLists ? kSmallScalingListSize
                                                       : kLargeScalingListSize);
        }
      }
    }
  }
  bits.ReadUnsignedExpGolomb();  // log2 of the largest frame number - 4
  const std::uint32_t pocType = bits.ReadUnsignedExpGolomb();
  if (pocType == 0) {
    bits.ReadUnsignedExpGolomb();  // log2 of the largest POC LSB - 4
  } else if (pocType == 1) {
    bits.ReadFlag();                // delta always zero
    bits.ReadSignedExpGolomb();     // offset for non-reference pictures
    bits.ReadSignedExpGolomb();     // offset from top to bottom field
    const std::uint32_t cycle = bits.ReadUnsignedExpGolomb();
    if (cycle > kMaxPocCycleLength) return false;
    for (std::uint32_t i = 0; i < cycle && !bits.Failed(); ++i) bits.ReadSignedExpGolomb();
  }
  bits.ReadUnsignedExpGolomb();  // reference frames
  bits.ReadFlag();               // gaps in frame numbers
  const std::uint32_t widthInMbs = bits.ReadUnsignedExpGolomb() + 1;
  const std::uint32_t heightInMapUnits = bits.ReadUnsignedExpGolomb() + 1;
  const bool frameMbsOnly = bits.ReadFlag();
  if (!frameMbsOnly) bits.ReadFlag();  // macroblock-adaptive frame/field
  bits.ReadFlag();                     // direct 8x8 inference
  std::uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
  if (bits.ReadFlag()) {
    for (auto& offset : crop) offset = bits.ReadUnsignedExpGolomb();
  }
  if (bits.Failed()) return false;

  // Field-coded streams count map units of two macroblock rows.
  const std::uint32_t frameFactor = frameMbsOnly ? 1 : 2;
  if (widthInMbs > kMaxMacroblocksPerSide ||
      heightInMapUnits * frameFactor > kMaxMacroblocksPerSide) {
    return false;
  }
  // Crop units follow the chroma subsampling: 4:2:0 halves both ways, 4:2:2
  // only across, 4:4:4 and monochrome or separate planes not at all.
  const std::uint32_t chromaArrayType = separateColourPlanes ? 0 : chromaFormatIdc;
  const std::uint32_t subWidth = (chromaArrayType == 1 || chromaArrayType == 2) ? 2 : 1;
  const std::uint32_t subHeight = chromaArrayType == 1 ? 2 : 1;
  const std::uint64_t cropX = static_cast<std::uint64_t>(subWidth) * (std::uint64_t{crop[0]} + crop[1]);
  const std::uint64_t cropY =
      static_cast<std::uint64_t>(subHeight) * frameFactor * (std::uint64_t{crop[2]} + crop[3]);
  const std::uint64_t codedWidth = std::uint64_t{widthInMbs} * kMacroblockSize;
  const std::uint64_t codedHeight = std::uint64_t{heightInMapUnits} * frameFactor * kMacroblockSize;
  if (cropX >= codedWidth || cropY >= codedHeight) return false;
  out->width = static_cast<int>(codedWidth - cropX);
  out->height = static_cast<int>(codedHeight - cropY);
  return true;
}

}  // namespace kelvra
