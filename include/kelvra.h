/*
 * kelvra.h - the exported interface of the Kelvra library (libkelvra.so).
 *
 * Kelvra parses FLV byte streams into tags, reads the tags of FLV files on
 * disk with seek by time, decodes FLV audio and video on worker threads or
 * synchronously, and offers pull-style audio and video frame readers.
 *
 * Conventions
 *  - Every family is a set of plain functions taking an opaque handle first
 *    and answering small integer codes. Objects are made by a family's
 *    _Create export and destroyed by its _Delete export; every _Delete
 *    ignores a null handle and destroys the object whatever its kind.
 *  - Setters answer 1 when the value was stored and 0 when the object is in
 *    the wrong state (most need a stopped or idle object).
 *  - Code 2 means "cannot take the data now": wait about 10 ms and offer the
 *    same data again.
 *  - Times: tag time stamps are unsigned 32-bit milliseconds; decoder clocks,
 *    output time stamps and durations are signed 64-bit counts of 100 ns.
 *  - PCM is signed 16-bit interleaved. Pictures are 4 bytes per pixel
 *    (B, G, R, A in memory), row length width * 4 bytes, rows top first
 *    (except the video frame reader's, see VideoFrameReader_ReadFrame).
 *  - A tag record (FLVTag) and its data block belong to whoever holds the
 *    pointer; release one with FLVStreamParser_DeleteFLVTag.
 *
 * Threads and callbacks
 *  - Each handle is used by one thread at a time; different handles may be
 *    used on different threads at once. Nothing in the library is global
 *    except what FFmpeg keeps for itself.
 *  - Which thread runs a callback:
 *      FLVInfoCallBack, FLVTagCallBack   the thread that called
 *                      FLVStreamParser_DeliverData / _Flush (also through
 *                      FLVStream_DeliverData / _Flush, and inside
 *                      FLVAVTagReader_Open, which has its own parser and no
 *                      user callbacks);
 *      FLVStreamDecoderOutputCallBack, DeleteFLVTagCallBack   the decoder's
 *                      worker thread while it runs (FLVStreamDecoder_Run to
 *                      _Stop, or FLVStream_Run/_RunEx to _Stop/_StopEx); the
 *                      two decoders of a stream have a worker each, so the
 *                      audio and the video callbacks may run at the same
 *                      time.
 *    The frame readers call no user callback.
 *  - What a callback may call: anything on other handles, and the
 *    read-only queries of its own object's family (for example
 *    FLVStreamParser_GetTimeStamp). It must not Run, Stop, Delete or feed
 *    the object whose callback it is, nor wait for that object's worker
 *    (FLVStream_Stop from an output callback would wait for itself).
 *  - Callbacks must not throw (C++ clients) or longjmp out: a decoder worker
 *    whose callback throws stops taking tags and ends as if stopped (its
 *    queued tags are released), and the library goes on; a parser callback
 *    that throws loses the tag it was offered.
 *
 * Result codes of every export
 *    _Create                  the handle, or null (memory short)
 *    _Delete                  none (null ignored)
 *    setters                  1 stored, 0 refused in this state (see each);
 *                             FLVAVTagReader_SetAutoReleaseMemory and
 *                             FLVStreamDecoder_SetResizeMode answer the value
 *    FLVStreamParser_DeliverData, FLVStream_DeliverData   FLV_PARSER_ codes
 *                             (FLV_STREAM_STOPPED from a stopped stream)
 *    FLVAVTagReader_ReadTag, _Seek, _SeekToBegin   FLV_READER_ codes
 *    FLVStream_DeliverDataEx  FLV_STREAM_ codes
 *    Run, Stop, Open, Flush, GetFLVInfo(Ex), GetMinIntervaledFrameTime,
 *    GetNextKeyFrameTimeStamp, AudioFrameReader_ReadFrame,
 *    FLVStreamDecoder_DeliverFLVPacket, _DecodeFLVTag   1 yes / 0 no
 *    FLVAVTagReader_Close     -1 always; FLVAVTagReader_GetDuration: none
 *    FLVStreamParser_GetParsedPacketsCount   the video count
 *    Kelvra_GetVersion        KELVRA_VERSION of the library
 */
