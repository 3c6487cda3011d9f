// The INIT manifest of an ingest: one JSON object on one line, its members in a fixed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct NVIngestHandle;

namespace norvale::ingest {

/// JSON string escaping of the manifest: quote and backslash are backslash-escaped, bytes 8, 9,
/// 10, 12 and 13 become \b \t \n \f \r, other bytes below 32 become \u00xx (lower-case hex),
/// every other byte (127 and UTF-8 included) is copied unchanged.
std::string json_escape(std::string_view text);


/// The manifest text for the handle's configuration and schema bytes.
std::string build_manifest(const NVIngestHandle& h);

/// "append", "upsert", "overwrite", "land", or null for any other value.
const char* mode_name(int32_t mode);
/// "arrow_ipc", "parquet", or null for any other value.
const char* payload_format_name(int32_t format);

}  // namespace norvale::ingest
