// The threads that serve client connections. The HTTP library serves each connection on one
// thread for as long as the client keeps it, idle or not, so a fixed number of threads would
// let a few idle kept-alive connections hold every later client back. This queue starts a
// thread whenever none is free and keeps a few parked for the next connections.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include <httplib.h>

namespace nv_localsvc {

class ConnectionThreads final : public httplib::TaskQueue {
 public:
  /// Keeps up to `parked` idle threads; starts at most `limit` in all (a job waits for a free
  /// thread beyond that).
  ConnectionThreads(size_t parked, size_t limit) : parked_(parked), limit_(limit) {}
  ~ConnectionThreads() override { shutdown(); }

  bool enqueue(std::function<void()> job) override;
  void shutdown() override;

 private:
  using Threads = std::list<std::thread>;
  void work(Threads::iterator self);

  const size_t parked_;
  const size_t limit_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  Threads threads_;   // running
  Threads finished_;  // returned or about to: joined by the next enqueue or by shutdown
  size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace nv_localsvc
