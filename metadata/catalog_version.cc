// The control plane's catalog version ("/api/v1/events/version"), which the snapshot poller
// reads to learn when the catalog changed.
#include <atomic>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "core/connection_internal.h"
#include "core/error_text_internal.h"
#include "core/http_internal.h"
#include "metadata/snapshot_load_internal.h"
#include "norvale/nv_log.h"
#include "norvale/nv_snapshot.h"

namespace {

uint64_t counter_member(const nlohmann::json& doc, const char* name) {
  auto it = doc.find(name);
  if (it == doc.end()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer()) return static_cast<uint64_t>(it->get<int64_t>());
  return 0;
}

int parse_version(const char* body, size_t len, NVCatalogVersion* out, char* err,
                  size_t err_size) {
  using norvale::write_error;
  if (body == nullptr || out == nullptr) {
    write_error(err, err_size, "parse_catalog_version_response: NULL argument");
    return -1;
  }
  *out = NVCatalogVersion{};
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(body, body + len);
  } catch (const nlohmann::json::exception& e) {
    write_error(err, err_size, "/api/v1/events/version response parse error: %s", e.what());
    nv_log_emit(NV_LOG_ERROR, "route", "/api/v1/events/version parse error: %s", e.what());
    return -1;
  }
  if (!doc.is_object()) {
    write_error(err, err_size, "/api/v1/events/version response is not a JSON object");
    return -1;
  }
  out->sequence = counter_member(doc, "sequence");
  out->tables_version = counter_member(doc, "tables_version");
  out->views_version = counter_member(doc, "views_version");
  out->schemas_version = counter_member(doc, "schemas_version");
  out->permissions_version = counter_member(doc, "permissions_version");
  out->graphs_version = counter_member(doc, "graphs_version");
  out->connections_version = counter_member(doc, "connections_version");
  out->pipelines_version = counter_member(doc, "pipelines_version");
  return 0;
}

int fetch_version(const char* base_url, const char* token, const NVTlsConfig* tls,
                  const NVConnExtras* extras, void* share, NVCatalogVersion* out, char* err,
                  size_t err_size, const std::atomic<bool>* abort = nullptr) {
  using namespace norvale;
  if (base_url == nullptr || out == nullptr) {
    write_error(err, err_size, "nv_route_fetch_epoch: NULL argument");
    return -1;
  }
  *out = NVCatalogVersion{};
  const std::string url = trim_trailing_slashes(base_url) + "/api/v1/events/version";
  std::string body;
  const long status =
      do_http(url.c_str(), "GET", "", token, tls, extras, share, &body, err, err_size, abort);
  if (status < 0) return -1;
  if (status < 200 || status > 299) {
    format_http_error("catalog version fetch", status, body, err, err_size);
    return -1;
  }
  return parse_version(body.data(), body.size(), out, err, err_size);
}

}  // namespace

namespace norvale::adbc {

int fetch_connection_catalog_version(NVConnection* conn, NVCatalogVersion* out, char* err,
                                     size_t err_size, const std::atomic<bool>* abort) {
  if (conn == nullptr || out == nullptr) {
    norvale::write_error(err, err_size, "nv_fetch_epoch: NULL argument");
    return -1;
  }
  return norvale::guard_c_call(err, err_size, "nv_fetch_epoch: ", [&] {
    const NVTlsConfig tls = conn->tls;  // the texts stay owned by the connection
    const NVConnExtras extras = conn->extras();
    return norvale::with_session_token(conn, err, err_size, [&](const norvale::SessionToken& t) {
      return fetch_version(conn->control_plane_url.c_str(), t.c_str_or_null(), &tls, &extras,
                           conn->share(), out, err, err_size, abort);
    });
  });
}

}  // namespace norvale::adbc

extern "C" {

int parse_catalog_version_response(const char* body, size_t len, NVCatalogVersion* out,
                                   char* err, size_t err_size) {
  return norvale::guard_c_call(err, err_size, "parse_catalog_version_response: ",
                               [&] { return parse_version(body, len, out, err, err_size); });
}

int nv_test_parse_catalog_version_response(const char* body, size_t len,
                                           NVCatalogVersion* out, char* err, size_t err_size) {
  return parse_catalog_version_response(body, len, out, err, err_size);
}

int nv_route_fetch_epoch(const char* base_url, const char* token, const NVTlsConfig* tls,
                         const NVConnExtras* extras, void* share, NVCatalogVersion* out,
                         char* err, size_t err_size) {
  return norvale::guard_c_call(err, err_size, "nv_route_fetch_epoch: ", [&] {
    return fetch_version(base_url, token, tls, extras, share, out, err, err_size);
  });
}

int nv_fetch_epoch(NVConnection* conn, NVCatalogVersion* out, char* err, size_t err_size) {
  return norvale::adbc::fetch_connection_catalog_version(conn, out, err, err_size, nullptr);
}

}  // extern "C"