#ifndef KELVRA_H
#define KELVRA_H

#include <stdint.h>

#if defined(KELVRA_BUILDING_LIBRARY)
#define KELVRA_API __attribute__((visibility("default")))
#else
#define KELVRA_API
#endif

/* The version of this header: (major << 16) | (minor << 8) | patch. */
#define KELVRA_VERSION_MAJOR 1
#define KELVRA_VERSION_MINOR 0
#define KELVRA_VERSION_PATCH 0
#define KELVRA_VERSION \
  ((KELVRA_VERSION_MAJOR << 16) | (KELVRA_VERSION_MINOR << 8) | KELVRA_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the library loaded, as KELVRA_VERSION: a client built
 * against this header may compare the major numbers. */
KELVRA_API uint32_t Kelvra_GetVersion(void);

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

/* Tag types as found in the tag header's type byte. */
enum {
  FLV_TAG_TYPE_AUDIO = 8,
  FLV_TAG_TYPE_VIDEO = 9,
  FLV_TAG_TYPE_SCRIPT_DATA = 18
};

/* One FLV tag. The data block (`block`) holds a copy of the 11 header bytes
 * followed by the body; `data`, `audioData`, `videoData`, `vp6Data` and
 * `alphaData` point into it. The media fields are selected by `tagType`. */
typedef struct FLVTag {
  int32_t tagType;    /* 8 audio, 9 video, anything else not audio/video */
  uint32_t timestamp; /* milliseconds */
  int32_t streamId;
  union {
    struct {
      int32_t soundFormat; /* 0-15 */
      int32_t soundRate;   /* rate index 0-3 */
      int32_t soundSize;   /* 0: 8-bit samples, 1: 16-bit */
      int32_t soundType;   /* 0: mono, 1: stereo */
      uint8_t* audioData;  /* payload after the flags byte */
      int32_t audioDataSize;
    };
    struct {
      int32_t frameType; /* 1: key frame */
      int32_t codecId;
      int32_t width;  /* declared picture size (key frames) */
      int32_t height;
      int32_t horizontalAdjustment;
      int32_t verticalAdjustment;
      uint8_t* vp6Data; /* VP6 frame (codec 4 and 5) */
      int32_t vp6DataSize;
      uint8_t* alphaData; /* alpha frame (codec 5) */
      int32_t alphaDataSize;
    };
  };
  uint8_t* videoData; /* payload after the flags byte; video tags only */
  int32_t videoDataSize;
  uint8_t* data;     /* body inside `block`, or null */
  uint32_t dataSize; /* the tag header's data size field */
  uint8_t* block;    /* owned data block, or null */
  int32_t storedSize;   /* data size + 15: header, body, previous-tag-size */
  int64_t filePosition; /* stream offset of the tag's first byte */
} FLVTag;

/* Stream information, 64 bytes, copied whole across the boundary.
 * Before anything is found it is zero except videoCodec = audioFormat = -1. */
typedef struct FLVInfo {
  int32_t version;
  int32_t videoCodec;  /* -1: no video */
  int32_t audioFormat; /* -1: no audio */
  int32_t width;
  int32_t height;
  int32_t videoBitRate; /* bit/s */
  int32_t audioBitRate; /* bit/s */
  int32_t bitsPerSample;
  int32_t channels;
  int32_t sampleRate; /* Hz */
  double duration;    /* seconds */
  double frameRate;   /* frames per second */
  uint8_t reserved[8];
} FLVInfo;

/* A rectangle; all four -1 means "none". */
typedef struct FLVRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
} FLVRect;

/* ------------------------------------------------------------------------ */
/* Callbacks                                                                 */
/* ------------------------------------------------------------------------ */

/* Called once when the stream information is known. On entry *decodeVideo and
 * *decodeAudio hold the suggested flags; what the callee leaves there decides
 * which kinds of tags are delivered (parser) or decoded (stream). */
typedef void (*FLVInfoCallBack)(void* userData, FLVInfo* info, int* decodeVideo,
                                int* decodeAudio);

/* Offers a tag. Answer non-zero to take it (the callee then owns it and frees
 * it with FLVStreamParser_DeleteFLVTag); zero leaves it with the offerer. */
