#include "adbc/error_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

struct MessageRule {
  const char* needles[5];
  const char* sqlstate;
};

// Checked in order; the first rule with a matching needle wins. Besides the classic texts,
// rule 4 knows libcurl's own wording of connect and certificate failures ("Could not connect to
// server", "Failed to connect", "SSL certificate OpenSSL verify result"), which the transport
// passes on verbatim.
constexpr MessageRule kMessageRules[] = {
    {{"invalid credential"}, "28000"},
    {{"authentication failed"}, "28000"},
    {{"Unauthorized", "401"}, "28000"},
    {{"could not connect", "connection refused", "TLS handshake", "certificate verify", "DNS"},
     "08001"},
    {{"Could not connect", "Failed to connect", "SSL certificate"}, "08001"},
    {{"connection closed"}, "08006"},
    {{"broken pipe", "server hung up"}, "08006"},
    {{"timed out", "timeout"}, "HYT00"},
    {{"syntax error", "parse error", "Plan error", "Schema mismatch"}, "42000"},
    {{"Forbidden", "403"}, "42501"},
    {{"permission denied"}, "42501"},
};

constexpr const char* kNoMessage = "Norvale transport reported an error with no message";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Status-code needles ("401", "403") count only as numbers of their own: inside a longer number
// such as a port ("127.0.0.1:40153") they say nothing about authentication.
bool contains_needle(const char* message, const char* needle) {
  bool numeric = is_digit(needle[0]);
  size_t n = std::strlen(needle);
  for (const char* hit = std::strstr(message, needle); hit != nullptr;
       hit = std::strstr(hit + 1, needle)) {
    if (!numeric) return true;
    bool digit_before = hit > message && is_digit(hit[-1]);
    bool digit_after = is_digit(hit[n]);
    if (!digit_before && !digit_after) return true;
  }
  return false;
}

}  // namespace

const char* sqlstate_from_message(const char* message) {
  if (message == nullptr || message[0] == '\0') return "HY000";
  for (const MessageRule& rule : kMessageRules) {
    for (const char* needle : rule.needles) {
      if (needle != nullptr && contains_needle(message, needle)) return rule.sqlstate;
    }
  }
  return "HY000";
}

bool key_is(const char* key, std::string_view expected) {
  return key != nullptr && std::string_view(key) == expected;
}

NVAdbcDatabaseState* database_state_of(AdbcDatabase* database) {
  return database == nullptr ? nullptr
                             : static_cast<NVAdbcDatabaseState*>(database->private_data);
}

bool database_initialized(AdbcDatabase* database) {
  NVAdbcDatabaseState* state = database_state_of(database);
  return state != nullptr && state->initialized;
}

namespace {

// The 1.1.0 members (private_data, private_driver) exist only when the host says so by handing
// in ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA as the vendor code; a 1.0.0 host's structure ends before
// them, so they are never read or written otherwise. Such an error keeps the marker in its
// vendor code for its whole life: hosts and driver managers reach the details only through it.
bool has_110_members(const AdbcError* error) {
  return error->vendor_code == ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
}

// What `private_data` of an ADBC 1.1 error holds: the details, in the order hosts list them.
struct ErrorPayload {
  std::vector<ErrorDetail> details;
};

// Made for every error, with or without details: hosts take a null private_data for an error
// that holds nothing. Null only when memory is short; the message is kept all the same.
ErrorPayload* make_payload(const ErrorOrigin& origin) noexcept {
  try {
    auto payload = std::make_unique<ErrorPayload>();
    if (origin.native_code != 0) {
      payload->details.push_back({kDetailNativeCode, std::to_string(origin.native_code)});
    }
    for (const ErrorDetail& d : origin.details) payload->details.push_back(d);
    return payload.release();
  } catch (...) {
    return nullptr;
  }
}

const ErrorPayload* payload_of(const AdbcError* error) {
  if (error == nullptr || !has_110_members(error) || error->release != release_error) {
    return nullptr;
  }
  return static_cast<const ErrorPayload*>(error->private_data);
}

void zero_common_members(AdbcError* error) {
  error->message = nullptr;
  std::memset(error->sqlstate, 0, sizeof(error->sqlstate));
  error->release = nullptr;
}

}  // namespace

void release_error(AdbcError* error) {
  if (error == nullptr) return;
  std::free(error->message);
  if (has_110_members(error)) {
    delete static_cast<ErrorPayload*>(error->private_data);
    error->private_data = nullptr;
  } else {
    error->vendor_code = 0;
  }
  zero_common_members(error);
}

