// The query request: its JSON body and the process-wide queue limits it depends on.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <nlohmann/json.hpp>

#include "core/query_internal.h"

namespace norvale {
namespace {

constexpr uint64_t kDefaultMaxBatches = 4;
constexpr uint64_t kMaxBatchesLimit = 1024;
// The batch size asked of the server. A batch reaches the host only once it has been built,
// sent and decoded whole, so the first rows wait for a whole batch; and batches far larger than
// this cost throughput too (every one is a fresh allocation the size of the frame). At this size
// the first batch follows the first bytes of the answer within a few milliseconds at loopback
// speed; it is also the smallest size the service is asked for.
constexpr uint64_t kBatchBytes = 4194304;

}  // namespace

uint64_t parse_max_inflight_batches(const char* text, uint64_t fallback) {
  if (text == nullptr) return fallback;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (end == text || errno == ERANGE || std::strchr(text, '-') != nullptr) return fallback;
  return v <= kMaxBatchesLimit ? v : fallback;
}

uint64_t parse_max_inflight_bytes(const char* text, uint64_t fallback) {
  if (text == nullptr) return fallback;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (end == text || errno == ERANGE || std::strchr(text, '-') != nullptr) return fallback;
  return v;
}

uint64_t env_max_inflight_batches() {
  static const uint64_t value =
      parse_max_inflight_batches(std::getenv("NV_MAX_INFLIGHT_BATCHES"), kDefaultMaxBatches);
  return value;
}

uint64_t env_max_inflight_bytes() {
  static const uint64_t value = parse_max_inflight_bytes(std::getenv("NV_MAX_INFLIGHT_BYTES"), 0);
  return value;
}

arrow::Result<std::string> build_query_body(const std::string& sql, uint64_t max_inflight_bytes,
                                            uint64_t max_inflight_batches) {
  nlohmann::json body = nlohmann::json::object();
  body["sql"] = sql;
  if (max_inflight_bytes != 0 && max_inflight_batches != 0) {
    body["stream_options"] = {{"max_batch_bytes", kBatchBytes}};
  }
  try {
    return body.dump();
  } catch (const nlohmann::json::exception& e) {
    return arrow::Status::Invalid(
        "failed to encode SQL as JSON (likely non-UTF-8 input): ", e.what());
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return arrow::Status::Invalid("failed to encode SQL as JSON: unknown error");
  }
}

}  // namespace norvale
