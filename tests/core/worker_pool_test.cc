#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/worker_pool_internal.h"
#include "support/sanitizer_build.h"

namespace {

using norvale::PooledThread;

std::thread::id run_and_join(std::function<void()> extra = {}) {
  std::thread::id id;
  PooledThread t([&] {
    id = std::this_thread::get_id();
    if (extra) extra();
  });
  t.join();
  EXPECT_FALSE(t.joinable());
  return id;
}

TEST(WorkerPool, JobsOneAfterAnotherShareOneThread) {
  const std::thread::id first = run_and_join();
  EXPECT_NE(first, std::this_thread::get_id());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(run_and_join(), first);
  EXPECT_GE(norvale::pooled_threads_parked_for_test(), 1u);
}

TEST(WorkerPool, AThrowingJobLeavesItsThreadUsable) {
  const std::thread::id id = run_and_join([] { throw std::runtime_error("job failed"); });
  EXPECT_EQ(run_and_join(), id);
}

TEST(WorkerPool, JoinWaitsForTheJob) {
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  PooledThread t([&] {
    while (!release.load()) std::this_thread::yield();
    finished = true;
  });
  EXPECT_TRUE(t.joinable());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
  });
  t.join();
  EXPECT_TRUE(finished.load());
  releaser.join();
}

TEST(WorkerPool, JoinForGivesUpOnARunningJob) {
  std::atomic<bool> release{false};
  PooledThread t([&] {
    while (!release.load()) std::this_thread::yield();
  });
  EXPECT_FALSE(t.join_for(std::chrono::milliseconds(10)));
  EXPECT_TRUE(t.joinable());
  release = true;
  EXPECT_TRUE(t.join_for(std::chrono::seconds(60)));
  EXPECT_FALSE(t.joinable());
}

// A child of fork() has none of the parent's parked threads; its jobs run on threads of its own.
TEST(WorkerPool, JobsRunInAForkedChild) {
  if (nv_test::kThreadSanitizer) GTEST_SKIP() << "no threads after fork under ThreadSanitizer";
  run_and_join();  // at least one thread parked in this process
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a job handed to a thread that does not exist would wait forever
    std::atomic<bool> ran{false};
    PooledThread t([&] { ran = true; });
    t.join();
    _exit(ran.load() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Jobs that run at the same time get threads of their own; afterwards only a bounded number of
// threads stays parked.
TEST(WorkerPool, ConcurrentJobsEachGetAThread) {
  constexpr int kJobs = 20;
  std::mutex mu;
  std::set<std::thread::id> ids;
  std::atomic<int> started{0};
  {
    std::vector<PooledThread> jobs;
    for (int i = 0; i < kJobs; ++i) {
      jobs.emplace_back([&] {
        {
          std::lock_guard<std::mutex> lock(mu);
          ids.insert(std::this_thread::get_id());
        }
        ++started;
        while (started.load() < kJobs) std::this_thread::yield();  // all run at once
      });
    }
  }  // destructors join
  EXPECT_EQ(ids.size(), static_cast<size_t>(kJobs));
  EXPECT_LE(norvale::pooled_threads_parked_for_test(), 8u);
  EXPECT_GE(norvale::pooled_threads_parked_for_test(), 1u);
}

TEST(WorkerPool, AssigningOverARunningJobWaitsForIt) {
  std::atomic<bool> finished{false};
  PooledThread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    finished = true;
  });
  t = PooledThread([] {});
  EXPECT_TRUE(finished.load());
  t.join();
}

}  // namespace
