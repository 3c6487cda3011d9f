// State shared by the control plane and the compute nodes of one local service process.
#pragma once

#include <duckdb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "localsvc/faults.h"
#include "localsvc/options.h"
#include "localsvc/snapshot_cache.h"

namespace nv_localsvc {

struct NodeInfo {
  std::string id;
  std::string entity_ref;
  std::string url;
  int port = 0;
};

struct Principal {
  std::string subject_id;
  std::string name;
  std::string principal_type;  // "user", "service_principal" or "admin"
};

/// The catalog version counters served by /api/v1/events/version.
struct CatalogVersion {
  uint64_t sequence = 1;
  uint64_t tables_version = 1;
  uint64_t views_version = 1;
  uint64_t schemas_version = 1;
  uint64_t permissions_version = 1;
  uint64_t graphs_version = 0;
  uint64_t connections_version = 0;
  uint64_t pipelines_version = 0;
};

enum class CatalogChange { kTables, kViews, kSchemas };

class Service {
 public:
  explicit Service(Options opts);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  const Options& options() const { return opts_; }
  duckdb_database db() const { return db_; }
  bool open_database(std::string* err);

  // Nodes: filled by main once the ports are bound.
  std::vector<NodeInfo>& nodes() { return nodes_; }
  const NodeInfo* node_by_ref(const std::string& ref) const;
  const std::string& admin_token() const { return admin_token_; }
  const std::string& land_dir() const { return land_dir_; }
  void set_land_dir(std::string dir) { land_dir_ = std::move(dir); }

  // Authentication.
  std::optional<Principal> check_password(const std::string& user, const std::string& pass);
  std::optional<Principal> check_client(const std::string& id, const std::string& secret);
  /// Issues a session token for the principal; returns the token.
  std::string issue_token(const Principal& who);
  std::optional<Principal> principal_for(const std::string& token);

  // Reservations: "pending", "confirmed" or "abandoned".
  std::string new_reservation(const std::string& node_id);
  /// 0 success, 404 unknown, 409 wrong state.
  int confirm_reservation(const std::string& id);
  int abandon_reservation(const std::string& id);
  std::string reservation_state(const std::string& id);
  const NodeInfo* next_node();

  // Catalog version.
  CatalogVersion version();
  void bump_catalog(CatalogChange what);

  // Counters (flat names such as "requests.query", "logins", "bytes_sent").
  void count(const std::string& name, int64_t by = 1);
  /// Counts a request to `endpoint`, and its connection (told apart by its two ports) under
  /// "connections" the first time that connection makes a request since the last reset, and
  /// under "connections_opened" when it never made one before (a new TCP connection).
  void note_request(const std::string& endpoint, const std::string& node_id,
                    const nlohmann::json& headers, std::pair<int, int> connection_ports);
  nlohmann::json counters();
  void reset_counters();

  FaultTable& faults() { return faults_; }
  SnapshotCache& snapshot_cache() { return snapshot_cache_; }

  // Ingest idempotency: the STATS JSON of the first successful ingest per key.
  std::optional<std::string> idempotent_result(const std::string& key);
  void remember_result(const std::string& key, const std::string& stats_json);
  uint64_t next_commit_version() { return ++commit_version_; }

  static std::string random_hex(size_t bytes);

  /// Connections with a long-running body (a stream being written, an upload being read),
  /// dropped at shutdown so that a stalled peer cannot hold the process up.
  class ConnectionGuard {
   public:
    ConnectionGuard(Service& svc, int local_port, int remote_port);
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

   private:
    Service& svc_;
    std::pair<int, int> key_;
  };
  void drop_active_connections();

  std::atomic<bool> stopping{false};

 private:
  Options opts_;
  duckdb_database db_ = nullptr;
  std::vector<NodeInfo> nodes_;
  std::string admin_token_;
  std::string land_dir_;

  std::mutex mu_;
  struct TokenInfo {
    Principal who;
    std::chrono::steady_clock::time_point expires;
  };
  std::map<std::string, TokenInfo> tokens_;
  uint64_t issued_ = 0;
  std::map<std::string, std::string> reservations_;
  size_t next_node_ = 0;
  CatalogVersion version_;
  std::map<std::string, int64_t> counters_;
  std::map<std::string, nlohmann::json> last_headers_;
  std::set<std::pair<int, int>> seen_connections_;       // since the last counter reset
  std::set<std::pair<int, int>> ever_seen_connections_;  // since the start
  std::map<std::string, std::string> idempotency_;
  std::atomic<uint64_t> commit_version_{0};
  std::multiset<std::pair<int, int>> active_;
  FaultTable faults_;
  SnapshotCache snapshot_cache_;
};

}  // namespace nv_localsvc
