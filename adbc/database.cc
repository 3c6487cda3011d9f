// A database's lifetime and options: New and Release, the options (validated and stored in
// NVAdbcDatabaseState), and AdbcDatabaseInit, which checks them as a whole and sets up the
// engine log and the SQL trace.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "adbc/entry_internal.h"
#include "adbc/option_value_internal.h"
#include "diag/secret_names_internal.h"
#include "norvale/nv_log.h"
#include "util/strings_internal.h"

namespace {

using norvale::adbc::invalid_argument;
using norvale::adbc::invalid_state;
using norvale::adbc::key_is;
using norvale::adbc::OptionValue;
using norvale::ascii_eq_ci;
using norvale::diag::secret_name;
using norvale::non_empty;

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

/// Replaces an owned string with a copy of `value` (null clears it). Secrets are zeroed
/// before their memory is released. The old value stays when the copy cannot be made.
arrow::Status store(char** slot, const char* value, bool secret) {
  char* copy = norvale::adbc::dup_cstr(value);
  if (value != nullptr && copy == nullptr) {
    return norvale::adbc::out_of_memory("AdbcDatabaseSetOption: out of memory");
  }
  if (secret) {
    norvale::adbc::wipe_cstr(slot);
  } else {
    std::free(*slot);
  }
  *slot = copy;
  return arrow::Status::OK();
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

arrow::Status dispatch_option(NVAdbcDatabaseState* s, const char* key, const char* value) {
  const StringOption* plain = string_option(key);
  if (plain != nullptr && !plain->checked) {
    // A proxy setting that cannot be used must fail here: the connection would otherwise go
    // out directly, around the proxy the user required.
    if (std::strncmp(key, "adbc.norvale.proxy_", 19) == 0 && value != nullptr &&
        std::strpbrk(value, "\r\n") != nullptr) {
      return invalid_argument(std::string(key) + " must not contain a carriage return or line feed");
    }
    return store(&(s->*plain->member), value, secret_name(key));
  }

  if (key_is(key, "uri")) {
    if (!non_empty(value)) return invalid_argument("uri must be a non-empty string");
    return store(&s->uri, value, false);
  }
  if (key_is(key, "adbc.norvale.connect_timeout_sec")) {
    int64_t seconds = 0;
    if (!norvale::adbc::parse_count_option(value, INT64_MAX, &seconds)) {
      return invalid_argument(
          "adbc.norvale.connect_timeout_sec must be a non-negative integer (0 means use the "
          "driver default)");
    }
    s->connect_timeout_sec = seconds;
    return arrow::Status::OK();
  }
  if (key_is(key, "adbc.norvale.max_stream_buffer_mb")) {
    int64_t mb = 0;
    if (!norvale::adbc::parse_count_option(value, INT32_MAX, &mb)) {
      return invalid_argument(
          "adbc.norvale.max_stream_buffer_mb must be a non-negative integer in MB (0 means use "
          "the driver default of 256 MB)");
    }
    s->max_stream_buffer_mb = static_cast<int32_t>(mb);
    return arrow::Status::OK();
  }
  if (key_is(key, "adbc.norvale.tls.encrypt")) {
    if (!valid_encrypt(value)) {
      return invalid_argument(
          "adbc.norvale.tls.encrypt must be one of Off, Optional, Mandatory, Strict");
    }
    return store(&s->tls_encrypt, value, false);
  }
  if (key_is(key, "adbc.norvale.tls.trust_server_cert")) {
    bool trust = false;
    if (value == nullptr || !norvale::adbc::parse_bool_option(value, &trust)) {
      return invalid_argument("adbc.norvale.tls.trust_server_cert must be true or false");
    }
    return store(&s->tls_trust_server_cert, trust ? "true" : "false", false);
  }
  if (key_is(key, "adbc.norvale.tls.min_version")) {
    if (!valid_min_version(value)) {
      return invalid_argument("adbc.norvale.tls.min_version must be 1.0, 1.1, 1.2, 1.3, or 'any'");
    }
    return store(&s->tls_min_version, value, false);
  }
  if (key_is(key, "adbc.norvale.compression")) {
    for (const char* mode : {"none", "zstd", "gzip", "auto"}) {
      if (value != nullptr && ascii_eq_ci(value, mode)) {
        return store(&s->compression, mode, false);
      }
    }
    return invalid_argument("adbc.norvale.compression must be one of none, zstd, gzip, auto");
  }
  if (key_is(key, "adbc.norvale.log_level")) {
    if (parse_log_level_name(value) < 0) {
      return invalid_argument(
          "adbc.norvale.log_level must be one of off, error, warn, info, debug, trace");
    }
    return store(&s->log_level, value, false);
  }
  return norvale::adbc::unsupported_option(std::string("unknown database option key: ") + key);
}

arrow::Status set_option(AdbcDatabase* database, const char* key, const char* value) {
  norvale::adbc::log_api("AdbcDatabaseSetOption(db=%p, key=\"%s\", value=%s)",
                         static_cast<void*>(database), key != nullptr ? key : "(null)",
                         norvale::adbc::option_value_for_log(key, value));
  if (database == nullptr || key == nullptr) {
    return invalid_argument("AdbcDatabaseSetOption: null database or key");
  }
  NVAdbcDatabaseState* s = norvale::adbc::database_state_of(database);
  if (s == nullptr) return invalid_state("AdbcDatabaseSetOption: database not allocated");
  if (s->initialized) {
    return invalid_state(
        "AdbcDatabaseSetOption: database already initialized; options must be set before "
        "AdbcDatabaseInit");
  }
  std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
  return dispatch_option(s, key, value);
}

/// What GetOption reads back: every option the database accepts, except secrets.
arrow::Result<OptionValue> lookup_option(AdbcDatabase* database, const char* key) {
  const NVAdbcDatabaseState* s = norvale::adbc::database_state_of(database);
  if (s == nullptr) return invalid_state("AdbcDatabaseGetOption: database not allocated");
  if (secret_name(key)) return OptionValue::Absent();  // never read back
  std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
  if (const StringOption* option = string_option(key)) return OptionValue::Text(s->*option->member);
  if (key_is(key, "adbc.norvale.connect_timeout_sec")) {
    return OptionValue::Int(s->connect_timeout_sec);
  }
  if (key_is(key, "adbc.norvale.max_stream_buffer_mb")) {
    return OptionValue::Int(s->max_stream_buffer_mb);
  }
  return OptionValue::Absent();
}

constexpr norvale::adbc::OptionAccess<AdbcDatabase> kAccess{"AdbcDatabase", set_option,
                                                            lookup_option};

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

arrow::Status init(AdbcDatabase* database) {
  if (database == nullptr) return invalid_argument("AdbcDatabaseInit: database pointer is null");
  NVAdbcDatabaseState* s = norvale::adbc::database_state_of(database);
  if (s == nullptr) return invalid_state("AdbcDatabaseInit: database not allocated");
  if (s->initialized) return invalid_state("AdbcDatabaseInit called twice");
  const char* auth = non_empty(s->session_token) ? "token"
                     : non_empty(s->password)    ? "password"
                                                 : "none";
  norvale::adbc::log_api(
      "AdbcDatabaseInit(db=%p, uri=\"%s\", compute=\"%s\", compute_node=\"%s\", "
      "username=\"%s\", auth=%s)",
      static_cast<void*>(database), s->uri != nullptr ? s->uri : "(null)",
      s->compute_url != nullptr ? s->compute_url : "",
      s->compute_node != nullptr ? s->compute_node : "",
      s->username != nullptr ? s->username : "", auth);
  if (!non_empty(s->uri)) {
    return invalid_argument("AdbcDatabaseInit: 'uri' option is required (control-plane URL)");
  }
  if (!non_empty(s->session_token) && !non_empty(s->username)) {
    return invalid_argument(
        "AdbcDatabaseInit: must set either 'adbc.norvale.session_token' OR 'username' (with "
        "'password' or an OS keychain entry for it)");
  }
  if (non_empty(s->compute_url) && non_empty(s->compute_node)) {
    return invalid_argument(
        "AdbcDatabaseInit: 'adbc.norvale.compute_url' and 'adbc.norvale.compute_node' are "
        "mutually exclusive");
  }
  set_up_logs(s);
  s->initialized = true;
  return arrow::Status::OK();
}

void free_database_state(NVAdbcDatabaseState* s) {
  char** owned[] = {&s->uri,           &s->compute_url,     &s->compute_node,
                    &s->username,      &s->password,        &s->session_token,
                    &s->application_name, &s->proxy_url,    &s->proxy_user,
                    &s->proxy_pass,    &s->tls_encrypt,     &s->tls_trust_server_cert,
                    &s->tls_ca_bundle, &s->tls_min_version, &s->tls_host_in_cert,
                    &s->tls_client_cert, &s->tls_client_key, &s->log_path,
                    &s->log_level,     &s->api_trace_path,  &s->compression};
  // Secrets are overwritten before their memory goes back to the allocator.
  norvale::adbc::wipe_cstr(&s->password);
  norvale::adbc::wipe_cstr(&s->session_token);
  norvale::adbc::wipe_cstr(&s->proxy_pass);
  for (char** field : owned) {
    std::free(*field);
    *field = nullptr;
  }
  std::free(s);
}

arrow::Status new_database(AdbcDatabase* database) {
  if (database == nullptr) return invalid_argument("AdbcDatabaseNew: database pointer is null");
  if (database->private_data != nullptr) {
    return invalid_state("AdbcDatabaseNew called twice on the same handle without Release");
  }
  void* state = std::calloc(1, sizeof(NVAdbcDatabaseState));
  if (state == nullptr) return norvale::adbc::out_of_memory("AdbcDatabaseNew: out of memory");
  database->private_data = state;
  return arrow::Status::OK();
}

arrow::Status release_database(AdbcDatabase* database) {
  if (database == nullptr || database->private_data == nullptr) return arrow::Status::OK();
  free_database_state(static_cast<NVAdbcDatabaseState*>(database->private_data));
  database->private_data = nullptr;
  return arrow::Status::OK();
}

}  // namespace

using norvale::adbc::call_entry;
using norvale::adbc::Entry;

extern "C" {

AdbcStatusCode nv_adbc_database_new(AdbcDatabase* database, AdbcError* error) {
  return call_entry(Entry{"AdbcDatabaseNew", "AdbcDatabaseNew(db=%p)"}, error,
                    [&] { return new_database(database); }, static_cast<void*>(database));
}

AdbcStatusCode nv_adbc_database_release(AdbcDatabase* database, AdbcError* error) {
  return call_entry(Entry{"AdbcDatabaseRelease", "AdbcDatabaseRelease(db=%p)"}, error,
                    [&] { return release_database(database); }, static_cast<void*>(database));
}

AdbcStatusCode nv_adbc_database_set_option(AdbcDatabase* database, const char* key,
                                           const char* value, AdbcError* error) {
  return call_entry(Entry{"AdbcDatabaseSetOption", nullptr}, error,
                    [&] { return set_option(database, key, value); });
}

AdbcStatusCode nv_adbc_database_init(AdbcDatabase* database, AdbcError* error) {
  return call_entry(Entry{"AdbcDatabaseInit", nullptr}, error, [&] { return init(database); });
}

}  // extern "C"

NV_ADBC_TYPED_OPTION_ENTRIES(database, AdbcDatabase, kAccess)
