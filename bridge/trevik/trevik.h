/*
 * trevik.h - the FLV helper: playing time of one FLV audio payload.
 */
#ifndef TREVIK_H
#define TREVIK_H

#include <stdint.h>

#if defined(TREVIK_BUILDING_LIBRARY)
#define TREVIK_API __attribute__((visibility("default")))
#else
#define TREVIK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The AudioSpecificConfig of an FLV AAC sequence header (the bytes after
 * the AACPacketType byte). `sampleRate` and `channels` are the core codec's;
 * `outputSampleRate` and `outputChannels` are what a decoder gives out when
 * the configuration announces SBR (a doubled rate) or parametric stereo. */
typedef struct TrevikAacConfig {
  int32_t objectType; /* the core's audio object type (2: AAC-LC) */
  int32_t sampleRate;
  int32_t channels;
  int32_t outputSampleRate;
  int32_t outputChannels;
} TrevikAacConfig;

/* 1 and *config filled when the bytes hold a configuration FLV AAC can use;
 * 0 otherwise (*config untouched). */
TREVIK_API int ParseAacAudioSpecificConfig(const uint8_t* bytes, int size,
                                           TrevikAacConfig* config);

/* Playing time of `size` payload bytes (the audio body after its flags byte)
 * of FLV sound format `soundFormat`, in 100-ns units; -1 when no duration can
 * be found. `sampleRate`, `bytesPerSample` and `channels` are the nominal
 * values from the flags byte; codecs that fix their own rate ignore them,
 * and for AAC `sampleRate` is the core rate of the stream's configuration. */
TREVIK_API int64_t CalcFLVAudioBlockDuration(const uint8_t* payload, int size, int soundFormat,
                                             int sampleRate, int bytesPerSample, int channels);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TREVIK_H */
