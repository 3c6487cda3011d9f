// Reading the server's answer to an ingest: a framed stream holding one STATS frame (success)
// or one ERROR frame (failure). Members of the JSON payloads are found by plain text search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvale::ingest {

/// The first occurrence of "key" (quoted), then the next ':' after it, then white space; the
/// signed decimal integer there. Empty when the key is absent or no digit parses.
std::optional<int64_t> find_json_int64(std::string_view text, std::string_view key);
/// As find_json_int64, parsed as a double.
std::optional<double> find_json_double(std::string_view text, std::string_view key);
/// After the key and the next ':', the next double-quoted string with its escapes resolved
/// (\" \/ \\ \n \r \t; a backslash before any other character yields that character). Empty
/// when the key, the opening quote or the closing quote is missing.
std::optional<std::string> find_json_string(std::string_view text, std::string_view key);
/// True when the value after the key, the next ':' and white space starts with "true".
bool find_json_true(std::string_view text, std::string_view key);
/// The double-quoted strings between the next '[' after the key and the first ']' after that
/// (a backslash makes the next character literal). Empty when the key or brackets are missing.
std::vector<std::string> find_json_string_array(std::string_view text, std::string_view key);

/// What the walk over the response found.
struct IngestAnswer {
  enum class Kind { kNone, kStats, kError };
  Kind kind = Kind::kNone;
  std::string stats_json;  // kStats: the STATS payload from byte 8 on
  std::string message;     // kError: the ERROR frame's "message"
  std::string sqlstate;    // kError: the ERROR frame's "sqlstate"
};

/// Walks the frames of the response body: the first STATS frame with more than 7 payload bytes
/// or the first ERROR frame ends the walk; other frames are skipped; a header or payload that
/// runs past the end of the body ends it too.
IngestAnswer walk_ingest_response(std::string_view body);

}  // namespace norvale::ingest
