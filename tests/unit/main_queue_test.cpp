#include "setupstub/main_queue.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>
#include <vector>

#include "setupstub/condition_lock.h"
#include "setupstub/gtk_api.h"

namespace {

TEST(RunLoop, RunsTasksFromOtherThreadsInOrder) {
  RunLoop loop;
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < 1000; i++) loop.post([&seen, i] { seen.push_back(i); });
    loop.post([&] { loop.stop(); });
  });
  loop.run();
  poster.join();
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; i++) EXPECT_EQ(seen[i], i);
}

TEST(RunLoop, InterruptCallsTheHandlerOnTheLoopThread) {
  RunLoop loop;
  std::thread::id handlerThread;
  loop.setInterruptHandler([&] {
    handlerThread = std::this_thread::get_id();
    loop.stop();
  });
  loop.post([] { ::raise(SIGINT); });
  loop.run();
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
  // Outside run() SIGINT has its old disposition again.
  struct sigaction current {};
  ::sigaction(SIGINT, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST(GlibMainQueue, PostedTasksRunLaterInOrder) {
  const GtkApi* gtk = gtkApi();
  ASSERT_TRUE(gtk) << "GTK 3 is installed";
  GlibMainQueue queue;
  std::vector<int> seen;
  queue.post([&] { seen.push_back(1); });
  std::thread([&] { queue.post([&] { seen.push_back(2); }); }).join();
  EXPECT_TRUE(seen.empty()) << "never run at once, even from the main thread";
  while (gtk->g_main_context_iteration(nullptr, FALSE)) {
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(ConditionLock, HandsOverBetweenThreads) {
  ConditionLock lock(0);
  lock.lockWhenCondition(0);  // the main thread holds it while the download runs
  std::vector<std::string> order;
  std::mutex orderMutex;
  std::thread worker([&] {
    lock.lockWhenCondition(1);
    {
      std::lock_guard guard(orderMutex);
      order.push_back("worker woke");
    }
    lock.unlockWithCondition(0);
  });
  {
    std::lock_guard guard(orderMutex);
    order.push_back("download over");
  }
  lock.unlockWithCondition(1);
  worker.join();
  EXPECT_EQ(order, (std::vector<std::string>{"download over", "worker woke"}));
  EXPECT_EQ(lock.condition(), 0);
}

}  // namespace
