// Splitting a fuzz input into the pieces a harness needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nv_fuzz {

/// Reads from the front of the input; once it is exhausted every read gives zeros or "".
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
  /// A piece of at most `max` bytes whose length is given by the next two bytes.
  std::string_view piece(size_t max = 65535) {
    size_t n = (static_cast<size_t>(byte()) << 8) | byte();
    if (n > max) n = max;
    return take(n);
  }
  /// Everything that is left.
  std::string_view rest() { return take(size_ - pos_); }
  size_t left() const { return size_ - pos_; }

 private:
  std::string_view take(size_t n) {
    if (n > size_ - pos_) n = size_ - pos_;
    std::string_view out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace nv_fuzz
