// Builds framed stream bodies for tests: 8-byte big-endian headers and payloads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nv_test {

inline void put_u32(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

/// Appends one frame with the given type, flags and payload.
inline void append_frame(std::string& out, uint8_t type, std::string_view payload,
                         uint16_t flags = 0) {
  out.push_back(static_cast<char>(type));
  out.push_back('\0');
  out.push_back(static_cast<char>(flags >> 8));
  out.push_back(static_cast<char>(flags));
  put_u32(out, static_cast<uint32_t>(payload.size()));
  out.append(payload);
}

inline std::string frame(uint8_t type, std::string_view payload, uint16_t flags = 0) {
  std::string out;
  append_frame(out, type, payload, flags);
  return out;
}

/// A BATCH payload: result-set index, 4 uninterpreted bytes, then the IPC bytes.
inline std::string batch_payload(uint32_t result_set, std::string_view ipc) {
  std::string out;
  put_u32(out, result_set);
  put_u32(out, 0);
  out.append(ipc);
  return out;
}

inline std::string eos_payload(uint32_t result_set) {
  std::string out;
  put_u32(out, result_set);
  return out;
}

}  // namespace nv_test
