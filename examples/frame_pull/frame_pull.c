/*
 * frame_pull: pulls the audio of an FLV file into a WAV file and writes one
 * video frame as a PPM picture, using nothing but kelvra.h.
 *
 *   frame_pull input.flv output.wav [frame_number output.ppm [fps]]
 *
 * The WAV holds the file's audio at its own rate and channel count, padded
 * with silence to the end of the video. The frame number counts from 0 at
 * `fps` frames per second (default 25); the picture is the one on screen at
 * that time, black before the first key frame.
 *
 * Exit codes: 0 done, 1 bad arguments, 2 the FLV file cannot be opened,
 * 3 an output file cannot be written.
 */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelvra.h"

enum { kReadSize = 4096, kWavHeaderSize = 44 };
static const unsigned long kMaxWavDataBytes = 0xFFFFFFFFUL - 36;

static void PutU16LE(unsigned char* p, unsigned v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
}

static void PutU32LE(unsigned char* p, unsigned long v) {
  PutU16LE(p, (unsigned)(v & 0xFFFF));
  PutU16LE(p + 2, (unsigned)(v >> 16));
}

/* Canonical 16-bit PCM WAV header for `dataBytes` bytes of samples. */
static void MakeWavHeader(unsigned char* h, int rate, int channels, unsigned long dataBytes) {
  /* The size fields are 32-bit; a longer stream keeps the largest size. */
  if (dataBytes > kMaxWavDataBytes) dataBytes = kMaxWavDataBytes;
  memcpy(h, "RIFF", 4);
  PutU32LE(h + 4, 36 + dataBytes);
  memcpy(h + 8, "WAVEfmt ", 8);
  PutU32LE(h + 16, 16);
  PutU16LE(h + 20, 1); /* PCM */
  PutU16LE(h + 22, (unsigned)channels);
  PutU32LE(h + 24, (unsigned long)rate);
  PutU32LE(h + 28, (unsigned long)rate * (unsigned long)channels * 2);
  PutU16LE(h + 32, (unsigned)(channels * 2));
  PutU16LE(h + 34, 16);
  memcpy(h + 36, "data", 4);
  PutU32LE(h + 40, dataBytes);
}

/* 0 when everything written reached the file, else 3. */
static int CloseOutput(FILE* out) {
  const int failed = ferror(out);
  return fclose(out) == 0 && !failed ? 0 : 3;
}

/* A whole non-negative decimal number. */
static int ParseFrameNumber(const char* text, int* frameNumber) {
  char* end = NULL;
  const long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > INT_MAX) return 0;
  *frameNumber = (int)value;
  return 1;
}

/* A positive, finite frame rate. */
static int ParseFps(const char* text, double* fps) {
  char* end = NULL;
  const double value = strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0.0) || value > 1e6) return 0;
  *fps = value;
  return 1;
}

static int WriteAudio(FLVAVTagReader* reader, const char* path) {
  FLVInfo info;
  AudioFrameReader* audio;
  FILE* out;
  unsigned char header[kWavHeaderSize];
  unsigned char block[kReadSize];
  unsigned long total = 0;
  int more = 1;

  if (!FLVAVTagReader_GetFLVInfoEx(reader, &info) || info.audioFormat == -1) {
    fprintf(stderr, "frame_pull: the file has no audio\n");
    return 0;
  }
  FLVAVTagReader_SeekToBegin(reader);
  audio = AudioFrameReader_Create(reader);
  out = fopen(path, "wb");
  if (audio == NULL || out == NULL) {
    AudioFrameReader_Delete(audio);
    if (out) fclose(out);
    return 3;
  }
  MakeWavHeader(header, info.sampleRate, info.channels, 0);
  fwrite(header, 1, sizeof header, out);
  while (more) {
    more = AudioFrameReader_ReadFrame(audio, block, sizeof block);
    fwrite(block, 1, sizeof block, out);
    total += sizeof block;
  }
  AudioFrameReader_Delete(audio);
  MakeWavHeader(header, info.sampleRate, info.channels, total);
  fseek(out, 0, SEEK_SET);
  fwrite(header, 1, sizeof header, out);
  return CloseOutput(out);
}

static int WriteFrame(FLVAVTagReader* reader, int frameNumber, const char* path, double fps) {
  FLVInfo info;
  VideoFrameReader* video;
  const uint8_t* picture;
  FILE* out;
  int x, y;

  if (!FLVAVTagReader_GetFLVInfoEx(reader, &info) || info.videoCodec == -1) {
    fprintf(stderr, "frame_pull: the file has no video\n");
    return 0;
  }
  video = VideoFrameReader_Create(reader, fps, 0);
  if (video == NULL) return 3;
  picture = VideoFrameReader_ReadFrame(video, frameNumber);
  out = fopen(path, "wb");
  if (out == NULL || picture == NULL) {
    VideoFrameReader_Delete(video);
    if (out) fclose(out);
    return 3;
  }
  fprintf(out, "P6\n%d %d\n255\n", info.width, info.height);
  /* The frame reader's rows run bottom first; PPM wants the top row first. */
  for (y = info.height - 1; y >= 0; --y) {
    const uint8_t* row = picture + (size_t)y * (size_t)info.width * 4;
    for (x = 0; x < info.width; ++x) {
      const uint8_t rgb[3] = {row[x * 4 + 2], row[x * 4 + 1], row[x * 4 + 0]};
      fwrite(rgb, 1, 3, out);
    }
  }
  VideoFrameReader_Delete(video);
  return CloseOutput(out);
}

int main(int argc, char** argv) {
  FLVAVTagReader* reader;
  int result;
  int frameNumber = 0;
  double fps = 25.0;

  if ((argc != 3 && argc != 5 && argc != 6) ||
      (argc >= 5 && !ParseFrameNumber(argv[3], &frameNumber)) ||
      (argc == 6 && !ParseFps(argv[5], &fps))) {
    fprintf(stderr, "usage: frame_pull input.flv output.wav [frame_number output.ppm [fps]]\n");
    return 1;
  }
  reader = FLVAVTagReader_Create();
  if (reader == NULL || !FLVAVTagReader_Open(reader, argv[1])) {
    fprintf(stderr, "frame_pull: cannot open %s\n", argv[1]);
    FLVAVTagReader_Delete(reader);
    return 2;
  }
  result = WriteAudio(reader, argv[2]);
  if (result == 0 && argc >= 5) {
    result = WriteFrame(reader, frameNumber, argv[4], fps);
  }
  FLVAVTagReader_Close(reader);
  FLVAVTagReader_Delete(reader);
  return result;
}
