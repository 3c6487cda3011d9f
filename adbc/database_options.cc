// Database options (validated and stored in NVAdbcDatabaseState) and AdbcDatabaseInit, which
// checks them as a whole and sets up the engine log and the SQL trace.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "adbc/error_internal.h"
#include "adbc/option_value_internal.h"
#include "diag/secret_names_internal.h"
#include "norvale/nv_log.h"
#include "util/strings_internal.h"

namespace {

using norvale::ascii_eq_ci;
using norvale::non_empty;
using norvale::diag::secret_name;
using norvale::adbc::key_is;
using norvale::adbc::OptionValue;
using norvale::adbc::set_error;

constexpr const char* kHY009 = "HY009";
constexpr const char* kHY010 = "HY010";

/// A decimal integer of 1 to 31 characters, consumed whole, in range, not negative.
bool parse_non_negative(const char* value, int64_t* out) {
  if (value == nullptr) return false;
  const size_t length = std::strlen(value);
  char buffer[32];
  if (length == 0 || length >= sizeof(buffer)) return false;
  std::memcpy(buffer, value, length + 1);
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(buffer, &end, 10);
  if (end == buffer || *end != '\0' || errno == ERANGE || parsed < 0) return false;
  *out = parsed;
  return true;
}

bool valid_encrypt(const char* value) {
  if (value == nullptr) return false;
  for (const char* mode : {"off", "optional", "mandatory", "strict"}) {
    if (ascii_eq_ci(value, mode)) return true;
  }
  return false;
}

bool valid_min_version(const char* value) {
  if (value == nullptr) return false;
  for (const char* v : {"1.0", "1.1", "1.2", "1.3", "any", "ANY", "Any"}) {
    if (std::strcmp(value, v) == 0) return true;
  }
  return false;
}

/// ASCII case-insensitive level names; -1 for anything else (digits included).
int parse_log_level_name(const char* name) {
  if (name == nullptr) return -1;
  struct Level {
    const char* name;
    int level;
  };
  constexpr Level kLevels[] = {{"off", 0},     {"error", 1}, {"warn", 2}, {"warning", 2},
                               {"info", 3},    {"debug", 4}, {"trace", 5}};
  for (const Level& l : kLevels) {
    if (ascii_eq_ci(name, l.name)) return l.level;
  }
  return -1;
}

AdbcStatusCode invalid_value(AdbcError* error, const char* message) {
  set_error(error, message, kHY009);
  return ADBC_STATUS_INVALID_ARGUMENT;
}

/// Replaces an owned string with a copy of `value` (null clears it). Secrets are zeroed
/// before their memory is released. The old value stays when the copy cannot be made.
AdbcStatusCode store(char** slot, const char* value, bool secret, AdbcError* error) {
  char* copy = norvale::adbc::dup_cstr(value);
  if (value != nullptr && copy == nullptr) {
    set_error(error, "AdbcDatabaseSetOption: out of memory", "HY001");
    return ADBC_STATUS_INTERNAL;
  }
  if (secret) {
    norvale::adbc::wipe_cstr(slot);
  } else {
    std::free(*slot);
  }
  *slot = copy;
  return ADBC_STATUS_OK;
}

/// The string options, each with its field. `checked` keys are validated by dispatch_option
/// before they are stored; the others are stored as given.
struct StringOption {
  const char* key;
  char* NVAdbcDatabaseState::*member;
  bool checked;
};
constexpr StringOption kStringOptions[] = {
    {"uri", &NVAdbcDatabaseState::uri, true},
    {"username", &NVAdbcDatabaseState::username, false},
    {"password", &NVAdbcDatabaseState::password, false},
    {"adbc.norvale.compute_url", &NVAdbcDatabaseState::compute_url, false},
    {"adbc.norvale.compute_node", &NVAdbcDatabaseState::compute_node, false},
    {"adbc.norvale.session_token", &NVAdbcDatabaseState::session_token, false},
    {"adbc.norvale.application_name", &NVAdbcDatabaseState::application_name, false},
    {"adbc.norvale.proxy_url", &NVAdbcDatabaseState::proxy_url, false},
    {"adbc.norvale.proxy_user", &NVAdbcDatabaseState::proxy_user, false},
    {"adbc.norvale.proxy_pass", &NVAdbcDatabaseState::proxy_pass, false},
    {"adbc.norvale.tls.encrypt", &NVAdbcDatabaseState::tls_encrypt, true},
    {"adbc.norvale.tls.trust_server_cert", &NVAdbcDatabaseState::tls_trust_server_cert, true},
    {"adbc.norvale.tls.ca_bundle", &NVAdbcDatabaseState::tls_ca_bundle, false},
    {"adbc.norvale.tls.min_version", &NVAdbcDatabaseState::tls_min_version, true},
    {"adbc.norvale.tls.host_in_cert", &NVAdbcDatabaseState::tls_host_in_cert, false},
    {"adbc.norvale.tls.client_cert", &NVAdbcDatabaseState::tls_client_cert, false},
    {"adbc.norvale.tls.client_key", &NVAdbcDatabaseState::tls_client_key, false},
    {"adbc.norvale.log_path", &NVAdbcDatabaseState::log_path, false},
    {"adbc.norvale.log_level", &NVAdbcDatabaseState::log_level, true},
    {"adbc.norvale.api_trace_path", &NVAdbcDatabaseState::api_trace_path, false},
    {"adbc.norvale.compression", &NVAdbcDatabaseState::compression, true},
};

const StringOption* string_option(const char* key) {
  for (const StringOption& option : kStringOptions) {
    if (key_is(key, option.key)) return &option;
  }
  return nullptr;
}

AdbcStatusCode dispatch_option(NVAdbcDatabaseState* s, const char* key, const char* value,
                               AdbcError* error) {
  const StringOption* plain = string_option(key);
  if (plain != nullptr && !plain->checked) {
    // A proxy setting that cannot be used must fail here: the connection would otherwise go
    // out directly, around the proxy the user required.
    if (std::strncmp(key, "adbc.norvale.proxy_", 19) == 0 && value != nullptr &&
        std::strpbrk(value, "\r\n") != nullptr) {
      return invalid_value(error, (std::string(key) +
                                   " must not contain a carriage return or line feed").c_str());
    }
    return store(&(s->*plain->member), value, secret_name(key), error);
  }

  if (key_is(key, "uri")) {
    if (!non_empty(value)) return invalid_value(error, "uri must be a non-empty string");
    return store(&s->uri, value, false, error);
  }
  if (key_is(key, "adbc.norvale.connect_timeout_sec")) {
    int64_t seconds = 0;
    if (!parse_non_negative(value, &seconds)) {
      return invalid_value(error,
                           "adbc.norvale.connect_timeout_sec must be a non-negative integer (0 "
                           "means use the driver default)");
    }
    s->connect_timeout_sec = seconds;
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.norvale.max_stream_buffer_mb")) {
    int64_t mb = 0;
    if (!parse_non_negative(value, &mb) || mb >= INT64_C(2147483648)) {
      return invalid_value(error,
                           "adbc.norvale.max_stream_buffer_mb must be a non-negative integer in "
                           "MB (0 means use the driver default of 256 MB)");
    }
    s->max_stream_buffer_mb = static_cast<int32_t>(mb);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.norvale.tls.encrypt")) {
    if (!valid_encrypt(value)) {
      return invalid_value(error,
                           "adbc.norvale.tls.encrypt must be one of Off, Optional, Mandatory, "
                           "Strict");
    }
    return store(&s->tls_encrypt, value, false, error);
  }
  if (key_is(key, "adbc.norvale.tls.trust_server_cert")) {
    bool trust = false;
    if (value == nullptr || !norvale::adbc::parse_bool_option(value, &trust)) {
      return invalid_value(error, "adbc.norvale.tls.trust_server_cert must be true or false");
    }
    return store(&s->tls_trust_server_cert, trust ? "true" : "false", false, error);
  }
  if (key_is(key, "adbc.norvale.tls.min_version")) {
    if (!valid_min_version(value)) {
      return invalid_value(error,
                           "adbc.norvale.tls.min_version must be 1.0, 1.1, 1.2, 1.3, or 'any'");
    }
    return store(&s->tls_min_version, value, false, error);
  }
  if (key_is(key, "adbc.norvale.compression")) {
    for (const char* mode : {"none", "zstd", "gzip", "auto"}) {
      if (value != nullptr && ascii_eq_ci(value, mode)) {
        return store(&s->compression, mode, false, error);
      }
    }
    return invalid_value(error, "adbc.norvale.compression must be one of none, zstd, gzip, auto");
  }
  if (key_is(key, "adbc.norvale.log_level")) {
    if (parse_log_level_name(value) < 0) {
      return invalid_value(error,
                           "adbc.norvale.log_level must be one of off, error, warn, info, "
                           "debug, trace");
    }
    return store(&s->log_level, value, false, error);
  }
  set_error(error, std::string("unknown database option key: ") + key, "HYC00");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode set_option(AdbcDatabase* database, const char* key, const char* value,
                          AdbcError* error) {
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcDatabaseSetOption(db=%p, key=\"%s\", value=%s)",
                static_cast<void*>(database), key != nullptr ? key : "(null)",
                key != nullptr && secret_name(key) ? "[REDACTED]"
                : value != nullptr                 ? value
                                                   : "(null)");
  }
  if (database == nullptr || key == nullptr) {
    set_error(error, "AdbcDatabaseSetOption: null database or key", kHY009);
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  NVAdbcDatabaseState* s = norvale::adbc::database_state_of(database);
  if (s == nullptr) {
    set_error(error, "AdbcDatabaseSetOption: database not allocated", kHY010);
    return ADBC_STATUS_INVALID_STATE;
  }
  if (s->initialized) {
    set_error(error,
              "AdbcDatabaseSetOption: database already initialized; options must be set before "
              "AdbcDatabaseInit",
              kHY010);
    return ADBC_STATUS_INVALID_STATE;
  }
  std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
  return dispatch_option(s, key, value, error);
}

/// What GetOption reads back: every option the database accepts, except secrets.
AdbcStatusCode lookup_option(AdbcDatabase* database, const char* key, OptionValue* value,
                             AdbcError* error) {
  const NVAdbcDatabaseState* s = norvale::adbc::database_state_of(database);
  if (s == nullptr) {
    set_error(error, "AdbcDatabaseGetOption: database not allocated", kHY010);
    return ADBC_STATUS_INVALID_STATE;
  }
  if (secret_name(key)) return ADBC_STATUS_NOT_FOUND;  // never read back
  std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
  if (const StringOption* option = string_option(key)) {
    *value = OptionValue::Text(s->*option->member);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.norvale.connect_timeout_sec")) {
    *value = OptionValue::Int(s->connect_timeout_sec);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.norvale.max_stream_buffer_mb")) {
    *value = OptionValue::Int(s->max_stream_buffer_mb);
    return ADBC_STATUS_OK;
  }
  return ADBC_STATUS_NOT_FOUND;
}

constexpr norvale::adbc::OptionAccess<AdbcDatabase> kAccess{
    "AdbcDatabase", nv_adbc_database_set_option, lookup_option};

const char* env_non_empty(const char* name) {
  const char* value = std::getenv(name);
  return non_empty(value) ? value : nullptr;
}

/// Opens the SQL trace and configures the engine log from the options and the environment.
void set_up_logs(const NVAdbcDatabaseState* s) {
  constexpr const char* kFromEnv = " [from env]";
  constexpr const char* kFromOption = " [from option]";

  // adbc.norvale.log_path names the SQL trace; adbc.norvale.api_trace_path the engine log.
  const char* trace_path = non_empty(s->log_path) ? s->log_path : env_non_empty("NV_LOG_PATH");
  const char* trace_source = trace_path == nullptr      ? ""
                             : non_empty(s->log_path)   ? kFromOption
                                                        : kFromEnv;
  if (trace_path != nullptr) nv_apilog_init(trace_path);

  const char* log_path = non_empty(s->api_trace_path) ? s->api_trace_path : nullptr;
  if (log_path == nullptr) log_path = env_non_empty("NV_SQL_TRACE_PATH");
  if (log_path == nullptr) log_path = env_non_empty("NV_API_TRACE_PATH");

  const char* level_name = non_empty(s->log_level) ? s->log_level : env_non_empty("NV_LOG_LEVEL");
  const char* level_source = level_name == nullptr      ? ""
                             : non_empty(s->log_level)  ? kFromOption
                                                        : kFromEnv;
  if (level_name == nullptr && log_path == nullptr) {
    if (trace_path != nullptr && nv_log_level() >= NV_LOG_INFO) {
      nv_log_emit(NV_LOG_INFO, "adbc", "SQL trace -> %s%s (engine log: stderr)", trace_path,
                  trace_source);
    }
    return;
  }
  int level = level_name != nullptr ? parse_log_level_name(level_name) : -1;
  if (level < 0) level = NV_LOG_INFO;
  nv_log_init(log_path, level);
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "adbc", "Engine log -> %s (level=%d%s); SQL trace -> %s%s",
                log_path != nullptr ? log_path : "(stderr)", level, level_source,
                trace_path != nullptr ? trace_path : "(off)", trace_source);
  }
}

