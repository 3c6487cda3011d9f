#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "core/curl_handles_internal.h"
#include "core/error_text_internal.h"
#include "core/http_internal.h"
#include "core/route_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_log.h"
#include "util/json_number_internal.h"
#include "util/secure_zero_internal.h"

namespace norvale {
namespace {

using nlohmann::json;

constexpr const char* kLogCategory = "route";
constexpr size_t kMaxComputeUrlChars = 255;

char* dup_text(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) {
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
  }
  return copy;
}

/// A malloc'ed copy of a string member, NULL when absent or not a string.
char* string_member(const json& doc, const char* key) {
  const auto it = doc.find(key);
  if (it == doc.end() || !it->is_string()) return nullptr;
  return dup_text(it->get_ref<const std::string&>());
}

bool is_2xx(long status) { return status >= 200 && status <= 299; }

const char* compute_scheme_for(const char* control_plane_url) {
  return std::strncmp(control_plane_url, "https://", 8) == 0 ? "https://" : "http://";
}

/// scheme + address + ":" + port, at most 255 characters; NULL when allocation fails. An
/// IPv6 address is bracketed, since its colons would otherwise read as the port separator.
char* build_compute_url(const char* scheme, const std::string& address, int32_t port) {
  char buffer[kMaxComputeUrlChars + 1];
  const bool ipv6 = address.find(':') != std::string::npos && !address.starts_with('[');
  std::snprintf(buffer, sizeof(buffer), ipv6 ? "%s[%s]:%d" : "%s%s:%d", scheme, address.c_str(),
                static_cast<int>(port));
  return dup_text(buffer);
}

int from_explicit_url(const char* url, NVNodeRoute* route, char* err, size_t err_size) {
  if (url == nullptr || route == nullptr) {
    write_error(err, err_size, "nv_route_from_explicit_url: NULL argument");
    return -1;
  }
  *route = NVNodeRoute{};
  route->url = dup_text(trim_trailing_slashes(url));
  if (route->url == nullptr) {
    write_error(err, err_size, "out of memory");
    return -1;
  }
  return 0;
}

int lookup_by_entity_ref(const char* control_plane_url, const char* session_token,
                         const char* entity_ref, const NVTlsConfig* tls,
                         const NVConnExtras* extras, void* share, NVNodeRoute* route, char* err,
                         size_t err_size) {
  if (control_plane_url == nullptr || session_token == nullptr || entity_ref == nullptr ||
      route == nullptr) {
    write_error(err, err_size, "nv_route_lookup_by_entity_ref: NULL argument");
    return -1;
  }
  *route = NVNodeRoute{};
  const std::string url = trim_trailing_slashes(control_plane_url) +
                          "/api/v1/admin/compute-nodes/by-ref/" + percent_encode(entity_ref);
  std::string response;
  const long status = do_http(url.c_str(), "GET", nullptr, session_token, tls, extras, share,
                              &response, err, err_size);
  if (status < 0) return -1;
  if (status == 404) {
    write_error(err, err_size, "compute node not found: ComputeNode='%s' is not registered",
                entity_ref);
    return -1;
  }
  if (!is_2xx(status)) {
    format_http_error("compute node lookup", status, response, err, err_size);
    return -1;
  }

  return parse_lookup_response(control_plane_url, entity_ref, response, route, err, err_size);
}

int recommend(const char* control_plane_url, const char* session_token, const char* session_id,
              const NVTlsConfig* tls, const NVConnExtras* extras, void* share,
              NVNodeRoute* route, char* err, size_t err_size) {
  if (control_plane_url == nullptr || session_token == nullptr || route == nullptr) {
    write_error(err, err_size, "nv_route_recommend: NULL argument");
    return -1;
  }
  *route = NVNodeRoute{};
  const std::string url = trim_trailing_slashes(control_plane_url) + "/api/v1/nodes/recommend";
  json request = {{"purpose", "Query"}, {"requiredCaps", json::array({"sql_execution"})}};
  if (session_id != nullptr && session_id[0] != '\0') request["sessionId"] = session_id;
  std::string body;
  try {
    body = request.dump();
  } catch (const json::exception& e) {
    write_error(err, err_size, "recommend request encoding failed: %s", e.what());
    return -1;
  }
  std::string response;
  const long status = do_http(url.c_str(), "POST", body.c_str(), session_token, tls, extras,
                              share, &response, err, err_size);
  if (status < 0) return -1;
  if (!is_2xx(status)) {
    format_http_error("compute node recommend", status, response, err, err_size);
    return -1;
  }

  return parse_recommend_response(control_plane_url, response, route, err, err_size);
}

/// POSTs "{}" to the reservation's confirm or abandon endpoint; 0 for a 2xx answer.
int reservation_request(const char* control_plane_url, const char* session_token,
                        const char* reservation_id, const char* action, const NVTlsConfig* tls,
                        const NVConnExtras* extras, void* share) {
  if (control_plane_url == nullptr || session_token == nullptr || reservation_id == nullptr) {
    return -1;
  }
  std::string url = trim_trailing_slashes(control_plane_url) + "/api/v1/nodes/recommend/" +
                    percent_encode(reservation_id) + "/" + action;
  std::string response;
  char ignored[256];
  const long status = do_http(url.c_str(), "POST", "{}", session_token, tls, extras, share,
                              &response, ignored, sizeof(ignored));
  secure_zero(url);
  return is_2xx(status) ? 0 : -1;
}

}  // namespace

