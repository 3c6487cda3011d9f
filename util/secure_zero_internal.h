// Overwriting secrets before their memory is released.
#pragma once

#include <cstddef>
#include <string>

namespace norvale {

/// Zeroes `size` bytes in a way the optimiser may not remove.
void secure_zero(void* data, size_t size);

/// Zeroes the string's whole buffer (capacity, not only its length), then clears it.
void secure_zero(std::string& text);

/// Zeroes a NUL-terminated heap string and frees it; NULL is accepted.
void secure_free(char* text);

}  // namespace norvale
