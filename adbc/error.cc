#include "adbc/error_internal.h"

#include <cstdlib>
#include <cstring>

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

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

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

// The 1.1.0 members (private_data, private_driver) exist only when the host says so by handing
// in ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA as the vendor code; a 1.0.0 host's structure ends before
// them, so they are never written otherwise.
bool has_110_members(const AdbcError* error) {
  return error->vendor_code == ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
}

void release_error(AdbcError* error) {
  if (error == nullptr) return;
  std::free(error->message);
  error->message = nullptr;
  error->vendor_code = 0;
  std::memset(error->sqlstate, 0, sizeof(error->sqlstate));
  error->release = nullptr;
}

void clear_error(AdbcError* error) {
  if (error == nullptr) return;
  const bool extended = has_110_members(error);
  if (error->release != nullptr) error->release(error);
  error->message = nullptr;
  error->vendor_code = 0;
  std::memset(error->sqlstate, 0, sizeof(error->sqlstate));
  error->release = nullptr;
  if (extended) error->private_data = nullptr;
}

void set_error(AdbcError* error, std::string_view message, const char* sqlstate) {
  if (error == nullptr) return;
  const bool extended = has_110_members(error);
  clear_error(error);
  char* copy = static_cast<char*>(std::malloc(message.size() + 1));
  if (copy != nullptr) {
    std::memcpy(copy, message.data(), message.size());
    copy[message.size()] = '\0';
  }
  error->message = copy;
  error->vendor_code = 0;
  std::memcpy(error->sqlstate, sqlstate, sizeof(error->sqlstate));
  error->release = release_error;
  if (extended) error->private_data = nullptr;
}

void set_error_from_nv(AdbcError* error, const char* message, uint8_t status) {
  if (error == nullptr) return;
  const char* text = (message == nullptr || message[0] == '\0') ? kNoMessage : message;
  set_error(error, text, sqlstate_from_message(text));
  error->vendor_code = status;
}

void prepend_error_message(AdbcError* error, std::string_view prefix) {
  // Only a message this driver allocated is replaced; anything else stays as the host sees it.
  if (error == nullptr || error->release != release_error) return;
  const std::string_view old = error->message != nullptr ? error->message : "";
  char* text = static_cast<char*>(std::malloc(prefix.size() + old.size() + 1));
  if (text == nullptr) return;
  std::memcpy(text, prefix.data(), prefix.size());
  std::memcpy(text + prefix.size(), old.data(), old.size());
  text[prefix.size() + old.size()] = '\0';
  std::free(error->message);
  error->message = text;
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
