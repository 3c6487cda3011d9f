#include <charconv>
#include <cstddef>

#include "core/ingest/ingest_frames_internal.h"
#include "core/ingest/ingest_response_internal.h"

namespace norvale::ingest {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Position just after `"key"` and the next ':', or npos.
size_t value_start(std::string_view text, std::string_view key) {
  std::string quoted;
  quoted.reserve(key.size() + 2);
  quoted.push_back('"');
  quoted.append(key);
  quoted.push_back('"');
  const size_t at = text.find(quoted);
  if (at == std::string_view::npos) return std::string_view::npos;
  const size_t colon = text.find(':', at + quoted.size());
  if (colon == std::string_view::npos) return std::string_view::npos;
  return colon + 1;
}

size_t skip_blanks(std::string_view text, size_t pos) {
  while (pos < text.size() && is_blank(text[pos])) ++pos;
  return pos;
}

template <typename T>
std::optional<T> find_number(std::string_view text, std::string_view key) {
  size_t pos = value_start(text, key);
  if (pos == std::string_view::npos) return std::nullopt;
  pos = skip_blanks(text, pos);
  T value{};
  const char* first = text.data() + pos;
  const char* last = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr == first) return std::nullopt;
  return value;
}

char unescape(char c) {
  switch (c) {
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return c;  // '"', '/', '\\' and any other character stand for themselves
  }
}

uint32_t read_be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::optional<int64_t> find_json_int64(std::string_view text, std::string_view key) {
  return find_number<int64_t>(text, key);
}

std::optional<double> find_json_double(std::string_view text, std::string_view key) {
  return find_number<double>(text, key);
}

std::optional<std::string> find_json_string(std::string_view text, std::string_view key) {
  size_t pos = value_start(text, key);
  if (pos == std::string_view::npos) return std::nullopt;
  pos = text.find('"', pos);
  if (pos == std::string_view::npos) return std::nullopt;
  std::string out;
  for (size_t i = pos + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') return out;
    if (c == '\\') {
      if (i + 1 >= text.size()) break;
      out.push_back(unescape(text[++i]));
    } else {
      out.push_back(c);
    }
  }
  return std::nullopt;
}

bool find_json_true(std::string_view text, std::string_view key) {
  size_t pos = value_start(text, key);
  if (pos == std::string_view::npos) return false;
  pos = skip_blanks(text, pos);
  return text.substr(pos).starts_with("true");
}

std::vector<std::string> find_json_string_array(std::string_view text, std::string_view key) {
  std::vector<std::string> out;
  std::string quoted = "\"" + std::string(key) + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string_view::npos) return out;
  const size_t open = text.find('[', at + quoted.size());
  if (open == std::string_view::npos) return out;
  const size_t close = text.find(']', open + 1);
  if (close == std::string_view::npos) return out;
  const std::string_view inside = text.substr(open + 1, close - open - 1);
  for (size_t i = 0; i < inside.size(); ++i) {
    if (inside[i] != '"') continue;
    std::string path;
    size_t j = i + 1;
    for (; j < inside.size() && inside[j] != '"'; ++j) {
      if (inside[j] == '\\' && j + 1 < inside.size()) ++j;
      path.push_back(inside[j]);
    }
    if (j >= inside.size()) break;  // unterminated: not a path
    out.push_back(std::move(path));
    i = j;
  }
  return out;
}

IngestAnswer walk_ingest_response(std::string_view body) {
  IngestAnswer answer;
  const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
  size_t pos = 0;
  while (body.size() - pos >= kFrameHeaderSize) {
    const uint8_t type = bytes[pos];
    const uint32_t len = read_be32(bytes + pos + 4);
    const size_t payload_at = pos + kFrameHeaderSize;
    if (len > body.size() - payload_at) break;
    const std::string_view payload = body.substr(payload_at, len);
    if (type == kFrameStats && len > 7) {
      answer.kind = IngestAnswer::Kind::kStats;
      answer.stats_json = std::string(payload.substr(8));
      return answer;
    }
    if (type == kFrameError) {
      answer.kind = IngestAnswer::Kind::kError;
      answer.message = find_json_string(payload, "message").value_or("");
      answer.sqlstate = find_json_string(payload, "sqlstate").value_or("");
      return answer;
    }
    pos = payload_at + len;
  }
  return answer;
}

}  // namespace norvale::ingest
