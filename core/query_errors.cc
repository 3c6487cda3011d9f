// How failed queries are reported: server error bodies, transport failures and native codes
// turned into message, SQLSTATE and native code.
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/query_internal.h"

namespace norvale {
namespace {

constexpr size_t kMaxMessage = 1024;

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

template <typename... Parts>
bool contains_any(std::string_view text, Parts... parts) {
  return (contains(text, parts) || ...);
}

std::string sqlstate_for_status(long status) {
  switch (status) {
    case 400: return "42000";
    case 401: return "28000";
    case 403: return "42501";
    case 404: return "42S02";
    case 408: return "HYT00";
    case 429: return "53400";
    case 502:
    case 503:
    case 504: return "08S01";
    default: return "HY000";
  }
}

// SQLSTATE from the wording of the message; empty when nothing matches.
std::string sqlstate_from_message(std::string_view m) {
  if (contains_any(m, "ParserError", "syntax")) return "42000";
  if (contains_any(m, "No field named", "Schema error")) return "42S22";
  if (contains(m, "already exists")) {
    if (contains(m, "olumn")) return "42S21";
    if (contains(m, "ndex")) return "42S11";
    return "42S01";
  }
  if (contains_any(m, "Error parsing timestamp", "Error parsing date", "Error parsing time")) {
    return "22007";
  }
  if (contains_any(m, "Cast error", "Cannot cast", "Can't cast", "Cannot coerce")) {
    return "22018";
  }
  if (contains_any(m, "not found", "table")) return "42S02";
  if (contains_any(m, "Permission", "denied")) return "42501";
  return {};
}

// Cuts to kMaxMessage bytes with "..." at the end, never inside a UTF-8 sequence.
void limit_message(std::string& message) {
  if (message.size() <= kMaxMessage) return;
  size_t cut = kMaxMessage - 3;
  while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) --cut;
  message.resize(cut);
  message += "...";
}

}  // namespace

std::string sqlstate_from_code(std::string_view code, bool has_code, std::string_view m) {
  if (!has_code || code == "QUERY_ERROR") return sqlstate_from_message(m);
  if (code == "UNAUTHORIZED") return "28000";
  if (code == "FORBIDDEN") return "42501";
  if (code == "RATE_LIMITED") return "53400";
  if (code == "TIMEOUT") return "HYT00";
  if (code == "INTEGRITY_VIOLATION") return "23000";
  if (code == "CURSOR_STATE") return "24000";
  if (code == "TRANSACTION_STATE") return "25000";
  if (code == "DUPLICATE_OBJECT") {
    if (contains_any(m, "column", "Column")) return "42S21";
    if (contains_any(m, "index", "Index")) return "42S11";
    return "42S01";
  }
  if (code == "MISSING_OBJECT") {
    if (contains_any(m, "column", "Column", "field")) return "42S22";
    if (contains_any(m, "index", "Index")) return "42S12";
    return "42S02";
  }
  if (code == "INTERNAL_ERROR") {
    if (contains_any(m, "Divide by zero", "divide by zero", "division by zero")) return "22012";
    if (contains_any(m, "Cast error", "Cannot cast", "Can't cast")) return "22018";
  }
  return {};
}

int32_t extract_native_code(std::string_view message) {
  for (std::string_view prefix : {"(code: ", "code: ", "code="}) {
    const size_t at = message.find(prefix);
    if (at == std::string_view::npos) continue;
    size_t i = at + prefix.size();
    while (i < message.size() && message[i] == ' ') ++i;
    if (i >= message.size() || message[i] < '0' || message[i] > '9') continue;
    int32_t value = 0;
    for (int digits = 0; digits < 9 && i < message.size() && message[i] >= '0' &&
                         message[i] <= '9';
         ++digits, ++i) {
      value = value * 10 + (message[i] - '0');
    }
    return value;
  }
  return 0;
}

std::string strip_engine_noise(std::string message) {
  static constexpr std::string_view kPrefixes[] = {"Session error: ", "SQL execution error: ",
                                                   "internal error: "};
  for (int round = 0; round < 6; ++round) {
    bool removed = false;
    for (std::string_view prefix : kPrefixes) {
      if (message.size() > prefix.size() && message.starts_with(prefix)) {
        message.erase(0, prefix.size());
        removed = true;
        break;
      }
    }
    if (!removed) break;
  }
  return message;
}

QueryErrorInfo map_http_error(long status, std::string_view body) {
  std::string message;
  std::string code;
  bool has_message = false;
  bool has_code = false;
  if (!body.empty()) {
    const auto doc = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (doc.is_object()) {
      const auto m = doc.find("message");
      const auto e = doc.find("error");
      if (m != doc.end() && m->is_string()) {
        message = m->get<std::string>();
        has_message = true;
      } else if (e != doc.end() && e->is_string()) {
        message = e->get<std::string>();
        has_message = true;
      } else if (e != doc.end() && e->is_object()) {
        const auto inner = e->find("message");
        if (inner != e->end() && inner->is_string()) {
          message = inner->get<std::string>();
          has_message = true;
        }
      }
      const auto c = doc.find("code");
      if (c != doc.end() && c->is_string()) {
        code = c->get<std::string>();
        has_code = true;
      }
    }
  }

  if (has_message) {
    message = strip_engine_noise(std::move(message));
    if (message.ends_with('\'')) {
      if (const size_t at = message.rfind(" for '"); at != std::string::npos) message.resize(at);
    }
  } else {
    message = "compute returned HTTP " + std::to_string(status);
    if (!body.empty()) {
      message += ": ";
      message.append(body);
    }
  }
  limit_message(message);

  QueryErrorInfo info;
  info.sqlstate = sqlstate_for_status(status);
  if (std::string by_code = sqlstate_from_code(code, has_code, message); !by_code.empty()) {
    info.sqlstate = std::move(by_code);
  }
  info.native = extract_native_code(message);
  if (info.native == 0) info.native = static_cast<int32_t>(status);
  info.message = std::move(message);
  return info;
}

QueryErrorInfo map_transport_error(int curl_code, std::string_view curl_text,
                                   uint64_t timeout_seconds) {
  QueryErrorInfo info;
  switch (curl_code) {
    case 5: case 6: case 7: case 35: case 45: case 60: info.sqlstate = "08001"; break;
    case 18: case 52: case 55: case 56: info.sqlstate = "08006"; break;
    case 28: info.sqlstate = "HYT00"; break;
    default: info.sqlstate = "08S01"; break;
  }
  const std::string text = curl_text.empty()
                               ? std::string(curl_easy_strerror(static_cast<CURLcode>(curl_code)))
                               : std::string(curl_text);
  if (curl_code == 28 && timeout_seconds != 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "Query exceeded timeout of %lu seconds; %s",
                  static_cast<unsigned long>(timeout_seconds), text.c_str());
    info.message = buf;
  } else if (curl_code == 28) {
    info.message = "stream stalled (no data for 300s); " + text;
  } else {
    info.message = "HTTP transport: " + text;
  }
  info.native = curl_code;
  return info;
}

void copy_error(char* err, size_t err_size, std::string_view text) {
  if (err == nullptr || err_size == 0) return;
  const size_t n = std::min(text.size(), err_size - 1);
  std::memcpy(err, text.data(), n);
  err[n] = '\0';
}

}  // namespace norvale
