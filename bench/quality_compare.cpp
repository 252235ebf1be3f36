// quality_compare SOURCE REFERENCE CANDIDATE LEAD: SNR of two decodings of
// the same audio against their source, as the benchmark prints it. Each
// file is raw interleaved s16le stereo (a pipe will do: it is read once, in
// step); REFERENCE and CANDIDATE start with LEAD samples per channel that
// the source lacks (an ADTS decoder's 1024-sample lead-in). Prints each
// decoding's sample count and overall SNR, and the 4096-sample window where
// the candidate's SNR lies furthest behind the reference's.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kChannels = 2;
constexpr long kWindow = 4096;
constexpr double kMinNoise = 1.0;

double Db(double signal, double noise) { return 10.0 * std::log10(signal / std::max(noise, kMinNoise)); }

// One sample frame's worth of one file; false at its end.
bool ReadFrame(std::FILE* file, int16_t* frame) {
  return std::fread(frame, sizeof(int16_t), kChannels, file) == kChannels;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: quality_compare SOURCE REFERENCE CANDIDATE LEAD\n");
    return 2;
  }
  std::FILE* source = std::fopen(argv[1], "rb");
  std::FILE* reference = std::fopen(argv[2], "rb");
  std::FILE* candidate = std::fopen(argv[3], "rb");
  if (source == nullptr || reference == nullptr || candidate == nullptr) return 2;
  int16_t s[kChannels], r[kChannels], c[kChannels];
  long referenceSamples = 0, candidateSamples = 0;
  for (long lead = std::atol(argv[4]); lead > 0; --lead) {
    referenceSamples += ReadFrame(reference, r);
    candidateSamples += ReadFrame(candidate, c);
  }
  double signal = 0, referenceNoise = 0, candidateNoise = 0;
  double windowSignal = 0, windowReference = 0, windowCandidate = 0;
  double worst = -1e9;
  long worstAt = 0, compared = 0;
  for (;;) {
    const bool haveSource = ReadFrame(source, s);
    const bool haveReference = ReadFrame(reference, r);
    const bool haveCandidate = ReadFrame(candidate, c);
    referenceSamples += haveReference;
    candidateSamples += haveCandidate;
    if (!haveSource && !haveReference && !haveCandidate) break;
    if (!haveSource || !haveReference || !haveCandidate) continue;
    for (int k = 0; k < kChannels; ++k) {
      windowSignal += static_cast<double>(s[k]) * s[k];
      windowReference += std::pow(static_cast<double>(r[k]) - s[k], 2);
      windowCandidate += std::pow(static_cast<double>(c[k]) - s[k], 2);
    }
    if (++compared % kWindow == 0) {
      const double behind = Db(windowSignal, windowReference) - Db(windowSignal, windowCandidate);
      if (behind > worst) {
        worst = behind;
        worstAt = compared - kWindow;
      }
      signal += windowSignal;
      referenceNoise += windowReference;
      candidateNoise += windowCandidate;
      windowSignal = windowReference = windowCandidate = 0;
    }
  }
  std::printf("   samples: one encoder %ld, sonex %ld\n", referenceSamples, candidateSamples);
  std::printf("   SNR: one encoder %.3f dB, sonex %.3f dB (%+.3f)\n", Db(signal, referenceNoise),
              Db(signal, candidateNoise), Db(signal, candidateNoise) - Db(signal, referenceNoise));
  std::printf("   worst 4096-sample window: sonex %.2f dB behind at %.2f s\n", worst,
              static_cast<double>(worstAt) / 44100.0);
  return 0;
}
