#include "zelcore/Singletons.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "zelcore/Application.h"
#include "zelcore/Executor.h"
#include "zelcore/Logging.h"
#include "zelcore/ZelException.h"

namespace {

using namespace zelcore::config;

TEST(SingletonsTest, TerminationsRunOnceInReverseOrderAndMayRegisterForTheNextRun) {
  std::vector<std::string> ran;
  std::vector<zelcore::logging::LoggedException> logged;
  auto const previousSink =
      zelcore::logging::SetLogSink([&](zelcore::logging::LoggedException const& e) { logged.push_back(e); });

  AddTerminationForSingleton("Test.First", [&] { ran.push_back("First"); });
  AddTerminationForSingleton("Test.Throws", [&] {
    ran.push_back("Throws");
    throw zel_exception("teardown failed", 0xA00F0042);
  });
  AddTerminationForSingleton("Test.Reregisters", [&] {
    ran.push_back("Reregisters");
    // A singleton touched during teardown comes back and registers again: kept for the next run.
    AddTerminationForSingleton("Test.Again", [&] { ran.push_back("Again"); });
  });
  auto const pending = GetPendingSingletonTerminations();
  auto const first = std::find(pending.begin(), pending.end(), "Test.First");
  ASSERT_NE(first, pending.end());
  EXPECT_EQ(std::vector<std::string>(first, pending.end()),
            (std::vector<std::string>{"Test.First", "Test.Throws", "Test.Reregisters"}));

  RunSingletonTerminations();
  EXPECT_EQ(ran, (std::vector<std::string>{"Reregisters", "Throws", "First"}));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].function.find("Test.Throws"), std::string::npos);
  EXPECT_EQ(logged[0].result, 0xA00F0042u);

  RunSingletonTerminations();
  EXPECT_EQ(ran, (std::vector<std::string>{"Reregisters", "Throws", "First", "Again"}));
  RunSingletonTerminations();
  EXPECT_EQ(ran.size(), 4u);
  zelcore::logging::SetLogSink(previousSink);
}

TEST(SingletonsTest, ShutdownApplicationDrainsPreTerminationWorkBeforeTerminations) {
  auto const executor = zelcore::async::CreatePreTerminationExecutor();
  auto const serial = zelcore::async::CreateSubExecutor(executor, 1);
  constexpr int kChains = 6;
  std::atomic<int> finished{0};
  for (int i = 0; i < kChains; ++i) {
    // Each task queues a follow-up, so draining has to include work queued while it waits.
    ASSERT_TRUE(serial->Execute([&finished, executor] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ++finished;
      executor->Execute([&finished] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ++finished;
      });
    }));
  }
  int seenByTermination = -1;
  AddTerminationForSingleton("Test.AfterDrain", [&] { seenByTermination = finished.load(); });
  ShutdownApplication();
  EXPECT_EQ(seenByTermination, 2 * kChains);
}

}  // namespace