typedef int (*FLVTagCallBack)(void* userData, FLVTag* tag);

/* Decoded output: PCM blocks (both flags 0) or pictures (first flag 1: the
 * picture is shown once here; second flag 1: it repeats the last picture to
 * fill a gap). `data` belongs to the decoder and is valid during the call. */
typedef void (*FLVStreamDecoderOutputCallBack)(void* userData, const uint8_t* data,
                                               int32_t size, int64_t timestamp,
                                               int64_t duration, int32_t firstFlag,
                                               int32_t secondFlag);

/* Receives a tag the decoder has finished with; the callee releases it. */
typedef void (*DeleteFLVTagCallBack)(void* userData, FLVTag* tag);

/* ------------------------------------------------------------------------ */
/* Result codes                                                              */
/* ------------------------------------------------------------------------ */

/* FLVStreamParser_DeliverData */
enum {
  FLV_PARSER_OK = 0,           /* consumed; information known, queue offered */
  FLV_PARSER_STREAM_ERROR = 1, /* not an FLV stream; until Stop and Run */
  FLV_PARSER_QUEUE_FULL = 2,   /* nothing consumed; deliver again later */
  FLV_PARSER_NO_DATA = 3,      /* null bytes or zero length */
  FLV_PARSER_INFO_PENDING = 4, /* consumed; tags held until info is known */
  FLV_PARSER_NOT_RUNNING = 5,
  FLV_PARSER_OUT_OF_MEMORY = 7
};

/* FLVAVTagReader_ReadTag, FLVAVTagReader_Seek, FLVAVTagReader_SeekToBegin */
enum {
  FLV_READER_OK = 0,
  FLV_READER_END = 1,          /* ReadTag: no more tags */
  FLV_READER_NOT_OPEN = 3,
  FLV_READER_READ_ERROR = 4,   /* ReadTag: tag not read or parsed;
                                  SeekToBegin: file not positioned */
  FLV_READER_OUT_OF_MEMORY = 5,
  FLV_READER_SEEK_NO_TAG_AFTER = 6, /* Seek: nothing after the time, or the
                                       file could not be positioned */
  FLV_READER_SEEK_NO_MATCH = 7      /* Seek: no tag of the kind at or before
                                       the search point, or a bad kind */
};

/* FLVStream_DeliverData (stopped) and FLVStream_DeliverDataEx */
enum {
  FLV_STREAM_TAKEN = 0,
  FLV_STREAM_BUSY = 2,             /* decoder queue full; offer again */
  FLV_STREAM_NOT_AUDIO_VIDEO = 3,  /* tag stays the caller's */
  FLV_STREAM_STOPPED = 6
};

/* ------------------------------------------------------------------------ */
/* Handles                                                                   */
/* ------------------------------------------------------------------------ */

typedef struct FLVStreamParser FLVStreamParser;
typedef struct FLVAVTagReader FLVAVTagReader;
typedef struct FLVStreamDecoder FLVStreamDecoder;
typedef struct FLVStream FLVStream;
typedef struct AudioFrameReader AudioFrameReader;
typedef struct VideoFrameReader VideoFrameReader;

/* ------------------------------------------------------------------------ */
/* Stream parser: FLV bytes in pieces of any size -> queued tags              */
/* ------------------------------------------------------------------------ */

/* A new, stopped parser; null when memory is short. */
KELVRA_API FLVStreamParser* FLVStreamParser_Create(void);
/* Destroys the parser (null ignored). No callback is called. */
KELVRA_API void FLVStreamParser_Delete(FLVStreamParser* parser);
/* Setters: 1 stored; 0 while running (nothing changes). */
KELVRA_API int FLVStreamParser_SetMaxInterleavedTime(FLVStreamParser* parser, uint32_t seconds);
KELVRA_API int FLVStreamParser_SetMaxFLVTagQueue(FLVStreamParser* parser, uint32_t count);
KELVRA_API int FLVStreamParser_SetFLVInfoCallBack(FLVStreamParser* parser, FLVInfoCallBack callBack,
                                                  void* userData);
KELVRA_API int FLVStreamParser_SetFLVVideoCallBack(FLVStreamParser* parser, FLVTagCallBack callBack,
                                                   void* userData);
