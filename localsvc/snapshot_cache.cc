#include "localsvc/snapshot_cache.h"

#include <exception>

namespace nv_localsvc {

SnapshotCache::Body SnapshotCache::get(uint64_t sequence, const std::function<Built()>& build) {
  std::promise<Body> promise;
  std::shared_future<Body> pending;
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (have_ && sequence_ == sequence) {
      pending = body_;
    } else if (!have_ || sequence_ < sequence) {
      // A request that read an older version than the one kept builds without replacing it.
      have_ = true;
      sequence_ = sequence;
      id = ++builds_;
      body_ = promise.get_future().share();
    }
  }
  if (pending.valid()) return pending.get();  // kept, or being built by an earlier request

  // Forgets this build when it is still the one kept.
  auto forget = [&] {
    std::lock_guard<std::mutex> lock(mu_);
    if (id != 0 && have_ && builds_ == id) have_ = false;
  };
  try {
    Built built = build();
    if (!built.keep) forget();
    promise.set_value(built.body);
    return built.body;
  } catch (...) {
    forget();
    promise.set_exception(std::current_exception());
    throw;
  }
}

SnapshotCache::Body SnapshotCache::coded(const Body& body, Coding coding) {
  if (coding == Coding::kIdentity) return body;
  std::lock_guard<std::mutex> lock(coded_mu_);
  auto& [plain, coded] = coded_[coding];
  if (plain != body) {
    coded = std::make_shared<const std::string>(encode_body(coding, *body));
    plain = body;
  }
  return coded;
}

}  // namespace nv_localsvc
