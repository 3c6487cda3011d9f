#include "localsvc/service.h"

#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "localsvc/duck.h"
#include "localsvc/http_util.h"

namespace nv_localsvc {

Service::Service(Options opts) : opts_(std::move(opts)) {
  admin_token_ = opts_.admin_token.empty() ? "adm-" + random_hex(24) : opts_.admin_token;
}

Service::~Service() {
  if (db_ != nullptr) duckdb_close(&db_);
}

bool Service::open_database(std::string* err) {
  const char* path = opts_.db_path.empty() ? nullptr : opts_.db_path.c_str();
  char* open_err = nullptr;
  duckdb_config config = nullptr;
  duckdb_create_config(&config);
  // The service must never reach the network: no extension downloads.
  duckdb_set_config(config, "autoinstall_known_extensions", "false");
  duckdb_set_config(config, "autoload_known_extensions", "false");
  duckdb_set_config(config, "enable_external_access", "true");
  duckdb_state st = duckdb_open_ext(path, &db_, config, &open_err);
  duckdb_destroy_config(&config);
  if (st != DuckDBSuccess) {
    *err = open_err != nullptr ? open_err : "duckdb_open failed";
    if (open_err != nullptr) duckdb_free(open_err);
    db_ = nullptr;
    return false;
  }
  DuckConn conn(db_);
  arrow::Status st_attach = conn.ok() ? conn.exec(std::string("ATTACH ':memory:' AS ") +
                                                  kScratchCatalog)
                                      : arrow::Status::IOError("cannot connect");
  if (!st_attach.ok()) {
    *err = "cannot attach the scratch catalog: " + st_attach.message();
    return false;
  }
  return true;
}

std::string Service::random_hex(size_t bytes) {
  std::string raw(bytes, '\0');
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  size_t got = 0;
  if (fd >= 0) {
    while (got < bytes) {
      ssize_t n = ::read(fd, raw.data() + got, bytes - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ::close(fd);
  }
  if (got < bytes) {
    std::random_device rd;
    for (size_t i = got; i < bytes; ++i) raw[i] = static_cast<char>(rd());
  }
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(bytes * 2);
  for (unsigned char c : raw) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

const NodeInfo* Service::node_by_ref(const std::string& ref) const {
  for (const auto& n : nodes_)
    if (n.entity_ref == ref) return &n;
  return nullptr;
}

std::optional<Principal> Service::check_password(const std::string& user,
                                                 const std::string& pass) {
  for (const auto& [name, secret] : opts_.users)
    if (name == user && secret == pass) return Principal{"usr-" + name, name, "user"};
  return std::nullopt;
}

std::optional<Principal> Service::check_client(const std::string& id,
                                               const std::string& secret) {
  for (const auto& [cid, csecret] : opts_.clients)
    if (cid == id && csecret == secret) return Principal{"sp-" + cid, cid, "service_principal"};
  return std::nullopt;
}

std::string Service::issue_token(const Principal& who) {
  std::string token = "nvs-" + random_hex(32);
  auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  // Expired tokens are swept now and then so that a long-running service stays small.
  if (++issued_ % 256 == 0) {
    for (auto it = tokens_.begin(); it != tokens_.end();)
      it = it->second.expires <= now ? tokens_.erase(it) : std::next(it);
  }
  tokens_[token] = {who, now + std::chrono::seconds(opts_.token_ttl_seconds)};
  return token;
}

std::optional<Principal> Service::principal_for(const std::string& token) {
  if (token.empty()) return std::nullopt;
  if (token == admin_token_) return Principal{"admin", "admin", "admin"};
  std::lock_guard<std::mutex> lock(mu_);
  auto it = tokens_.find(token);
  if (it == tokens_.end()) return std::nullopt;
  if (std::chrono::steady_clock::now() >= it->second.expires) {
    tokens_.erase(it);
    return std::nullopt;
  }
  return it->second.who;
}

std::string Service::new_reservation(const std::string& node_id) {
  std::string id = "rsv-" + random_hex(12);
  std::lock_guard<std::mutex> lock(mu_);
  reservations_[id] = "pending";
  (void)node_id;
  return id;
}

int Service::confirm_reservation(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = reservations_.find(id);
  if (it == reservations_.end()) return 404;
  if (it->second == "abandoned") return 409;
  it->second = "confirmed";
  return 0;
}

int Service::abandon_reservation(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = reservations_.find(id);
  if (it == reservations_.end()) return 404;
  if (it->second == "confirmed") return 409;
  it->second = "abandoned";
  return 0;
}

std::string Service::reservation_state(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = reservations_.find(id);
  return it == reservations_.end() ? std::string() : it->second;
}

const NodeInfo* Service::next_node() {
  std::lock_guard<std::mutex> lock(mu_);
  if (nodes_.empty()) return nullptr;
  return &nodes_[next_node_++ % nodes_.size()];
}

CatalogVersion Service::version() {
  std::lock_guard<std::mutex> lock(mu_);
  return version_;
}

void Service::bump_catalog(CatalogChange what) {
  std::lock_guard<std::mutex> lock(mu_);
  ++version_.sequence;
  switch (what) {
    case CatalogChange::kTables: ++version_.tables_version; break;
    case CatalogChange::kViews: ++version_.views_version; break;
    case CatalogChange::kSchemas: ++version_.schemas_version; break;
  }
}

void Service::count(const std::string& name, int64_t by) {
  std::lock_guard<std::mutex> lock(mu_);
  counters_[name] += by;
}

void Service::note_request(const std::string& endpoint, const std::string& node_id,
                           const nlohmann::json& headers,
                           std::pair<int, int> connection_ports) {
  std::lock_guard<std::mutex> lock(mu_);
  counters_["requests." + endpoint] += 1;
  if (seen_connections_.insert(connection_ports).second) counters_["connections"] += 1;
  if (ever_seen_connections_.insert(connection_ports).second) counters_["connections_opened"] += 1;
  if (!node_id.empty()) counters_["node." + node_id + "." + endpoint] += 1;
  last_headers_[endpoint] = headers;
}

nlohmann::json Service::counters() {
  std::lock_guard<std::mutex> lock(mu_);
  nlohmann::json out = nlohmann::json::object();
  for (const char* e : kEndpoints) out[std::string("requests.") + e] = 0;
  out["logins"] = 0;
  out["logins_failed"] = 0;
  out["confirms"] = 0;
  out["abandons"] = 0;
  out["bytes_sent"] = 0;
  out["connections"] = 0;
  out["connections_opened"] = 0;
  out["snapshot_builds"] = 0;
  for (const auto& [k, v] : counters_) out[k] = v;
  out["last_headers"] = last_headers_;
  return out;
}

void Service::reset_counters() {
  std::lock_guard<std::mutex> lock(mu_);
  counters_.clear();
  last_headers_.clear();
  seen_connections_.clear();
}

std::optional<std::string> Service::idempotent_result(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = idempotency_.find(key);
  if (it == idempotency_.end()) return std::nullopt;
  return it->second;
}

void Service::remember_result(const std::string& key, const std::string& stats_json) {
  std::lock_guard<std::mutex> lock(mu_);
  idempotency_.emplace(key, stats_json);
}

}  // namespace nv_localsvc

namespace nv_localsvc {

Service::ConnectionGuard::ConnectionGuard(Service& svc, int local_port, int remote_port)
    : svc_(svc), key_(local_port, remote_port) {
  std::lock_guard<std::mutex> lock(svc_.mu_);
  svc_.active_.insert(key_);
}

Service::ConnectionGuard::~ConnectionGuard() {
  std::lock_guard<std::mutex> lock(svc_.mu_);
  auto it = svc_.active_.find(key_);
  if (it != svc_.active_.end()) svc_.active_.erase(it);
}

void Service::drop_active_connections() {
  std::multiset<std::pair<int, int>> copy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    copy = active_;
  }
  for (const auto& [local, remote] : copy) shutdown_connection(local, remote);
}

}  // namespace nv_localsvc