KELVRA_API int FLVStreamParser_SetFLVAudioCallBack(FLVStreamParser* parser, FLVTagCallBack callBack,
                                                   void* userData);
/* Non-zero queues and delivers tags that are neither audio nor video. */
KELVRA_API int FLVStreamParser_SetParserNotAudioVideoPacket(FLVStreamParser* parser, int flag);
KELVRA_API int FLVStreamParser_SetFLVNotAudioVideoPacketCallBack(FLVStreamParser* parser,
                                                                 FLVTagCallBack callBack,
                                                                 void* userData);
/* 1 and running; 0 when it was running already. */
KELVRA_API int FLVStreamParser_Run(FLVStreamParser* parser);
/* Feeds bytes (copied as needed); answers an FLV_PARSER_ code. Callbacks run
 * inside this call. */
KELVRA_API int FLVStreamParser_DeliverData(FLVStreamParser* parser, const uint8_t* data, int length);
/* Offers the queue; 1 when it is empty (or the parser is stopped), else 0. */
KELVRA_API int FLVStreamParser_Flush(FLVStreamParser* parser);
/* 1 and stopped (tags still queued are deleted, not offered); 0 when stopped
 * already. */
KELVRA_API int FLVStreamParser_Stop(FLVStreamParser* parser);
/* Frees a tag and its data block; null ignored; the parser may be null. */
KELVRA_API void FLVStreamParser_DeleteFLVTag(FLVStreamParser* parser, FLVTag* tag);
/* Time stamp of the newest audio or video tag queued (ms). */
KELVRA_API uint32_t FLVStreamParser_GetTimeStamp(FLVStreamParser* parser);
/* Writes the audio and video tag counts; answers the video count. */
KELVRA_API int FLVStreamParser_GetParsedPacketsCount(FLVStreamParser* parser, int* audioCount,
                                                     int* videoCount);
/* 1 once the information step has run in this run. */
KELVRA_API int FLVStreamParser_HasCalledFLVInfoCallBack(FLVStreamParser* parser);
/* Damage passed over in this run. Where the bytes cannot be a tag header
 * (type not 8, 9 or 18, stream id not 0, a run of zeros), or a tag's
 * previous-tag-size field disagrees with its size and the next header is not
 * plausible, the parser scans forward to the next tag confirmed by the one
 * after it and carries on; audio lost in between becomes a gap (an empty
 * audio tag). Writes the number of skipped byte ranges, their total length,
 * and the stream offset of the first (-1 when none); a scan still under way
 * counts as a range reaching to the last byte delivered. Null pointers are
 * not written. Answers 1, or 0 (and zeros, -1) for a null parser. */
KELVRA_API int FLVStreamParser_GetSkippedBytes(FLVStreamParser* parser, int64_t* ranges,
                                              int64_t* bytes, int64_t* firstOffset);

/* ------------------------------------------------------------------------ */
/* Tag reader: random access to the tags of an FLV file                      */
/* ------------------------------------------------------------------------ */

/* A new, closed reader with auto-release on; null when memory is short. */
KELVRA_API FLVAVTagReader* FLVAVTagReader_Create(void);
/* Closes and destroys the reader (null ignored). Tags handed out with
 * auto-release off stay valid. */
KELVRA_API void FLVAVTagReader_Delete(FLVAVTagReader* reader);
/* Opens and indexes a file: 1 opened, 0 failed (the reader is then closed). */
KELVRA_API int FLVAVTagReader_Open(FLVAVTagReader* reader, const char* path);
/* Makes `destination` an independent copy of `source` with its own file;
 * answers the destination's open flag. */
KELVRA_API int FLVAVTagReader_Assign(FLVAVTagReader* source, FLVAVTagReader* destination);
/* Copies the information as the parser announced it: 1, or 0 when closed. */
KELVRA_API int FLVAVTagReader_GetFLVInfo(FLVAVTagReader* reader, FLVInfo* info);
/* Copies the information computed from the whole file (bit rates, duration,
 * frame rate): 1, or 0 when closed. */
