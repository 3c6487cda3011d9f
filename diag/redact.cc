// nv_log_redact: removes passwords, tokens and secrets from text before it is logged.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "norvale/nv_log.h"

namespace norvale::diag {
namespace {

constexpr std::string_view kRedacted = "[REDACTED]";
constexpr std::string_view kKeyValueKeys[] = {"Pwd=",        "Password=",  "Token=",
                                              "AccessToken=", "OAuthToken=", "client_secret="};
constexpr std::string_view kJsonKeys[] = {"\"password\"", "\"token\"", "\"secret\"",
                                          "\"access_token\"", "\"session_token\""};
constexpr std::string_view kBearer = "Bearer ";

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_ci(std::string_view text, size_t pos, std::string_view prefix) {
  if (text.size() - pos < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[pos + i]) != lower(prefix[i])) return false;
  }
  return true;
}

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool ends_bearer_token(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '"' || c == ',';
}

// Locates the string value after a JSON key ending at `pos`: [open, close) are the contents.
bool find_json_string_value(std::string_view text, size_t pos, size_t* open, size_t* close) {
  while (pos < text.size() && is_json_space(text[pos])) ++pos;
  if (pos >= text.size() || text[pos] != ':') return false;
  ++pos;
  while (pos < text.size() && is_json_space(text[pos])) ++pos;
  if (pos >= text.size() || text[pos] != '"') return false;
  size_t start = ++pos;
  while (pos < text.size()) {
    if (text[pos] == '\\') {
      pos += 2;
      continue;
    }
    if (text[pos] == '"') {
      *open = start;
      *close = pos;
      return true;
    }
    ++pos;
  }
  return false;
}

std::string redact(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  size_t pos = 0;
  while (pos < text.size()) {
    bool acted = false;
    for (std::string_view key : kKeyValueKeys) {
      if (!starts_with_ci(text, pos, key)) continue;
      out.append(text.substr(pos, key.size()));
      out.append(kRedacted);
      size_t end = text.find(';', pos + key.size());
      pos = end == std::string_view::npos ? text.size() : end;
      acted = true;
      break;
    }
    if (acted) continue;
    for (std::string_view key : kJsonKeys) {
      if (!starts_with_ci(text, pos, key)) continue;
      size_t after_key = pos + key.size();
      size_t open = 0, close = 0;
      if (find_json_string_value(text, after_key, &open, &close)) {
        out.append(text.substr(pos, open - pos));
        out.append(kRedacted);
        pos = close;  // the closing quote is copied as ordinary text
      } else {
        out.append(text.substr(pos, key.size()));
        pos = after_key;
      }
      acted = true;
      break;
    }
    if (acted) continue;
    if (starts_with_ci(text, pos, kBearer)) {
      out.append(text.substr(pos, kBearer.size()));
      size_t start = pos + kBearer.size();
      if (start >= text.size()) return out;
      size_t end = start;
      while (end < text.size() && !ends_bearer_token(text[end])) ++end;
      if (end > start) out.append(kRedacted);
      pos = end;
      continue;
    }
    out.push_back(text[pos]);
    ++pos;
  }
  return out;
}

}  // namespace
}  // namespace norvale::diag

extern "C" char* nv_log_redact(const char* text) {
  if (text == nullptr) return nullptr;
  try {
    std::string clean = norvale::diag::redact(text);
    char* result = static_cast<char*>(std::malloc(clean.size() + 1));
    if (result == nullptr) return nullptr;
    std::memcpy(result, clean.data(), clean.size() + 1);
    return result;
  } catch (...) {
    return nullptr;
  }
}
