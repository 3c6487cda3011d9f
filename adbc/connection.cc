// Connection options, AdbcConnectionInit (credential resolution, TLS settings, nv_connect) and
// connection release.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "adbc/cancel_registry_internal.h"
#include "adbc/error_internal.h"
#include "adbc/option_value_internal.h"
#include "core/connection_internal.h"
#include "diag/secret_names_internal.h"
#include "metadata/info_schema_internal.h"
#include "metadata/metadata_calls_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_credstore.h"
#include "norvale/nv_log.h"
#include "util/strings_internal.h"

namespace {

using norvale::ascii_eq_ci;
using norvale::non_empty;
using norvale::diag::secret_name;
using norvale::adbc::key_is;
using norvale::adbc::OptionValue;
using norvale::adbc::set_error;

constexpr size_t kErrorBufferSize = 1024;
constexpr int32_t kDefaultStreamBufferMb = 256;

/// A non-empty decimal integer consumed whole, between 0 and `max`.
bool parse_bounded(const char* value, long long max) {
  if (!non_empty(value)) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(value, &end, 10);
  return end != value && *end == '\0' && errno != ERANGE && parsed >= 0 && parsed <= max;
}

AdbcStatusCode invalid_value(AdbcError* error, std::string_view message) {
  set_error(error, message, "HY009");
  return ADBC_STATUS_INVALID_ARGUMENT;
}

AdbcStatusCode set_option(AdbcConnection* connection, const char* key, const char* value,
                          AdbcError* error) {
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcConnectionSetOption(conn=%p, key=\"%s\", value=%s)",
                static_cast<void*>(connection), key != nullptr ? key : "(null)",
                key != nullptr && secret_name(key) ? "[REDACTED]"
                : value != nullptr                 ? value
                                                   : "(null)");
  }
  if (connection == nullptr || key == nullptr) {
    return invalid_value(error, "AdbcConnectionSetOption: null connection or key");
  }
  if (connection->private_data == nullptr) {
    set_error(error, "AdbcConnectionSetOption: connection not allocated", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  bool flag = false;
  if (key_is(key, "adbc.connection.autocommit")) {
    if (value == nullptr || !norvale::adbc::parse_bool_option(value, &flag)) {
      return invalid_value(error, "adbc.connection.autocommit must be true or false");
    }
    if (!flag) {
      set_error(error, "Norvale does not yet support explicit transactions; autocommit is always "
                "true", "0A000");
      return ADBC_STATUS_NOT_IMPLEMENTED;
    }
    return ADBC_STATUS_OK;
  }
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  // adbc.connection.readonly is the ADBC 1.0 key; read_only is kept as its alias.
  if (key_is(key, "adbc.connection.readonly") || key_is(key, "adbc.connection.read_only")) {
    if (value == nullptr || !norvale::adbc::parse_bool_option(value, &flag)) {
      return invalid_value(error, std::string(key) + " must be true or false");
    }
    std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
    state->read_only = flag;
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.norvale.batch_size_hint")) {
    if (!parse_bounded(value, INT32_MAX)) {
      return invalid_value(error, "adbc.norvale.batch_size_hint must be a non-negative integer");
    }
    std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
    state->batch_size_hint = std::strtoll(value, nullptr, 10);
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.norvale.query_timeout_sec")) {
    if (!parse_bounded(value, INT64_MAX)) {
      return invalid_value(error, "adbc.norvale.query_timeout_sec must be a non-negative integer");
    }
    std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
    state->query_timeout_sec = std::strtoull(value, nullptr, 10);
    return ADBC_STATUS_OK;
  }
  set_error(error, std::string("unknown connection option key: ") + key, "HYC00");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

NVTlsConfig tls_from_options(const NVAdbcDatabaseState* s) {
  NVTlsConfig tls;
  nv_tls_config_init(&tls);
  if (s->tls_encrypt != nullptr) {
    const std::string_view mode = s->tls_encrypt;
    tls.encrypt = ascii_eq_ci(mode, "off") ? 0 : ascii_eq_ci(mode, "mandatory") ? 2
                  : ascii_eq_ci(mode, "strict")  ? 3
                                             : 1;
  }
  if (s->tls_trust_server_cert != nullptr) {
    tls.trust_server_certificate = std::strcmp(s->tls_trust_server_cert, "true") == 0 ? 1 : 0;
  }
  if (s->tls_min_version != nullptr) {
    const std::string_view v = s->tls_min_version;
    tls.min_tls_version = v == "1.0" ? 10 : v == "1.1" ? 11 : v == "1.2" ? 12 : v == "1.3" ? 13 : 0;
  }
  tls.hostname_in_certificate = s->tls_host_in_cert;
  tls.ca_certificate = s->tls_ca_bundle;
  tls.client_cert = s->tls_client_cert;
  tls.client_key = s->tls_client_key;
  return tls;
}

NVConnExtras extras_from_options(const NVAdbcDatabaseState* s) {
  NVConnExtras extras{};
  extras.connect_timeout = s->connect_timeout_sec;
  extras.application_name = s->application_name;
  extras.proxy_url = s->proxy_url;
  extras.proxy_user = s->proxy_user;
  extras.proxy_pass = s->proxy_pass;
  extras.max_stream_buffer_mb =
      s->max_stream_buffer_mb > 0 ? s->max_stream_buffer_mb : kDefaultStreamBufferMb;
  extras.reserved = 0;
  return extras;
}

/// A heap secret that is zeroed and freed when it goes.
struct Secret {
  char* text = nullptr;
  ~Secret() { nv_credstore_free(text); }
  const char* get() const { return non_empty(text) ? text : nullptr; }
};

/// The stored secret under (uri, key), or nothing (a store error counts as nothing).
void lookup_credential(const char* uri, const std::string& key, Secret* out) {
  char* found = nullptr;
  if (nv_credstore_get(uri, key.c_str(), &found) == NV_CREDSTORE_OK) {
    out->text = found;
  } else {
    nv_credstore_free(found);
  }
}

/// Password and session token from the options, else from the credential store.
void resolve_credentials(const NVAdbcDatabaseState* s, Secret* password, Secret* token) {
  if (!non_empty(s->uri)) return;
  if (non_empty(s->password)) {
    password->text = norvale::adbc::dup_cstr(s->password);
  } else if (non_empty(s->username)) {
    lookup_credential(s->uri, std::string("Pwd:") + s->username, password);
  }
  if (non_empty(s->session_token)) {
    token->text = norvale::adbc::dup_cstr(s->session_token);
  } else if (password->get() == nullptr) {
    const std::string user = non_empty(s->username) ? s->username : "default";
    lookup_credential(s->uri, "Token:" + user, token);
  }
}

AdbcStatusCode init(AdbcConnection* connection, AdbcDatabase* database, AdbcError* error) {
  if (connection == nullptr || database == nullptr) {
    return invalid_value(error, "AdbcConnectionInit: null connection or database");
  }
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (state == nullptr) {
    set_error(error, "AdbcConnectionInit: connection not allocated", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (state->connection != nullptr) {
    set_error(error, "AdbcConnectionInit called twice", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (!norvale::adbc::database_initialized(database)) {
    set_error(error,
              "AdbcConnectionInit: parent AdbcDatabase has not been initialised (call "
              "AdbcDatabaseInit first)",
              "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  NVAdbcDatabaseState* db = norvale::adbc::database_state_of(database);
  if (db == nullptr) {
    set_error(error, "AdbcConnectionInit: parent AdbcDatabase has no state", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  state->database = db;
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcConnectionInit(conn=%p, db=%p, uri=\"%s\")",
                static_cast<void*>(connection), static_cast<void*>(database),
                db->uri != nullptr ? db->uri : "");
  }

  const NVTlsConfig tls = tls_from_options(db);
  char err[kErrorBufferSize] = "";
  if (nv_tls_validate(&tls, db->uri, err, sizeof(err)) != 0) {
    set_error(error, std::string("TLS configuration invalid: ") + err, "08001");
    return ADBC_STATUS_IO;
  }
  const NVConnExtras extras = extras_from_options(db);

  Secret password;
  Secret token;
  resolve_credentials(db, &password, &token);

  NVConnection* core = nv_connect(db->uri, db->compute_url, db->compute_node, token.get(),
                                  db->username, password.get(), &tls, &extras, err, sizeof(err));
  if (core == nullptr) {
    norvale::adbc::set_error_from_nv(error, err);
    return ADBC_STATUS_IO;
  }
  state->connection = core;
  // Query results compressed in transit when the database asks for it (checked when set).
  if (db->compression != nullptr) norvale::set_query_compression(core, db->compression);
  // Snapshot store and metadata engine; a snapshot failure never fails the connection.
  norvale::adbc::info_schema_attach(state);
  return ADBC_STATUS_OK;
}

// Commit and Rollback: with autocommit always on there is never a transaction to end.
AdbcStatusCode no_transaction(AdbcConnection* connection, const char* call, const char* verb,
                              AdbcError* error) {
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "%s(conn=%p)", call, static_cast<void*>(connection));
  }
  set_error(error,
            std::string(call) + ": autocommit is on; there is no transaction to " + verb,
            "HY010");
  return ADBC_STATUS_INVALID_STATE;
}

/// What GetOption reads back: the options the connection accepts, the standard keys it answers
/// (autocommit, current catalog and schema) and the compute node actually chosen.
AdbcStatusCode lookup_option(AdbcConnection* connection, const char* key, OptionValue* value,
                             AdbcError* error) {
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (state == nullptr) {
    set_error(error, "AdbcConnectionGetOption: connection not allocated", "HY010");
    return ADBC_STATUS_INVALID_STATE;
  }
  if (key_is(key, "adbc.connection.autocommit")) {
    *value = OptionValue::Bool(true);
    return ADBC_STATUS_OK;
  }
  {
    std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
    if (key_is(key, "adbc.connection.readonly") || key_is(key, "adbc.connection.read_only")) {
      *value = OptionValue::Bool(state->read_only);
      return ADBC_STATUS_OK;
    }
    if (key_is(key, "adbc.norvale.batch_size_hint")) {
      *value = OptionValue::Int(state->batch_size_hint);
      return ADBC_STATUS_OK;
    }
    if (key_is(key, "adbc.norvale.query_timeout_sec")) {
      *value = OptionValue::Int(static_cast<int64_t>(state->query_timeout_sec));
      return ADBC_STATUS_OK;
    }
  }
  // The rest describe the live session: nothing to read before AdbcConnectionInit.
  const NVConnection* core = state->connection;
  if (key_is(key, "adbc.connection.catalog") || key_is(key, "adbc.connection.db_schema")) {
    if (core == nullptr) return ADBC_STATUS_OK;
    const std::optional<std::string> name = key_is(key, "adbc.connection.catalog")
                                                ? norvale::adbc::current_catalog(state)
                                                : norvale::adbc::current_schema(state);
    if (name) *value = OptionValue::Text(*name);
    return ADBC_STATUS_OK;
  }
  // The node actually chosen, whether named, given by URL or recommended by the control plane.
  if (key_is(key, "adbc.norvale.compute_url")) {
    *value = OptionValue::Text(nv_connection_compute_url(core));
    return ADBC_STATUS_OK;
  }
  if (key_is(key, "adbc.norvale.compute_node")) {
    if (core != nullptr && !core->compute_node.empty()) {
      *value = OptionValue::Text(core->compute_node);
    }
    return ADBC_STATUS_OK;
  }
  return ADBC_STATUS_NOT_FOUND;
}

constexpr norvale::adbc::OptionAccess<AdbcConnection> kAccess{
    "AdbcConnection", nv_adbc_connection_set_option, lookup_option};

}  // namespace

extern "C" {

AdbcStatusCode nv_adbc_connection_set_option(AdbcConnection* connection, const char* key,
                                             const char* value, AdbcError* error) {
  try {
    return set_option(connection, key, value, error);
  } catch (...) {
    set_error(error, "AdbcConnectionSetOption: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

AdbcStatusCode nv_adbc_connection_init(AdbcConnection* connection, AdbcDatabase* database,
                                       AdbcError* error) {
  try {
    return init(connection, database, error);
  } catch (...) {
    set_error(error, "AdbcConnectionInit: internal error", "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

AdbcStatusCode nv_adbc_connection_commit(AdbcConnection* connection, AdbcError* error) {
  return no_transaction(connection, "AdbcConnectionCommit", "commit", error);
}

AdbcStatusCode nv_adbc_connection_rollback(AdbcConnection* connection, AdbcError* error) {
  return no_transaction(connection, "AdbcConnectionRollback", "roll back", error);
}

AdbcStatusCode nv_adbc_connection_release(AdbcConnection* connection, AdbcError*) {
  if (connection == nullptr || connection->private_data == nullptr) return ADBC_STATUS_OK;
  if (nv_log_level() >= NV_LOG_INFO) {
    nv_log_emit(NV_LOG_INFO, "api", "AdbcConnectionRelease(conn=%p)",
                static_cast<void*>(connection));
  }
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  norvale::adbc::info_schema_detach(state);
  std::free(state->current_schema);
  if (state->connection != nullptr) {
    nv_disconnect(state->connection);
    state->connection = nullptr;
  }
  delete state->cancel_registry;
  std::free(state);
  connection->private_data = nullptr;
  return ADBC_STATUS_OK;
}

}  // extern "C"

NV_ADBC_TYPED_OPTION_ENTRIES(connection, AdbcConnection, kAccess)
