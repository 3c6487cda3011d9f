#include "localsvc/control_plane.h"

#include <ctime>

#include "localsvc/http_util.h"
#include "localsvc/snapshot.h"

namespace nv_localsvc {

namespace {

using nlohmann::json;

std::string utc_iso8601(int64_t seconds_from_now) {
  std::time_t t = std::time(nullptr) + seconds_from_now;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string advertised_host(const Service& svc) {
  const std::string& h = svc.options().host;
  if (h == "0.0.0.0" || h.empty()) return "127.0.0.1";
  return h == "::" ? "::1" : h;
}

void auth_refused(httplib::Response& res, int status, const std::string& message,
                  const std::string& error, const std::string& details) {
  reply_json(res, status, {{"message", message}, {"error", error}, {"details", details}});
}

void handle_token(Service& svc, const httplib::Request& req, httplib::Response& res) {
  std::optional<Fault> fault;
  if (begin_request(svc, "auth", {}, req, res, &fault)) return;
  json body = json::parse(req.body, nullptr, false);
  if (!body.is_object() || !body.contains("grant_type") || !body["grant_type"].is_string()) {
    svc.count("logins_failed");
    auth_refused(res, 400, "request body must be a JSON object with grant_type",
                 "invalid_request", "expected grant_type password or client_credentials");
    return;
  }
  auto str = [&](const char* key) {
    auto it = body.find(key);
    return (it != body.end() && it->is_string()) ? it->get<std::string>() : std::string();
  };
  std::string grant = str("grant_type");
  std::optional<Principal> who;
  if (grant == "password") {
    who = svc.check_password(str("username"), str("password"));
    if (!who) {
      svc.count("logins_failed");
      auth_refused(res, 401, "invalid user name or password", "invalid_grant",
                   "user '" + str("username") + "' could not be authenticated");
      return;
    }
  } else if (grant == "client_credentials") {
    who = svc.check_client(str("client_id"), str("client_secret"));
    if (!who) {
      svc.count("logins_failed");
      auth_refused(res, 401, "invalid client credentials", "invalid_client",
                   "client '" + str("client_id") + "' could not be authenticated");
      return;
    }
  } else {
    svc.count("logins_failed");
    auth_refused(res, 400, "unsupported grant_type", "unsupported_grant_type",
                 "grant_type '" + grant + "' is not supported");
    return;
  }
  svc.count("logins");
  int64_t ttl = svc.options().token_ttl_seconds;
  json out = {{"session_token", svc.issue_token(*who)},
              {"access_token", "nva-" + Service::random_hex(24)},
              {"subject_id", who->subject_id},
              {"principal_type", who->principal_type},
              {"name", who->name},
              {"expires_in", ttl},
              {"session_expires_at", utc_iso8601(ttl)}};
  deliver(svc, req, res, 200, "application/json", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), fault);
}

json node_json(const Service& svc, const NodeInfo& n, const std::string& status) {
  return {{"status", status},       {"ipAddress", advertised_host(svc)},
          {"hostname", "localhost"}, {"port", n.port},
          {"id", n.id},              {"entityRef", n.entity_ref}};
}

void handle_recommend(Service& svc, const httplib::Request& req, httplib::Response& res) {
  std::optional<Fault> fault;
  if (begin_request(svc, "recommend", {}, req, res, &fault)) return;
  if (!require_auth(svc, req, res)) return;
  const NodeInfo* n = svc.next_node();
  if (n == nullptr) {
    reply_json(res, 503, {{"message", "no compute node available"}, {"error", "unavailable"}});
    return;
  }
  json out = {{"hostname", advertised_host(svc)},
              {"port", n->port},
              {"nodeId", n->id},
              {"nodeEntityRef", n->entity_ref}};
  if (!(fault && fault->omit_reservation_id)) out["reservationId"] = svc.new_reservation(n->id);
  deliver(svc, req, res, 200, "application/json", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), fault);
}

void handle_reservation(Service& svc, const httplib::Request& req, httplib::Response& res,
                        bool confirm) {
  std::optional<Fault> fault;
  if (begin_request(svc, confirm ? "confirm" : "abandon", {}, req, res, &fault)) return;
  if (!require_auth(svc, req, res)) return;
  std::string id = req.matches[1];
  int rc = confirm ? svc.confirm_reservation(id) : svc.abandon_reservation(id);
  if (rc == 404) {
    reply_json(res, 404, {{"message", "reservation '" + id + "' not found"},
                          {"error", "not_found"}});
    return;
  }
  if (rc == 409) {
    reply_json(res, 409, {{"message", "reservation '" + id + "' is " +
                                          svc.reservation_state(id)},
                          {"error", "conflict"}});
    return;
  }
  svc.count(confirm ? "confirms" : "abandons");
  json out = {{"reservationId", id}, {"state", svc.reservation_state(id)}};
  deliver(svc, req, res, 200, "application/json", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), fault);
}

void handle_lookup(Service& svc, const httplib::Request& req, httplib::Response& res) {
  std::optional<Fault> fault;
  if (begin_request(svc, "lookup", {}, req, res, &fault)) return;
  if (!require_auth(svc, req, res)) return;
  std::string ref = req.matches[1];
  const NodeInfo* n = svc.node_by_ref(ref);
  if (n == nullptr) {
    reply_json(res, 404, {{"message", "ComputeNode '" + ref + "' is not registered"},
                          {"error", "not_found"}});
    return;
  }
  std::string status = (fault && !fault->node_status.empty()) ? fault->node_status : "active";
  deliver(svc, req, res, 200, "application/json", node_json(svc, *n, status).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), fault);
}

