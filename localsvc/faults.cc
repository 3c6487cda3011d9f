#include "localsvc/faults.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

namespace nv_localsvc {

namespace {

template <typename T>
bool take_member(const nlohmann::json& j, const char* key, T* out, std::string* err) {
  auto it = j.find(key);
  if (it == j.end()) return true;
  try {
    *out = it->get<T>();
    return true;
  } catch (const nlohmann::json::exception&) {
    *err = std::string("fault member '") + key + "' has the wrong type";
    return false;
  }
}

}  // namespace

std::optional<Fault> Fault::from_json(const nlohmann::json& j, std::string* err) {
  if (!j.is_object()) {
    *err = "a fault is a JSON object";
    return std::nullopt;
  }
  static const std::set<std::string> known = {
      "endpoint",       "node",           "count",
      "status",         "body",           "content_type",
      "delay_ms",       "trickle_bps",    "cut_after_bytes",
      "reset_after_bytes", "close",       "error_after_batches",
      "error_message",  "error_code",     "interleave_trace",
      "interleave_unknown", "result_sets", "node_status",
      "omit_reservation_id", "location", "stall_after_bytes", "stall_ms",
      "omit_etag"};
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (!known.count(it.key())) {
      *err = "unknown fault member '" + it.key() + "'";
      return std::nullopt;
    }
  }
  Fault f;
  bool ok = take_member(j, "endpoint", &f.endpoint, err) && take_member(j, "node", &f.node, err) &&
            take_member(j, "count", &f.remaining, err) &&
            take_member(j, "status", &f.status, err) && take_member(j, "body", &f.body, err) &&
            take_member(j, "content_type", &f.content_type, err) &&
            take_member(j, "delay_ms", &f.delay_ms, err) &&
            take_member(j, "trickle_bps", &f.trickle_bps, err) &&
            take_member(j, "cut_after_bytes", &f.cut_after_bytes, err) &&
            take_member(j, "reset_after_bytes", &f.reset_after_bytes, err) &&
            take_member(j, "close", &f.close, err) &&
            take_member(j, "error_after_batches", &f.error_after_batches, err) &&
            take_member(j, "error_message", &f.error_message, err) &&
            take_member(j, "error_code", &f.error_code, err) &&
            take_member(j, "interleave_trace", &f.interleave_trace, err) &&
            take_member(j, "interleave_unknown", &f.interleave_unknown, err) &&
            take_member(j, "result_sets", &f.result_sets, err) &&
            take_member(j, "node_status", &f.node_status, err) &&
            take_member(j, "omit_reservation_id", &f.omit_reservation_id, err) &&
            take_member(j, "location", &f.location, err) &&
            take_member(j, "stall_after_bytes", &f.stall_after_bytes, err) &&
            take_member(j, "stall_ms", &f.stall_ms, err) &&
            take_member(j, "omit_etag", &f.omit_etag, err);
  if (!ok) return std::nullopt;
  if (std::find(std::begin(kEndpoints), std::end(kEndpoints), f.endpoint) ==
      std::end(kEndpoints)) {
    *err = "fault endpoint must be one of auth, recommend, confirm, abandon, lookup, version, "
           "snapshot, query, ingest";
    return std::nullopt;
  }
  if (f.remaining == 0 || f.remaining < -1) {
    *err = "fault count must be positive, or -1 for every request";
    return std::nullopt;
  }
  if (f.status != 0 && (f.status < 100 || f.status > 599)) {
    *err = "fault status must be an HTTP status";
    return std::nullopt;
  }
  if (f.result_sets < 1 || f.result_sets > 16) {
    *err = "result_sets must be 1 to 16";
    return std::nullopt;
  }
  if (f.delay_ms < 0 || f.trickle_bps < 0 || f.stall_ms < 0) {
    *err = "delay_ms, trickle_bps and stall_ms cannot be negative";
    return std::nullopt;
  }
  return f;
}

