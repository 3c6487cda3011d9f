// Frames of the ingest stream (application/vnd.norvale.stream.v1): an 8-byte header (type,
// a zero byte, zero flags, big-endian payload length) followed by the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace norvale::ingest {

inline constexpr size_t kFrameHeaderSize = 8;
/// Largest payload a frame may carry.
inline constexpr size_t kFrameMaxPayload = 268435456;
/// Bytes of a BATCH payload before the pushed bytes (result-set index 0 and 4 zero bytes).
inline constexpr size_t kBatchPrefixSize = 8;
/// Largest payload nv_ingest_push_batch accepts, so that its BATCH frame stays in bounds.
inline constexpr size_t kMaxBatchPayload = kFrameMaxPayload - kBatchPrefixSize;

inline constexpr uint8_t kFrameInit = 1;
inline constexpr uint8_t kFrameBatch = 2;
inline constexpr uint8_t kFrameEos = 3;
inline constexpr uint8_t kFrameError = 4;
inline constexpr uint8_t kFrameStats = 6;

/// INIT: the manifest text, not terminated.
std::vector<uint8_t> make_init_frame(std::string_view manifest);
/// BATCH: 8 zero bytes, then a copy of the payload (at most kMaxBatchPayload bytes).
std::vector<uint8_t> make_batch_frame(const void* payload, size_t len);
/// EOS: 4 zero bytes.
std::vector<uint8_t> make_eos_frame();

}  // namespace norvale::ingest
