// Lower-case hexadecimal text of binary data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvale::cells {

/// Writes two lower-case hexadecimal digits per byte (2 * length chars, no NUL) through the
/// fastest routine the processor offers, chosen once per process.
void hex_encode_bytes(const uint8_t* data, size_t length, char* out);

/// The byte-by-byte table routine; every other routine gives exactly its text.
void hex_encode_table(const uint8_t* data, size_t length, char* out);

/// A vectorised routine, or nullptr when the processor lacks its instructions.
using HexEncodeFn = void (*)(const uint8_t*, size_t, char*);
HexEncodeFn hex_encode_ssse3_if_supported();
HexEncodeFn hex_encode_avx2_if_supported();

/// Name of the routine hex_encode_bytes uses: "avx2", "ssse3" or "table".
const char* hex_encode_routine_name();

}  // namespace norvale::cells