nlohmann::json Fault::to_json() const {
  return {{"endpoint", endpoint},
          {"node", node},
          {"count", remaining},
          {"status", status},
          {"delay_ms", delay_ms},
          {"trickle_bps", trickle_bps},
          {"cut_after_bytes", cut_after_bytes},
          {"reset_after_bytes", reset_after_bytes},
          {"close", close},
          {"error_after_batches", error_after_batches},
          {"interleave_trace", interleave_trace},
          {"interleave_unknown", interleave_unknown},
          {"result_sets", result_sets},
          {"node_status", node_status},
          {"omit_reservation_id", omit_reservation_id},
          {"location", location},
          {"stall_after_bytes", stall_after_bytes},
          {"stall_ms", stall_ms},
          {"omit_etag", omit_etag}};
}

void FaultTable::add(Fault f) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_.push_back(std::move(f));
}

void FaultTable::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  faults_.clear();
}

std::optional<Fault> FaultTable::take(const std::string& endpoint, const std::string& node_id) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->endpoint != endpoint) continue;
    if (!it->node.empty() && it->node != node_id) continue;
    Fault f = *it;
    if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
    return f;
  }
  return std::nullopt;
}

nlohmann::json FaultTable::to_json() {
  std::lock_guard<std::mutex> lock(mu_);
  nlohmann::json arr = nlohmann::json::array();
  for (const auto& f : faults_) arr.push_back(f.to_json());
  return arr;
}

FaultWriter::FaultWriter(const Fault* fault, std::function<bool(const char*, size_t)> write,
                         std::function<void()> reset, std::function<bool()> stopping)
    : write_(std::move(write)), reset_(std::move(reset)), stopping_(std::move(stopping)) {
  if (fault != nullptr) fault_ = *fault;
}

// Writes through the stall knob: the bytes before the stall point, one pause, then the rest.
bool FaultWriter::put(const char* data, size_t len) {
  if (fault_ && !stalled_ && fault_->stall_after_bytes >= 0 &&
      sent_ + len > static_cast<uint64_t>(fault_->stall_after_bytes)) {
    const uint64_t at = static_cast<uint64_t>(fault_->stall_after_bytes);
    const size_t before = static_cast<size_t>(at - std::min<uint64_t>(sent_, at));
    if (before > 0 && !put_paced(data, before)) return false;
    stalled_ = true;
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(fault_->stall_ms);
    while (std::chrono::steady_clock::now() < until) {
      if (stopping_()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return put_paced(data + before, len - before);
  }
  return put_paced(data, len);
}

bool FaultWriter::put_paced(const char* data, size_t len) {
  if (len == 0) return true;
  if (!fault_ || fault_->trickle_bps <= 0) {
    if (!write_(data, len)) return false;
    sent_ += len;
    return true;
  }
  // Ten slices a second at the requested rate.
  size_t slice = std::max<size_t>(1, static_cast<size_t>(fault_->trickle_bps / 10));
  auto per_byte = std::chrono::duration<double>(1.0 / static_cast<double>(fault_->trickle_bps));
  while (len > 0) {
    if (stopping_()) return false;
    size_t n = std::min(slice, len);
    if (!write_(data, n)) return false;
    sent_ += n;
    data += n;
    len -= n;
    std::this_thread::sleep_for(
        std::chrono::duration_cast<std::chrono::microseconds>(per_byte * static_cast<double>(n)));
  }
  return true;
}

bool FaultWriter::write(const char* data, size_t len) {
  if (dead_ || cut_) return false;
  if (stopping_()) {
    dead_ = true;
    return false;
  }
  if (fault_) {
    int64_t limit = -1;
    bool is_reset = false;
    if (fault_->cut_after_bytes >= 0) limit = fault_->cut_after_bytes;
    if (fault_->reset_after_bytes >= 0 &&
        (limit < 0 || fault_->reset_after_bytes < limit)) {
      limit = fault_->reset_after_bytes;
      is_reset = true;
    }
    if (limit >= 0 && sent_ + len >= static_cast<uint64_t>(limit)) {
      size_t keep = static_cast<size_t>(static_cast<uint64_t>(limit) - sent_);
      if (keep > 0 && !put(data, keep)) {
        dead_ = true;
        return false;
      }
      if (is_reset) {
        reset_();
        dead_ = true;
      } else {
        cut_ = true;
      }
      return false;
    }
  }
  if (!put(data, len)) {
    dead_ = true;
    return false;
  }
  return true;
}

}  // namespace nv_localsvc