int parse_lookup_response(const char* control_plane_url, const char* entity_ref,
                          const std::string& response, NVNodeRoute* route, char* err,
                          size_t err_size) {
  json doc;
  std::string node_status = "unknown";
  std::string address;
  try {
    doc = json::parse(response);
    if (doc.is_object() && doc.contains("status")) node_status = doc["status"].get<std::string>();
  } catch (const json::exception& e) {
    write_error(err, err_size, "lookup response parse error: %s", e.what());
    nv_log_emit(NV_LOG_ERROR, kLogCategory, "Lookup response parse error for %s: %s",
                entity_ref, e.what());
    return -1;
  }
  if (node_status != "active") {
    write_error(err, err_size, "compute node '%s' is not active (status='%s')", entity_ref,
                node_status.c_str());
    return -1;
  }
  const auto ip = doc.find("ipAddress");
  const auto hostname = doc.find("hostname");
  if (ip != doc.end() && ip->is_string()) {
    address = ip->get<std::string>();
  } else if (hostname != doc.end() && hostname->is_string()) {
    address = hostname->get<std::string>();
  }
  if (address.empty()) {
    write_error(err, err_size, "compute node '%s' has neither ipAddress nor hostname set",
                entity_ref);
    return -1;
  }
  const auto port = doc.find("port");
  if (port == doc.end() || !port->is_number_integer()) {
    write_error(err, err_size, "compute node '%s' has no port", entity_ref);
    return -1;
  }
  const auto port_number = json_integer_in(*port, 0, 65535);
  if (!port_number) {
    write_error(err, err_size, "compute node '%s' has port %s out of range", entity_ref,
                port->dump().c_str());
    return -1;
  }
  route->url = build_compute_url(compute_scheme_for(control_plane_url), address,
                                 static_cast<int32_t>(*port_number));
  if (route->url == nullptr) {
    write_error(err, err_size, "out of memory building compute URL");
    return -1;
  }
  route->node_id = string_member(doc, "id");
  route->node_entity_ref = string_member(doc, "entityRef");
  nv_log_emit(NV_LOG_INFO, kLogCategory, "Pinned to compute node %s at %s", entity_ref,
              route->url);
  return 0;
}

