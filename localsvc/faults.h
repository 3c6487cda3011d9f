// Fault injection: scripted misbehaviour for the next N requests to one endpoint.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace nv_localsvc {

/// Endpoint names used by faults and counters.
inline constexpr const char* kEndpoints[] = {"auth",    "recommend", "confirm", "abandon",
                                             "lookup",  "version",   "snapshot", "query",
                                             "ingest"};

struct Fault {
  std::string endpoint;
  std::string node;       // compute endpoints: only this node id (empty: any node)
  int64_t remaining = 1;  // requests left; -1 forever
  // Replace the answer.
  int status = 0;  // non-zero: answer this status with `body`
  std::string body;
  std::string content_type = "application/json";
  std::string location;  // with a 3xx status: the Location header
  // Delivery.
  int64_t delay_ms = 0;            // wait before the first byte
  int64_t trickle_bps = 0;         // send at most this many bytes per second
  int64_t cut_after_bytes = -1;    // end the body cleanly after this many bytes
  int64_t reset_after_bytes = -1;  // drop the connection after this many bytes
  int64_t stall_after_bytes = -1;  // pause once, for stall_ms, after this many bytes
  int64_t stall_ms = 0;
  bool close = false;              // drop the connection without any reply
  // Streams.
  int64_t error_after_batches = -1;  // ERROR frame after this many BATCH frames
  std::string error_message = "injected failure";
  std::string error_code = "INTERNAL_ERROR";
  bool interleave_trace = false;
  bool interleave_unknown = false;
  int result_sets = 1;
  // Control plane.
  std::string node_status;  // lookup: report this status instead of "active"
  bool omit_reservation_id = false;
  bool omit_etag = false;  // snapshot: no ETag, and If-None-Match is ignored

  static std::optional<Fault> from_json(const nlohmann::json& j, std::string* err);
  nlohmann::json to_json() const;
};

class FaultTable {
 public:
  void add(Fault f);
  void clear();
  /// Takes the first fault for the endpoint (and node), counting one use of it.
  std::optional<Fault> take(const std::string& endpoint, const std::string& node_id = {});
  nlohmann::json to_json();

 private:
  std::mutex mu_;
  std::vector<Fault> faults_;
};

/// Writes a response body through the delivery knobs of a fault: trickling, cutting the body
/// short, or dropping the connection part-way. `write` is the raw sink; `reset` drops the
/// connection; `stopping` aborts (service shutting down).
class FaultWriter {
 public:
  FaultWriter(const Fault* fault, std::function<bool(const char*, size_t)> write,
              std::function<void()> reset, std::function<bool()> stopping);
  /// False once the body must end (cut, reset, write failure or shutdown).
  bool write(const char* data, size_t len);
  bool write(const std::string& s) { return write(s.data(), s.size()); }
  /// True when the body was cut short on purpose (the caller then ends it cleanly).
  bool cut() const { return cut_; }
  /// True once the connection was dropped, a write failed or the service is stopping.
  bool failed() const { return dead_; }
  uint64_t bytes() const { return sent_; }

 private:
  bool put(const char* data, size_t len);
  bool put_paced(const char* data, size_t len);
  std::optional<Fault> fault_;
  std::function<bool(const char*, size_t)> write_;
  std::function<void()> reset_;
  std::function<bool()> stopping_;
  uint64_t sent_ = 0;
  bool stalled_ = false;
  bool cut_ = false;
  bool dead_ = false;
};

}  // namespace nv_localsvc