void clear_error(AdbcError* error) {
  if (error == nullptr) return;
  // Another driver's release may zero the whole structure: the marker is read first.
  const bool extended = has_110_members(error);
  if (error->release != nullptr) error->release(error);
  zero_common_members(error);
  if (extended) {
    error->vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
    error->private_data = nullptr;
  } else {
    error->vendor_code = 0;
  }
}

void set_error(AdbcError* error, std::string_view message, const char* sqlstate,
               const ErrorOrigin& origin) {
  if (error == nullptr) return;
  clear_error(error);
  char* copy = static_cast<char*>(std::malloc(message.size() + 1));
  if (copy != nullptr) {
    std::memcpy(copy, message.data(), message.size());
    copy[message.size()] = '\0';
  }
  error->message = copy;
  std::memcpy(error->sqlstate, sqlstate, sizeof(error->sqlstate));
  error->release = release_error;
  if (has_110_members(error)) {
    error->private_data = make_payload(origin);
  } else {
    error->vendor_code = origin.native_code;
  }
}

const char* transport_message_text(const char* message) {
  return (message == nullptr || message[0] == '\0') ? kNoMessage : message;
}

void set_error_from_nv(AdbcError* error, const char* message, const ErrorOrigin& origin) {
  if (error == nullptr) return;
  const char* text = transport_message_text(message);
  set_error(error, text, sqlstate_from_message(text), origin);
}

const char* default_sqlstate_for(uint8_t status) {
  switch (status) {
    case ADBC_STATUS_OK: return "00000";
    case ADBC_STATUS_NOT_IMPLEMENTED: return "0A000";
    case ADBC_STATUS_NOT_FOUND: return "42P01";
    case ADBC_STATUS_ALREADY_EXISTS: return "42P07";
    case ADBC_STATUS_INVALID_ARGUMENT: return "HY009";
    case ADBC_STATUS_INVALID_STATE: return "HY010";
    case ADBC_STATUS_INVALID_DATA: return "22023";
    case ADBC_STATUS_INTEGRITY: return "23000";
    case ADBC_STATUS_IO: return "08000";
    case ADBC_STATUS_CANCELLED: return "57014";
    case ADBC_STATUS_TIMEOUT: return "HYT00";
    case ADBC_STATUS_UNAUTHENTICATED: return "28000";
    case ADBC_STATUS_UNAUTHORIZED: return "42501";
    default: return "HY000";
  }
}

char* dup_cstr(const char* text) {
  if (text == nullptr) return nullptr;
  size_t n = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(n + 1));
  if (copy != nullptr) std::memcpy(copy, text, n + 1);
  return copy;
}

void replace_cstr(char** slot, const char* value) {
  if (slot == nullptr) return;
  std::free(*slot);
  *slot = dup_cstr(value);
}

void wipe_cstr(char** slot) {
  if (slot == nullptr || *slot == nullptr) return;
  volatile char* p = *slot;
  while (*p != '\0') *p++ = '\0';
  std::free(*slot);
  *slot = nullptr;
}

bool parse_count_option(const char* text, int64_t max, int64_t* out) {
  if (!non_empty(text)) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || parsed < 0 || parsed > max) return false;
  *out = parsed;
  return true;
}

bool parse_bool_option(std::string_view text, bool* out) {
  if (out == nullptr || text.empty() || text.size() > 5) return false;
  char lower[5];
  for (size_t i = 0; i < text.size(); ++i) lower[i] = ascii_lower(text[i]);
  std::string_view t(lower, text.size());
  struct Word {
    std::string_view text;
    bool value;
  };
  static constexpr Word kWords[] = {{"1", true},    {"0", false},   {"on", true},
                                    {"no", false},  {"yes", true},  {"off", false},
                                    {"true", true}, {"false", false}};
  for (const Word& w : kWords) {
    if (t == w.text) {
      *out = w.value;
      return true;
    }
  }
  return false;
}

}  // namespace norvale::adbc

extern "C" {

int nv_adbc_error_get_detail_count(const AdbcError* error) {
  const auto* payload = norvale::adbc::payload_of(error);
  return payload == nullptr ? 0 : static_cast<int>(payload->details.size());
}

AdbcErrorDetail nv_adbc_error_get_detail(const AdbcError* error, int index) {
  const auto* payload = norvale::adbc::payload_of(error);
  if (payload == nullptr || index < 0 || static_cast<size_t>(index) >= payload->details.size()) {
    return {nullptr, nullptr, 0};
  }
  const norvale::adbc::ErrorDetail& d = payload->details[static_cast<size_t>(index)];
  // data() is never null, also for an empty value: hosts stop at the first null value.
  return {d.key.c_str(), reinterpret_cast<const uint8_t*>(d.value.data()), d.value.size()};
}

}  // extern "C"
