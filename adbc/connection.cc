// A connection's lifetime and options: New, the options, AdbcConnectionInit (credential
// resolution, TLS settings, nv_connect, the catalog attached) and Release.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "adbc/cancel_registry_internal.h"
#include "adbc/catalog_calls_internal.h"
#include "adbc/catalog_internal.h"
#include "adbc/entry_internal.h"
#include "adbc/option_value_internal.h"
#include "core/connection_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_credstore.h"
#include "norvale/nv_log.h"
#include "util/strings_internal.h"

namespace {

using norvale::adbc::invalid_argument;
using norvale::adbc::invalid_state;
using norvale::adbc::key_is;
using norvale::adbc::OptionValue;
using norvale::ascii_eq_ci;
using norvale::non_empty;

constexpr size_t kErrorBufferSize = 1024;
constexpr int32_t kDefaultStreamBufferMb = 256;

arrow::Status set_option(AdbcConnection* connection, const char* key, const char* value) {
  norvale::adbc::log_api("AdbcConnectionSetOption(conn=%p, key=\"%s\", value=%s)",
                         static_cast<void*>(connection), key != nullptr ? key : "(null)",
                         norvale::adbc::option_value_for_log(key, value));
  if (connection == nullptr || key == nullptr) {
    return invalid_argument("AdbcConnectionSetOption: null connection or key");
  }
  if (connection->private_data == nullptr) {
    return invalid_state("AdbcConnectionSetOption: connection not allocated");
  }
  bool flag = false;
  if (key_is(key, "adbc.connection.autocommit")) {
    if (value == nullptr || !norvale::adbc::parse_bool_option(value, &flag)) {
      return invalid_argument("adbc.connection.autocommit must be true or false");
    }
    if (!flag) {
      return norvale::adbc::adbc_failure(
          ADBC_STATUS_NOT_IMPLEMENTED, "0A000",
          "Norvale does not yet support explicit transactions; autocommit is always true");
    }
    return arrow::Status::OK();
  }
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  // adbc.connection.readonly is the ADBC 1.0 key; read_only is kept as its alias.
  if (key_is(key, "adbc.connection.readonly") || key_is(key, "adbc.connection.read_only")) {
    if (value == nullptr || !norvale::adbc::parse_bool_option(value, &flag)) {
      return invalid_argument(std::string(key) + " must be true or false");
    }
    std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
    state->read_only = flag;
    return arrow::Status::OK();
  }
  if (key_is(key, "adbc.norvale.batch_size_hint")) {
    int64_t hint = 0;
    if (!norvale::adbc::parse_count_option(value, INT32_MAX, &hint)) {
      return invalid_argument("adbc.norvale.batch_size_hint must be a non-negative integer");
    }
    std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
    state->batch_size_hint = hint;
    return arrow::Status::OK();
  }
  if (key_is(key, "adbc.norvale.query_timeout_sec")) {
    int64_t seconds = 0;
    if (!norvale::adbc::parse_count_option(value, INT64_MAX, &seconds)) {
      return invalid_argument("adbc.norvale.query_timeout_sec must be a non-negative integer");
    }
    std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
    state->query_timeout_sec = static_cast<uint64_t>(seconds);
    return arrow::Status::OK();
  }
  return norvale::adbc::unsupported_option(std::string("unknown connection option key: ") + key);
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

arrow::Status init(AdbcConnection* connection, AdbcDatabase* database) {
  if (connection == nullptr || database == nullptr) {
    return invalid_argument("AdbcConnectionInit: null connection or database");
  }
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (state == nullptr) return invalid_state("AdbcConnectionInit: connection not allocated");
  if (state->connection != nullptr) return invalid_state("AdbcConnectionInit called twice");
  if (!norvale::adbc::database_initialized(database)) {
    return invalid_state(
        "AdbcConnectionInit: parent AdbcDatabase has not been initialised (call "
        "AdbcDatabaseInit first)");
  }
  NVAdbcDatabaseState* db = norvale::adbc::database_state_of(database);
  if (db == nullptr) return invalid_state("AdbcConnectionInit: parent AdbcDatabase has no state");
  state->database = db;
  norvale::adbc::log_api("AdbcConnectionInit(conn=%p, db=%p, uri=\"%s\")",
                         static_cast<void*>(connection), static_cast<void*>(database),
                         db->uri != nullptr ? db->uri : "");

  const NVTlsConfig tls = tls_from_options(db);
  char err[kErrorBufferSize] = "";
  if (nv_tls_validate(&tls, db->uri, err, sizeof(err)) != 0) {
    return norvale::adbc::adbc_failure(ADBC_STATUS_IO, "08001",
                                       std::string("TLS configuration invalid: ") + err);
  }
  const NVConnExtras extras = extras_from_options(db);

  Secret password;
  Secret token;
  resolve_credentials(db, &password, &token);

  NVConnection* core = nv_connect(db->uri, db->compute_url, db->compute_node, token.get(),
                                  db->username, password.get(), &tls, &extras, err, sizeof(err));
  if (core == nullptr) return norvale::adbc::transport_failure(err);
  state->connection = core;
  // Query results compressed in transit when the database asks for it (checked when set).
  if (db->compression != nullptr) norvale::set_query_compression(core, db->compression);
  // Snapshot store and metadata engine; a snapshot failure never fails the connection.
  norvale::adbc::info_schema_attach(state);
  return arrow::Status::OK();
}

// Commit and Rollback: with autocommit always on there is never a transaction to end.
arrow::Status no_transaction(const char* call, const char* verb) {
  return invalid_state(std::string(call) + ": autocommit is on; there is no transaction to " +
                       verb);
}

arrow::Status new_connection(AdbcConnection* connection) {
  if (connection == nullptr) return invalid_argument("AdbcConnectionNew: connection pointer is null");
  if (connection->private_data != nullptr) {
    return invalid_state("AdbcConnectionNew called twice without Release");
  }
  auto* state =
      static_cast<NVAdbcConnectionState*>(std::calloc(1, sizeof(NVAdbcConnectionState)));
  if (state != nullptr) {
    state->cancel_registry = new (std::nothrow) norvale::adbc::CancelRegistry;
    if (state->cancel_registry == nullptr) {
      std::free(state);
      state = nullptr;
    }
  }
  if (state == nullptr) return norvale::adbc::out_of_memory("AdbcConnectionNew: out of memory");
  connection->private_data = state;
  return arrow::Status::OK();
}

arrow::Status release_connection(AdbcConnection* connection) {
  if (connection == nullptr || connection->private_data == nullptr) return arrow::Status::OK();
  norvale::adbc::log_api("AdbcConnectionRelease(conn=%p)", static_cast<void*>(connection));
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
  return arrow::Status::OK();
}

/// What GetOption reads back: the options the connection accepts, the standard keys it answers
/// (autocommit, current catalog and schema) and the compute node actually chosen.
arrow::Result<OptionValue> lookup_option(AdbcConnection* connection, const char* key) {
  auto* state = static_cast<NVAdbcConnectionState*>(connection->private_data);
  if (state == nullptr) return invalid_state("AdbcConnectionGetOption: connection not allocated");
  if (key_is(key, "adbc.connection.autocommit")) return OptionValue::Bool(true);
  {
    std::lock_guard<std::mutex> lock(norvale::adbc::option_mutex());
    if (key_is(key, "adbc.connection.readonly") || key_is(key, "adbc.connection.read_only")) {
      return OptionValue::Bool(state->read_only);
    }
    if (key_is(key, "adbc.norvale.batch_size_hint")) {
      return OptionValue::Int(state->batch_size_hint);
    }
    if (key_is(key, "adbc.norvale.query_timeout_sec")) {
      return OptionValue::Int(static_cast<int64_t>(state->query_timeout_sec));
    }
  }
  // The rest describe the live session: nothing to read before AdbcConnectionInit.
  const NVConnection* core = state->connection;
  if (key_is(key, "adbc.connection.catalog") || key_is(key, "adbc.connection.db_schema")) {
    if (core == nullptr) return OptionValue::Absent();
    const std::optional<std::string> name = key_is(key, "adbc.connection.catalog")
                                                ? norvale::adbc::current_catalog(state)
                                                : norvale::adbc::current_schema(state);
    return name ? OptionValue::Text(*name) : OptionValue::Absent();
  }
  // The node actually chosen, whether named, given by URL or recommended by the control plane.
  if (key_is(key, "adbc.norvale.compute_url")) {
    return OptionValue::Text(nv_connection_compute_url(core));
  }
  if (key_is(key, "adbc.norvale.compute_node") && core != nullptr &&
      !core->compute_node.empty()) {
    return OptionValue::Text(core->compute_node);
  }
  return OptionValue::Absent();
}

constexpr norvale::adbc::OptionAccess<AdbcConnection> kAccess{"AdbcConnection", set_option,
                                                              lookup_option};

}  // namespace

using norvale::adbc::call_entry;
using norvale::adbc::Entry;

extern "C" {

AdbcStatusCode nv_adbc_connection_new(AdbcConnection* connection, AdbcError* error) {
  return call_entry(Entry{"AdbcConnectionNew", "AdbcConnectionNew(conn=%p)"}, error,
                    [&] { return new_connection(connection); }, static_cast<void*>(connection));
}

AdbcStatusCode nv_adbc_connection_set_option(AdbcConnection* connection, const char* key,
                                             const char* value, AdbcError* error) {
  return call_entry(Entry{"AdbcConnectionSetOption", nullptr}, error,
                    [&] { return set_option(connection, key, value); });
}

AdbcStatusCode nv_adbc_connection_init(AdbcConnection* connection, AdbcDatabase* database,
                                       AdbcError* error) {
  return call_entry(Entry{"AdbcConnectionInit", nullptr}, error,
                    [&] { return init(connection, database); });
}

AdbcStatusCode nv_adbc_connection_commit(AdbcConnection* connection, AdbcError* error) {
  return call_entry(Entry{"AdbcConnectionCommit", "AdbcConnectionCommit(conn=%p)"}, error,
                    [&] { return no_transaction("AdbcConnectionCommit", "commit"); },
                    static_cast<void*>(connection));
}

AdbcStatusCode nv_adbc_connection_rollback(AdbcConnection* connection, AdbcError* error) {
  return call_entry(Entry{"AdbcConnectionRollback", "AdbcConnectionRollback(conn=%p)"}, error,
                    [&] { return no_transaction("AdbcConnectionRollback", "roll back"); },
                    static_cast<void*>(connection));
}

AdbcStatusCode nv_adbc_connection_release(AdbcConnection* connection, AdbcError* error) {
  return call_entry(Entry{"AdbcConnectionRelease", nullptr}, error,
                    [&] { return release_connection(connection); });
}

}  // extern "C"

NV_ADBC_TYPED_OPTION_ENTRIES(connection, AdbcConnection, kAccess)