void handle_version(Service& svc, const httplib::Request& req, httplib::Response& res) {
  std::optional<Fault> fault;
  if (begin_request(svc, "version", {}, req, res, &fault)) return;
  if (!require_auth(svc, req, res)) return;
  CatalogVersion v = svc.version();
  json out = {{"sequence", v.sequence},
              {"tables_version", v.tables_version},
              {"views_version", v.views_version},
              {"schemas_version", v.schemas_version},
              {"permissions_version", v.permissions_version},
              {"graphs_version", v.graphs_version},
              {"connections_version", v.connections_version},
              {"pipelines_version", v.pipelines_version}};
  deliver(svc, req, res, 200, "application/json", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), fault);
}

bool is_loopback(const std::string& addr) {
  return addr == "127.0.0.1" || addr == "::1" || addr == "::ffff:127.0.0.1" ||
         addr.rfind("127.", 0) == 0;
}

bool admin_allowed(Service& svc, const httplib::Request& req, httplib::Response& res) {
  if (!is_loopback(req.remote_addr)) {
    reply_json(res, 403, {{"message", "the admin endpoint answers only on loopback"},
                          {"error", "forbidden"}});
    return false;
  }
  if (req.get_header_value("Authorization") != "Bearer " + svc.admin_token()) {
    reply_json(res, 401, {{"message", "admin token required"}, {"error", "unauthorized"}});
    return false;
  }
  return true;
}

void handle_admin_get(Service& svc, const httplib::Request& req, httplib::Response& res) {
  if (!admin_allowed(svc, req, res)) return;
  CatalogVersion v = svc.version();
  reply_json(res, 200, {{"counters", svc.counters()},
                        {"faults", svc.faults().to_json()},
                        {"sequence", v.sequence}});
}

void handle_admin_sockets(Service& svc, const httplib::Request& req, httplib::Response& res) {
  if (!admin_allowed(svc, req, res)) return;
  reply_json(res, 200, {{"sockets", connection_sockets()}});
}

void handle_admin_post(Service& svc, const httplib::Request& req, httplib::Response& res) {
  if (!admin_allowed(svc, req, res)) return;
  json body = json::parse(req.body, nullptr, false);
  std::vector<Fault> parsed;
  std::string err;
  auto add_one = [&](const json& j) {
    auto f = Fault::from_json(j, &err);
    if (!f) return false;
    parsed.push_back(std::move(*f));
    return true;
  };
  bool ok = body.is_array() ? std::all_of(body.begin(), body.end(), add_one) : add_one(body);
  if (!ok) {
    reply_json(res, 400, {{"message", err}, {"error", "invalid_request"}});
    return;
  }
  for (auto& f : parsed) svc.faults().add(std::move(f));
  reply_json(res, 200, {{"faults", svc.faults().to_json()}});
}

void handle_admin_delete(Service& svc, const httplib::Request& req, httplib::Response& res) {
  if (!admin_allowed(svc, req, res)) return;
  svc.faults().clear();
  if (req.get_param_value("counters") != "keep") svc.reset_counters();
  reply_json(res, 200, {{"faults", json::array()}});
}

}  // namespace

void register_control_plane(httplib::Server& server, Service& svc) {
  Service* s = &svc;
  server.Post("/api/v1/auth/token", [s](const httplib::Request& q, httplib::Response& r) {
    handle_token(*s, q, r);
  });
  server.Post("/api/v1/nodes/recommend", [s](const httplib::Request& q, httplib::Response& r) {
    handle_recommend(*s, q, r);
  });
  server.Post(R"(/api/v1/nodes/recommend/([^/]+)/confirm)",
              [s](const httplib::Request& q, httplib::Response& r) {
                handle_reservation(*s, q, r, true);
              });
  server.Post(R"(/api/v1/nodes/recommend/([^/]+)/abandon)",
              [s](const httplib::Request& q, httplib::Response& r) {
                handle_reservation(*s, q, r, false);
              });
  server.Get(R"(/api/v1/admin/compute-nodes/by-ref/(.+))",
             [s](const httplib::Request& q, httplib::Response& r) { handle_lookup(*s, q, r); });
  server.Get("/api/v1/events/version",
             [s](const httplib::Request& q, httplib::Response& r) { handle_version(*s, q, r); });
  server.Get("/api/v1/odbc/info_schema/snapshot",
             [s](const httplib::Request& q, httplib::Response& r) { handle_snapshot(*s, q, r); });
  server.Get("/api/v1/admin/faults",
             [s](const httplib::Request& q, httplib::Response& r) { handle_admin_get(*s, q, r); });
  server.Get("/api/v1/admin/sockets", [s](const httplib::Request& q, httplib::Response& r) {
    handle_admin_sockets(*s, q, r);
  });
  server.Post("/api/v1/admin/faults", [s](const httplib::Request& q, httplib::Response& r) {
    handle_admin_post(*s, q, r);
  });
  server.Delete("/api/v1/admin/faults", [s](const httplib::Request& q, httplib::Response& r) {
    handle_admin_delete(*s, q, r);
  });
}

}  // namespace nv_localsvc