int parse_recommend_response(const char* control_plane_url, const std::string& response,
                             NVNodeRoute* route, char* err, size_t err_size) {
  json doc;
  std::string hostname;
  int32_t port = 0;
  try {
    doc = json::parse(response);
    if (!doc.is_object() || !doc.contains("hostname") || !doc.contains("port")) {
      write_error(err, err_size, "recommend response missing hostname/port");
      return -1;
    }
    hostname = doc["hostname"].get<std::string>();
    const json& port_value = doc["port"];
    if (!port_value.is_number()) {
      write_error(err, err_size, "recommend response parse error: port is not a number");
      return -1;
    }
    const auto port_number = json_integer_in(port_value, 0, 65535);
    if (!port_number) {
      write_error(err, err_size, "recommend response parse error: port %s out of range",
                  port_value.dump().c_str());
      return -1;
    }
    port = static_cast<int32_t>(*port_number);
  } catch (const json::exception& e) {
    write_error(err, err_size, "recommend response parse error: %s", e.what());
    return -1;
  }
  route->url = build_compute_url(compute_scheme_for(control_plane_url), hostname, port);
  if (route->url == nullptr) {
    write_error(err, err_size, "out of memory building compute URL");
    nv_node_route_free(route);
    return -1;
  }
  route->node_id = string_member(doc, "nodeId");
  route->node_entity_ref = string_member(doc, "nodeEntityRef");
  route->reservation_id = string_member(doc, "reservationId");
  nv_log_emit(NV_LOG_INFO, kLogCategory, "Recommended compute node %s at %s (reservation=%s)",
              route->node_entity_ref != nullptr ? route->node_entity_ref : "(unknown)",
              route->url, route->reservation_id != nullptr ? route->reservation_id : "(none)");
  return 0;
}

std::string percent_encode(std::string_view text) {
  // libcurl ignores the handle argument of curl_easy_escape.
  CurlStringPtr escaped(curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
  if (!escaped) return std::string(text);
  return std::string(escaped.get());
}

}  // namespace norvale

extern "C" {

int nv_route_from_explicit_url(const char* url, NVNodeRoute* route, char* err,
                               size_t err_size) {
  try {
    return norvale::from_explicit_url(url, route, err, err_size);
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_route_from_explicit_url: %s", e.what());
  }
  nv_node_route_free(route);
  return -1;
}

int nv_route_lookup_by_entity_ref(const char* control_plane_url, const char* session_token,
                                  const char* entity_ref, const NVTlsConfig* tls,
                                  const NVConnExtras* extras, void* share, NVNodeRoute* route,
                                  char* err, size_t err_size) {
  try {
    const int rc = norvale::lookup_by_entity_ref(control_plane_url, session_token, entity_ref,
                                                 tls, extras, share, route, err, err_size);
    if (rc != 0) nv_node_route_free(route);
    return rc;
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_route_lookup_by_entity_ref: %s", e.what());
  }
  nv_node_route_free(route);
  return -1;
}

int nv_route_recommend(const char* control_plane_url, const char* session_token,
                       const char* session_id, const NVTlsConfig* tls,
                       const NVConnExtras* extras, void* share, NVNodeRoute* route, char* err,
                       size_t err_size) {
  try {
    const int rc = norvale::recommend(control_plane_url, session_token, session_id, tls, extras,
                                      share, route, err, err_size);
    if (rc != 0) nv_node_route_free(route);
    return rc;
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_route_recommend: %s", e.what());
  }
  nv_node_route_free(route);
  return -1;
}

int nv_route_confirm(const char* control_plane_url, const char* session_token,
                     const char* reservation_id, const NVTlsConfig* tls,
                     const NVConnExtras* extras, void* share) {
  try {
    return norvale::reservation_request(control_plane_url, session_token, reservation_id,
                                        "confirm", tls, extras, share);
  } catch (...) {
    return -1;
  }
}

int nv_route_abandon(const char* control_plane_url, const char* session_token,
                     const char* reservation_id, const NVTlsConfig* tls,
                     const NVConnExtras* extras, void* share) {
  try {
    return norvale::reservation_request(control_plane_url, session_token, reservation_id,
                                        "abandon", tls, extras, share);
  } catch (...) {
    return -1;
  }
}

void nv_node_route_free(NVNodeRoute* route) {
  if (route == nullptr) return;
  std::free(route->url);
  std::free(route->node_id);
  std::free(route->node_entity_ref);
  norvale::secure_free(route->reservation_id);
  *route = NVNodeRoute{};
}

}  // extern "C"
