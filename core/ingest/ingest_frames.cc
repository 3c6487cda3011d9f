#include "core/ingest/ingest_frames_internal.h"

namespace norvale::ingest {
namespace {

// The header of a frame of `type` announcing `payload_len` bytes, with capacity reserved for
// the payload so that appending it copies the bytes once.
std::vector<uint8_t> frame_header(uint8_t type, size_t payload_len) {
  std::vector<uint8_t> frame;
  frame.reserve(kFrameHeaderSize + payload_len);
  const auto len = static_cast<uint32_t>(payload_len);
  frame.insert(frame.end(),
               {type, 0, 0, 0, static_cast<uint8_t>(len >> 24), static_cast<uint8_t>(len >> 16),
                static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
  return frame;
}

}  // namespace

std::vector<uint8_t> make_init_frame(std::string_view manifest) {
  std::vector<uint8_t> frame = frame_header(kFrameInit, manifest.size());
  frame.insert(frame.end(), manifest.begin(), manifest.end());
  return frame;
}

std::vector<uint8_t> make_batch_frame(const void* payload, size_t len) {
  std::vector<uint8_t> frame = frame_header(kFrameBatch, kBatchPrefixSize + len);
  frame.resize(kFrameHeaderSize + kBatchPrefixSize, 0);
  const auto* bytes = static_cast<const uint8_t*>(payload);
  if (len > 0) frame.insert(frame.end(), bytes, bytes + len);
  return frame;
}

std::vector<uint8_t> make_eos_frame() {
  std::vector<uint8_t> frame = frame_header(kFrameEos, 4);
  frame.resize(kFrameHeaderSize + 4, 0);
  return frame;
}

}  // namespace norvale::ingest
