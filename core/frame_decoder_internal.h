// Internal access to the frame decoder beyond the exported C functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <arrow/buffer.h>

#include "norvale/nv_stream.h"

namespace norvale {

/// Called from inside a frame handler: when the frame being handled was assembled in the
/// decoder's pending buffer and `payload` points into it, hands that buffer over as a buffer of
/// exactly `len` bytes at `payload`, so the caller may keep the bytes without copying them; the
/// decoder starts a fresh buffer for its next frame. Returns null when the payload lies in the
/// caller's chunk (it must then be copied to be kept).
std::shared_ptr<arrow::Buffer> frame_decoder_take_payload(NVFrameDecoder* decoder,
                                                          const uint8_t* payload, size_t len);

/// Big-endian reads of the header fields.
inline uint32_t frame_read_u32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint16_t frame_read_u16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace norvale
