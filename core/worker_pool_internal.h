// Query workers that outlive their query: a worker thread runs one query, then parks until the
// next one instead of exiting. Starting a small query then costs a wake-up, not a new thread:
// a new thread is also queued behind every running task for its first time slice, while a
// woken one is not, which on a busy machine is most of a small query's client-side latency.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace norvale {

struct PooledJob;

/// One job on a pooled thread, with the part of std::thread's interface that queries use.
class PooledThread {
 public:
  PooledThread() = default;
  /// Runs `job` on a parked thread, or on a new one when none is parked. Throws
  /// std::system_error, as std::thread does, when no thread can be started.
  explicit PooledThread(std::function<void()> job);
  PooledThread(PooledThread&&) noexcept = default;
  PooledThread& operator=(PooledThread&& other) noexcept;
  /// Waits for a job that was not joined.
  ~PooledThread();

  /// True from the start of the job until join().
  bool joinable() const { return job_ != nullptr; }
  /// Waits until the job has returned (its thread may already run the next one).
  void join();
  /// As join(), for at most `limit`; false (still joinable) when the job is still running.
  bool join_for(std::chrono::milliseconds limit);
  /// Lets the job run on without anyone waiting for it; it must hold what it uses.
  void detach() { job_.reset(); }

 private:
  std::shared_ptr<PooledJob> job_;
};

/// Threads parked for the next job right now (for tests).
size_t pooled_threads_parked_for_test();

}  // namespace norvale
