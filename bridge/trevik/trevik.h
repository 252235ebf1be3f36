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

/* Playing time of `size` payload bytes (the audio body after its flags byte)
 * of FLV sound format `soundFormat`, in 100-ns units; -1 when no duration can
 * be found. `sampleRate`, `bytesPerSample` and `channels` are the nominal
 * values from the flags byte; codecs that fix their own rate ignore them. */
TREVIK_API int64_t CalcFLVAudioBlockDuration(const uint8_t* payload, int size, int soundFormat,
                                             int sampleRate, int bytesPerSample, int channels);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TREVIK_H */
