// The cancel registry: who a cancel reaches, and when an action may no longer run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "adbc/cancel_registry_internal.h"
#include "adbc/state_internal.h"

namespace norvale::adbc {
namespace {

TEST(CancelRegistry, CancelReachesItsOwnerOrEveryone) {
  CancelRegistry registry;
  auto first = registry.begin(1);
  auto second = registry.begin(2);
  auto connection = registry.begin(kConnectionOwner);
  registry.cancel(2);
  EXPECT_FALSE(first->cancelled());
  EXPECT_TRUE(second->cancelled());
  EXPECT_FALSE(connection->cancelled());
  registry.cancel_all();
  EXPECT_TRUE(first->cancelled());
  EXPECT_TRUE(connection->cancelled());
  // A cancel reaches only what runs: an operation begun afterwards starts fresh.
  EXPECT_FALSE(registry.begin(2)->cancelled());
}

TEST(CancelRegistry, OperationsEndWithTheirLastHolder) {
  CancelRegistry registry;
  int runs = 0;
  {
    auto operation = registry.begin(7);
    CancelTarget target(operation, [&runs] { ++runs; });
  }
  registry.cancel(7);  // nothing is left to reach
  EXPECT_EQ(runs, 0);

  // A target keeps its operation registered after the call that began it returned, as a
  // result stream does.
  CancelTarget kept;
  {
    auto operation = registry.begin(7);
    kept = CancelTarget(operation, [&runs] { ++runs; });
  }
  registry.cancel(7);
  EXPECT_EQ(runs, 1);
  kept.reset();
  registry.cancel(7);
  EXPECT_EQ(runs, 1);
}

TEST(CancelOperation, ActionAttachedAfterTheCancelRunsAtOnce) {
  auto operation = std::make_shared<CancelOperation>(3);
  operation->cancel();
  int runs = 0;
  CancelTarget target(operation, [&runs] { ++runs; });
  EXPECT_EQ(runs, 1);
}

// What an action cancels may be freed as soon as its target is gone: detaching waits for a
// cancel that is running the action on another thread.
TEST(CancelOperation, DetachingWaitsForARunningAction) {
  auto operation = std::make_shared<CancelOperation>(3);
  std::promise<void> action_started;
  std::promise<void> let_action_finish;
  std::shared_future<void> finish = let_action_finish.get_future().share();
  std::atomic<bool> action_done{false};
  auto target = std::make_unique<CancelTarget>(operation, [&] {
    action_started.set_value();
    finish.wait();
    action_done = true;
  });
  std::thread canceller([&] { operation->cancel(); });
  action_started.get_future().wait();
  auto detached = std::async(std::launch::async, [&] { target.reset(); });
  // Still blocked: the action runs.
  EXPECT_EQ(detached.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  let_action_finish.set_value();
  detached.get();
  EXPECT_TRUE(action_done);
  canceller.join();
}

TEST(StatementOperation, NestedCallsJoinTheOutermost) {
  NVAdbcConnectionState connection{};
  connection.cancel_registry = new CancelRegistry;
  NVAdbcStatementState statement{};
  statement.connection = &connection;
  statement.cancel_owner = next_cancel_owner();
  {
    const StatementOperation outer(&statement);
    EXPECT_EQ(statement.operation, outer.shared().get());
    {
      const StatementOperation inner(&statement);
      EXPECT_EQ(inner.shared(), outer.shared());
    }
    EXPECT_EQ(statement.operation, outer.shared().get()) << "the inner call leaves it in place";
    connection.cancel_registry->cancel(statement.cancel_owner);
    EXPECT_TRUE(outer->cancelled());
  }
  EXPECT_EQ(statement.operation, nullptr);
  {
    const StatementOperation next(&statement);
    EXPECT_FALSE(next->cancelled());
  }
  delete connection.cancel_registry;
}

TEST(CancelOwner, NeverReusedAndNeverTheConnections) {
  const uint64_t a = next_cancel_owner();
  const uint64_t b = next_cancel_owner();
  EXPECT_NE(a, kConnectionOwner);
  EXPECT_GT(b, a);
}

}  // namespace
}  // namespace norvale::adbc
