/* The framed binary stream (media type application/vnd.norvale.stream.v1) and a server-sent
 * events line parser.
 *
 * A frame is an 8-byte header followed by its payload; all integers are big-endian:
 *   byte 0 type, byte 1 reserved (0), bytes 2-3 flags, bytes 4-7 payload length. */
#ifndef NORVALE_NV_STREAM_H
#define NORVALE_NV_STREAM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NV_FRAME_HEADER_SIZE 8u
/** Largest payload a frame may announce (256 MiB). */
#define NV_FRAME_MAX_PAYLOAD 268435456u

#define NV_FRAME_INIT 1
#define NV_FRAME_BATCH 2
#define NV_FRAME_EOS 3
#define NV_FRAME_ERROR 4
#define NV_FRAME_TRACE 5
#define NV_FRAME_STATS 6

/** Called once per whole frame. `payload` is valid only during the call. Return 0 to go on;
 *  any other value stops decoding and is returned by nv_frame_feed. */
typedef int (*NVFrameHandler)(uint8_t type, uint16_t flags, const uint8_t* payload, size_t len,
                              void* user);

typedef struct NVFrameDecoder NVFrameDecoder;

/** A new decoder, or NULL when memory cannot be obtained. `handler` may be NULL: whole frames
 *  are then consumed and dropped. */
NVFrameDecoder* nv_frame_create(NVFrameHandler handler, void* user);
/** Consumes one chunk of body bytes of any size, calling the handler for each frame the chunk
 *  completes. Returns 0 when all bytes were taken, -1 when a header announces more than
 *  NV_FRAME_MAX_PAYLOAD bytes (or the frame cannot be buffered), or the first non-zero handler
 *  result. NULL decoder, NULL data or len 0 return 0. */
int nv_frame_feed(NVFrameDecoder* decoder, const void* data, size_t len);
/** 1 when the decoder holds the beginning of an unfinished frame (a body that stops now is
 *  truncated), 0 when it holds nothing or for NULL. */
int nv_frame_at_clean_boundary(const NVFrameDecoder* decoder);
/** Frees the decoder and any pending bytes; NULL is accepted. */
void nv_frame_destroy(NVFrameDecoder* decoder);

/** Called once per event. `event` is "" when the event had no event field. Return 0 to go on. */
typedef int (*NVSseCallback)(const char* event, const char* data, size_t data_len, void* user);

typedef struct NVSseParser NVSseParser;

/** A new parser, or NULL when memory cannot be obtained. */
NVSseParser* nv_sse_create(NVSseCallback callback, void* user);
/** Feeds bytes; returns 0, -1 when the unconsumed line buffer would exceed 16 MiB, or the first
 *  non-zero callback result. NULL parser or NULL bytes return 0. */
int nv_sse_feed(NVSseParser* parser, const char* bytes, size_t len);
/** Completes a pending last line and dispatches a pending event; the callback's result or 0. */
int nv_sse_flush(NVSseParser* parser);
/** Frees the parser; NULL is accepted. */
void nv_sse_destroy(NVSseParser* parser);

#ifdef __cplusplus
}
#endif

#endif /* NORVALE_NV_STREAM_H */
