#include "localsvc/connection_threads.h"

namespace nv_localsvc {

bool ConnectionThreads::enqueue(std::function<void()> job) {
  Threads done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return false;
    done.splice(done.end(), finished_);
    jobs_.push_back(std::move(job));
    if (idle_ >= jobs_.size() || threads_.size() >= limit_) {
      wake_.notify_one();
    } else {
      // Started under the lock: the thread's first step waits for it, so `self` is set.
      auto self = threads_.emplace(threads_.end());
      *self = std::thread([this, self] { work(self); });
    }
  }
  for (std::thread& t : done) t.join();
  return true;
}

void ConnectionThreads::work(Threads::iterator self) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (jobs_.empty()) {
      if (stopping_ || idle_ >= parked_) break;
      ++idle_;
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      --idle_;
      continue;
    }
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
  if (!stopping_) finished_.splice(finished_.end(), threads_, self);
}

void ConnectionThreads::shutdown() {
  Threads all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    all.splice(all.end(), threads_);
    all.splice(all.end(), finished_);
  }
  wake_.notify_all();
  for (std::thread& t : all) {
    if (t.joinable()) t.join();
  }
}

}  // namespace nv_localsvc