KELVRA_API int FLVAVTagReader_GetFLVInfoEx(FLVAVTagReader* reader, FLVInfo* info);
/* Smallest interval between consecutive video tags (ms): 1, or 0 when closed. */
KELVRA_API int FLVAVTagReader_GetMinIntervaledFrameTime(FLVAVTagReader* reader, int* interval);
/* End times (ms) of the audio and of the video; 0 for a kind with no tag.
 * The result carries no information. */
KELVRA_API int FLVAVTagReader_GetDuration(FLVAVTagReader* reader, uint32_t* audioDuration,
                                          uint32_t* videoDuration);
/* Damage the open file's parser passed over (see
 * FLVStreamParser_GetSkippedBytes; offsets are file offsets): ranges, total
 * bytes, offset of the first (-1 when none). Answers 1 while open; 0 (and
 * zeros, -1) when closed. */
KELVRA_API int FLVAVTagReader_GetSkippedBytes(FLVAVTagReader* reader, int64_t* ranges,
                                             int64_t* bytes, int64_t* firstOffset);
/* Closes the file and empties the index; answers -1. */
KELVRA_API int FLVAVTagReader_Close(FLVAVTagReader* reader);
/* Reads the next tag in index order whose type matches `typeFilter` (0 any).
 * With auto-release on, *tag is the reader's own record, valid until the next
 * ReadTag/Close/Open/Assign/Delete; with it off, *tag is a new record the
 * caller owns. *duration receives the tag's duration in ms. Answers an
 * FLV_READER_ code; outputs are written only with FLV_READER_OK. */
KELVRA_API int FLVAVTagReader_ReadTag(FLVAVTagReader* reader, int copyData, int typeFilter,
                                      FLVTag** tag, uint32_t* duration);
/* Positions at an audio tag (8) or video key frame (9) for `time` (ms);
 * answers an FLV_READER_ code. */
KELVRA_API int FLVAVTagReader_Seek(FLVAVTagReader* reader, int tagType, uint32_t time);
/* Positions at the first tag: 0, or 4 when the file cannot be positioned. */
KELVRA_API int FLVAVTagReader_SeekToBegin(FLVAVTagReader* reader);
/* First video key frame at or after `time`: 1 and *timestamp written, or 0. */
KELVRA_API int FLVAVTagReader_GetNextKeyFrameTimeStamp(FLVAVTagReader* reader, uint32_t time,
                                                       uint32_t* timestamp);
/* 1: ReadTag hands out the reader's own record; 0: fresh caller-owned
 * records. Answers the flag as given. */
KELVRA_API int FLVAVTagReader_SetAutoReleaseMemory(FLVAVTagReader* reader, int flag);

/* ------------------------------------------------------------------------ */
/* Frame readers: pull decoded media from an open tag reader                 */
/* ------------------------------------------------------------------------ */

/* A PCM reader at the file's own rate and channels; null when `reader` is not
 * open or memory is short. The tag reader must outlive the frame reader. */
KELVRA_API AudioFrameReader* AudioFrameReader_Create(FLVAVTagReader* reader);
/* Fills exactly `size` bytes: 1 more may follow, 0 the audio has ended (the
 * rest is silence). */
KELVRA_API int AudioFrameReader_ReadFrame(AudioFrameReader* reader, uint8_t* destination,
                                          uint32_t size);
KELVRA_API void AudioFrameReader_Delete(AudioFrameReader* reader);
/* A picture reader at `frameRate` output frames per second; null when
 * `reader` is not open or memory is short. */
KELVRA_API VideoFrameReader* VideoFrameReader_Create(FLVAVTagReader* reader, double frameRate,
                                                     int decodeAlphaChannel);
/* The picture visible at output frame `frameNumber` (width * height * 4
 * bytes, owned by the frame reader, valid until its next call). Unlike the
 * decoders' pictures, its rows run bottom first (a bottom-up bitmap); it is
 * black before the first key frame and near and past the video's end. */
KELVRA_API uint8_t* VideoFrameReader_ReadFrame(VideoFrameReader* reader, int frameNumber);
KELVRA_API void VideoFrameReader_Delete(VideoFrameReader* reader);

/* ------------------------------------------------------------------------ */
/* Decoders: worker thread over a FIFO tag queue, or synchronous             */
/* ------------------------------------------------------------------------ */

/* video != 0: a video decoder, else an audio decoder; null when memory is
 * short. */