AdbcStatusCode init(AdbcDatabase* database, AdbcError* error) {
  if (database == nullptr) {
    set_error(error, "AdbcDatabaseInit: database pointer is null", kHY009);
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  NVAdbcDatabaseState* s = norvale::adbc::database_state_of(database);
  if (s == nullptr) {
    set_error(error, "AdbcDatabaseInit: database not allocated", kHY010);
    return ADBC_STATUS_INVALID_STATE;
  }
  if (s->initialized) {
    set_error(error, "AdbcDatabaseInit called twice", kHY010);
    return ADBC_STATUS_INVALID_STATE;
  }
  if (nv_log_level() >= NV_LOG_INFO) {
    const char* auth = non_empty(s->session_token) ? "token"
                       : non_empty(s->password)    ? "password"
                                                   : "none";
    nv_log_emit(NV_LOG_INFO, "api",
                "AdbcDatabaseInit(db=%p, uri=\"%s\", compute=\"%s\", compute_node=\"%s\", "
                "username=\"%s\", auth=%s)",
                static_cast<void*>(database), s->uri != nullptr ? s->uri : "(null)",
                s->compute_url != nullptr ? s->compute_url : "",
                s->compute_node != nullptr ? s->compute_node : "",
                s->username != nullptr ? s->username : "", auth);
  }
  if (!non_empty(s->uri)) {
    return invalid_value(error, "AdbcDatabaseInit: 'uri' option is required (control-plane URL)");
  }
  if (!non_empty(s->session_token) && !non_empty(s->username)) {
    return invalid_value(error,
                         "AdbcDatabaseInit: must set either 'adbc.norvale.session_token' OR "
                         "'username' (with 'password' or an OS keychain entry for it)");
  }
  if (non_empty(s->compute_url) && non_empty(s->compute_node)) {
    return invalid_value(error,
                         "AdbcDatabaseInit: 'adbc.norvale.compute_url' and "
                         "'adbc.norvale.compute_node' are mutually exclusive");
  }
  set_up_logs(s);
  s->initialized = true;
  return ADBC_STATUS_OK;
}

}  // namespace

extern "C" {

AdbcStatusCode nv_adbc_database_set_option(AdbcDatabase* database, const char* key,
                                           const char* value, AdbcError* error) {
  try {
    return set_option(database, key, value, error);
  } catch (...) {
    set_error(error, "AdbcDatabaseSetOption: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

AdbcStatusCode nv_adbc_database_init(AdbcDatabase* database, AdbcError* error) {
  try {
    return init(database, error);
  } catch (...) {
    set_error(error, "AdbcDatabaseInit: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

}  // extern "C"

NV_ADBC_TYPED_OPTION_ENTRIES(database, AdbcDatabase, kAccess)
