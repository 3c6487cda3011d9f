// The process's pool of parked query worker threads behind PooledThread.
#include "core/worker_pool_internal.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace norvale {

struct PooledJob {
  std::function<void()> run;
  std::mutex mutex;
  std::condition_variable cond;
  bool done = false;
};

namespace {

// Threads parked beyond this many exit after their job: enough for the queries a host
// usually runs at once, without keeping a burst's threads for the rest of the process.
constexpr size_t kMaxParked = 8;

struct Worker {
  std::thread thread;
  std::condition_variable wake;
  std::shared_ptr<PooledJob> next;  // handed over while the worker is parked
  bool exited = false;              // the thread returned or is about to: join it
};

// Shared by the process-wide pool and every worker thread, so that a thread still running its
// job when the pool goes away at process exit never touches freed state.
struct PoolState {
  std::mutex mutex;
  std::vector<Worker*> parked;  // the most recently parked last: its stack is warm
  std::list<std::unique_ptr<Worker>> workers;
  bool stopping = false;
};

void run(PooledJob& job) {
  try {
    job.run();
  } catch (...) {
    // Jobs report their own failures; a worker thread must survive a job that did not.
  }
  job.run = nullptr;  // what the job captured goes before anyone hears it is done
}

void report_done(PooledJob& job) {
  {
    std::lock_guard<std::mutex> lock(job.mutex);
    job.done = true;
  }
  job.cond.notify_all();
}

void worker_main(std::shared_ptr<PoolState> pool, Worker* self, std::shared_ptr<PooledJob> job) {
  for (;;) {
    run(*job);
    std::unique_lock<std::mutex> lock(pool->mutex);
    const bool stay = !pool->stopping && pool->parked.size() < kMaxParked;
    if (stay) {
      pool->parked.push_back(self);
    } else {
      self->exited = true;
    }
    lock.unlock();
    // Parked before the job is reported done, so that the next query its consumer starts
    // finds this thread instead of creating another one.
    report_done(*job);
    job.reset();
    if (!stay) return;
    lock.lock();
    self->wake.wait(lock, [&] { return self->next != nullptr || pool->stopping; });
    if (self->next == nullptr) {
      self->exited = true;
      return;
    }
    job = std::move(self->next);
  }
}

class Pool {
 public:
  Pool() {
    instance_ = this;
    pthread_atfork(nullptr, nullptr, &Pool::OnForkChild);
  }

  std::shared_ptr<PooledJob> Submit(std::function<void()> run) {
    auto job = std::make_shared<PooledJob>();
    job->run = std::move(run);
    std::list<std::unique_ptr<Worker>> finished;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      Reap(&finished);
      if (!state_->parked.empty()) {
        Worker* w = state_->parked.back();
        state_->parked.pop_back();
        w->next = job;
        w->wake.notify_one();
      } else {
        auto w = std::make_unique<Worker>();
        w->thread = std::thread(worker_main, state_, w.get(), job);  // may throw system_error
        state_->workers.push_back(std::move(w));
      }
    }
    for (auto& w : finished) w->thread.join();
    return job;
  }

  size_t Parked() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->parked.size();
  }

  // At process exit: parked threads are woken and joined; a thread still running a job (a
  // query its host never closed) is left to end on its own.
  ~Pool() {
    std::list<std::unique_ptr<Worker>> idle;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->stopping = true;
      for (Worker* w : state_->parked) w->wake.notify_one();
      for (auto it = state_->workers.begin(); it != state_->workers.end();) {
        const bool parked = std::find(state_->parked.begin(), state_->parked.end(), it->get()) !=
                            state_->parked.end();
        if (parked || (*it)->exited) {
          idle.push_back(std::move(*it));
          it = state_->workers.erase(it);
        } else {
          (*it)->thread.detach();
          ++it;
        }
      }
      state_->parked.clear();
    }
    for (auto& w : idle) w->thread.join();
    instance_ = nullptr;
  }

 private:
  // Moves the workers whose threads have returned into `out`, to be joined outside the lock.
  void Reap(std::list<std::unique_ptr<Worker>>* out) {
    for (auto it = state_->workers.begin(); it != state_->workers.end();) {
      if ((*it)->exited) {
        out->push_back(std::move(*it));
        it = state_->workers.erase(it);
      } else {
        ++it;
      }
    }
  }

  // A child of fork() has none of the parent's threads: it starts a pool of its own, and the
  // parent's state (whose mutex another thread may have held at the fork) is left untouched.
  static void OnForkChild() {
    if (instance_ != nullptr) instance_->state_ = std::make_shared<PoolState>();
  }

  static inline Pool* instance_ = nullptr;
  std::shared_ptr<PoolState> state_ = std::make_shared<PoolState>();
};

Pool& pool() {
  static Pool instance;
  return instance;
}

}  // namespace

PooledThread::PooledThread(std::function<void()> job) : job_(pool().Submit(std::move(job))) {}

PooledThread& PooledThread::operator=(PooledThread&& other) noexcept {
  if (this != &other) {
    join();
    job_ = std::move(other.job_);
  }
  return *this;
}

PooledThread::~PooledThread() { join(); }

void PooledThread::join() {
  if (job_ == nullptr) return;
  {
    std::unique_lock<std::mutex> lock(job_->mutex);
    job_->cond.wait(lock, [this] { return job_->done; });
  }
  job_.reset();
}

bool PooledThread::join_for(std::chrono::milliseconds limit) {
  if (job_ == nullptr) return true;
  {
    std::unique_lock<std::mutex> lock(job_->mutex);
    if (!job_->cond.wait_for(lock, limit, [this] { return job_->done; })) return false;
  }
  job_.reset();
  return true;
}

size_t pooled_threads_parked_for_test() { return pool().Parked(); }

}  // namespace norvale