KELVRA_API FLVStreamDecoder* FLVStreamDecoder_Create(int video);
/* Destroys a stopped decoder (null ignored). Tags still queued are not
 * passed to the delete callback. */
KELVRA_API void FLVStreamDecoder_Delete(FLVStreamDecoder* decoder);
/* Idle only: 1 stored, 0 while running. */
KELVRA_API int FLVStreamDecoder_SetOutputCallBack(FLVStreamDecoder* decoder,
                                                  FLVStreamDecoderOutputCallBack callBack,
                                                  void* userData);
KELVRA_API int FLVStreamDecoder_SetDeleteFLVTagCallBack(FLVStreamDecoder* decoder,
                                                        DeleteFLVTagCallBack callBack,
                                                        void* userData);
KELVRA_API int FLVStreamDecoder_SetMaxFLVTagQueue(FLVStreamDecoder* decoder, int count);
/* Idle only. Links one direction; link both decoders. Deleting a decoder
 * stops every decoder linked to it and unlinks them, in either order. */
KELVRA_API int FLVStreamDecoder_SetBrother(FLVStreamDecoder* decoder, FLVStreamDecoder* brother);
KELVRA_API int FLVStreamDecoder_SetMaxIntervalTime(FLVStreamDecoder* decoder, int milliseconds);
KELVRA_API int FLVStreamDecoder_SetDecodeSyncMode(FLVStreamDecoder* decoder, int mode);
/* Kind-specific settings; 0 where the kind has no such setting. Audio: rate
 * and channels (idle only). Video: size, frame rate, alpha (idle only); crop
 * rectangle (any state, 1); resize mode (any state, answers the mode). */
KELVRA_API int FLVStreamDecoder_SetSampleRate(FLVStreamDecoder* decoder, int sampleRate);
KELVRA_API int FLVStreamDecoder_SetNumberOfChannels(FLVStreamDecoder* decoder, int channels);
KELVRA_API int FLVStreamDecoder_SetOutputSize(FLVStreamDecoder* decoder, int width, int height);
KELVRA_API int FLVStreamDecoder_SetOutputFPS(FLVStreamDecoder* decoder, double fps);
KELVRA_API int FLVStreamDecoder_SetDecodeAlphaChannel(FLVStreamDecoder* decoder, int flag);
KELVRA_API int FLVStreamDecoder_SetCropRect(FLVStreamDecoder* decoder, const FLVRect* rect);
KELVRA_API int FLVStreamDecoder_SetResizeMode(FLVStreamDecoder* decoder, int mode);
/* Synchronous decode on the caller's thread: 1 with *data and *size set to
 * memory owned by the decoder (valid until the next decode), or 0. The tag
 * stays the caller's; a null tag flushes the audio decoder. An H.264 video
 * decoder holds pictures back to put them in presentation order: a picture
 * may belong to an earlier tag (see GetPictureTime), and a null tag hands
 * out one held-back picture per call at the end of the stream. */
KELVRA_API int FLVStreamDecoder_DecodeFLVTag(FLVStreamDecoder* decoder, FLVTag* tag, uint8_t** data,
                                             int* size);
/* Video, after a synchronous decode that gave a picture: its presentation
 * time in ms (the tag time, plus the composition offset for H.264). 1
 * written; 0 for an audio decoder or before the first picture. */
KELVRA_API int FLVStreamDecoder_GetPictureTime(FLVStreamDecoder* decoder, uint32_t* milliseconds);
/* Starts the worker: 1, or 0 when running already or the thread failed. */
KELVRA_API int FLVStreamDecoder_Run(FLVStreamDecoder* decoder);
/* Queues a tag: 1 taken (released after use through the delete callback),
 * 0 refused (idle, or queue over its limit); the caller keeps it. */
KELVRA_API int FLVStreamDecoder_DeliverFLVPacket(FLVStreamDecoder* decoder, FLVTag* tag);
/* Drains the queue and ends the worker: 1, or 0 when idle. */
KELVRA_API int FLVStreamDecoder_Stop(FLVStreamDecoder* decoder);

/* ------------------------------------------------------------------------ */
/* Stream pipeline: a parser and two brother decoders                        */
/* ------------------------------------------------------------------------ */

/* A new, stopped stream; null when memory is short. */
KELVRA_API FLVStream* FLVStream_Create(void);
/* Stops the stream if it runs, then destroys it (null ignored). */
KELVRA_API void FLVStream_Delete(FLVStream* stream);
/* Until the information is announced: 1 stored, 0 too late. Zero values mean
 * "take it from the FLVInfo". */
KELVRA_API int FLVStream_SetOutputSize(FLVStream* stream, int width, int height);
KELVRA_API int FLVStream_SetOutputFPS(FLVStream* stream, double fps);
KELVRA_API int FLVStream_SetDecodeAlphaChannel(FLVStream* stream, int flag);
KELVRA_API int FLVStream_SetSampleRate(FLVStream* stream, int sampleRate);
KELVRA_API int FLVStream_SetNumberOfChannels(FLVStream* stream, int channels);
/* Forwarded to the video decoder at once; answers the decoder's result. */
KELVRA_API int FLVStream_SetCropRect(FLVStream* stream, const FLVRect* rect);
KELVRA_API int FLVStream_SetResizeMode(FLVStream* stream, int mode);
/* Stopped only: 1 stored, 0 while running. */
KELVRA_API int FLVStream_SetParserMaxFLVTagQueue(FLVStream* stream, int count);
KELVRA_API int FLVStream_SetParserMaxInterleavedTime(FLVStream* stream, int seconds);
KELVRA_API int FLVStream_SetAudioDecoderMaxFLVTagQueue(FLVStream* stream, int count);
KELVRA_API int FLVStream_SetVideoDecoderMaxFLVTagQueue(FLVStream* stream, int count);
KELVRA_API int FLVStream_SetDecoderMaxIntervalTime(FLVStream* stream, int milliseconds);
KELVRA_API int FLVStream_SetFLVInfoCallBack(FLVStream* stream, FLVInfoCallBack callBack,
                                            void* userData);
KELVRA_API int FLVStream_SetGetVideoCallBack(FLVStream* stream,
                                             FLVStreamDecoderOutputCallBack callBack,
                                             void* userData);
KELVRA_API int FLVStream_SetGetAudioCallBack(FLVStream* stream,
                                             FLVStreamDecoderOutputCallBack callBack,
                                             void* userData);
/* Byte feeding through the parser: Run (1, or 0 running), DeliverData (the
 * parser's FLV_PARSER_ code, or FLV_STREAM_STOPPED), Flush (the parser's
 * flush result), Stop (1, or 0 stopped). */
KELVRA_API int FLVStream_Run(FLVStream* stream);
KELVRA_API int FLVStream_DeliverData(FLVStream* stream, const uint8_t* data, int length);
KELVRA_API int FLVStream_Flush(FLVStream* stream);
KELVRA_API int FLVStream_Stop(FLVStream* stream);
/* Ready-tag feeding: RunEx starts the decoders with `info` (null: all zero)
 * and the two flags; DeliverDataEx answers an FLV_STREAM_ code and takes the
 * tag only with FLV_STREAM_TAKEN; StopEx drains and stops the decoders. */
KELVRA_API int FLVStream_RunEx(FLVStream* stream, const FLVInfo* info, int decodeVideo,
                               int decodeAudio);
KELVRA_API int FLVStream_DeliverDataEx(FLVStream* stream, FLVTag* tag);
KELVRA_API int FLVStream_StopEx(FLVStream* stream);
/* The stream parser's GetTimeStamp, GetParsedPacketsCount and
 * HasCalledFLVInfoCallBack. */
KELVRA_API uint32_t FLVStream_GetTimeStamp(FLVStream* stream);
KELVRA_API int FLVStream_GetParsedPacketsCount(FLVStream* stream, int* audioCount,
                                               int* videoCount);
KELVRA_API int FLVStream_HasCalledFLVInfoCallBack(FLVStream* stream);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(FLVInfo) == 64, "FLVInfo crosses the library boundary as 64 bytes");
static_assert(sizeof(FLVRect) == 16, "FLVRect is four 32-bit integers");
#else
_Static_assert(sizeof(FLVInfo) == 64, "FLVInfo crosses the library boundary as 64 bytes");
#endif

#endif /* KELVRA_H */
