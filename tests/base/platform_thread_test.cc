#include "base/platform_thread.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_util.h"

namespace rtc {
namespace {

struct Counter {
  std::atomic<int> calls{0};
  std::atomic<bool> keep_going{true};
  std::string name;
};

bool CountCalls(void* obj) {
  auto* counter = static_cast<Counter*>(obj);
  if (counter->calls.fetch_add(1) == 0) {
    char name[32] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    counter->name = name;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return counter->keep_going.load();
}

TEST(PlatformThreadTest, RepeatsEntryUntilStoppedAndIsNamed) {
  Counter counter;
  PlatformThread thread(&CountCalls, &counter, "ReceiveWorker");
  EXPECT_FALSE(thread.IsRunning());
  thread.Start();
  thread.Start();  // harmless
  EXPECT_TRUE(thread.IsRunning());
  ASSERT_TRUE(testutil::WaitFor([&] { return counter.calls.load() >= 3; }));
  thread.Stop();
  EXPECT_FALSE(thread.IsRunning());
  const int after_stop = counter.calls.load();
  EXPECT_EQ(counter.name, "ReceiveWorker");
  thread.Stop();                                // harmless
  EXPECT_EQ(counter.calls.load(), after_stop);  // joined: nothing runs any more
}

TEST(PlatformThreadTest, LongNamesAreCutToFifteenCharacters) {
  Counter counter;
  counter.keep_going = false;
  PlatformThread thread(&CountCalls, &counter, "AVeryLongThreadNameIndeed");
  thread.Start();
  ASSERT_TRUE(testutil::WaitFor([&] { return counter.calls.load() == 1; }));
  thread.Stop();
  EXPECT_EQ(counter.name, "AVeryLongThread");
}

TEST(PlatformThreadTest, EntryReturningFalseEndsTheThreadButStopStillJoins) {
  Counter counter;
  counter.keep_going = false;
  PlatformThread thread(&CountCalls, &counter, "once");
  thread.Start();
  ASSERT_TRUE(testutil::WaitFor([&] { return counter.calls.load() == 1; }));
  thread.Stop();
  EXPECT_EQ(counter.calls.load(), 1);
}

TEST(PlatformThreadTest, CanRestartAfterStop) {
  Counter counter;
  PlatformThread thread(&CountCalls, &counter, "again");
  thread.Start();
  ASSERT_TRUE(testutil::WaitFor([&] { return counter.calls.load() >= 1; }));
  thread.Stop();
  const int first = counter.calls.load();
  thread.Start();
  ASSERT_TRUE(testutil::WaitFor([&] { return counter.calls.load() > first; }));
  thread.Stop();
}

}  // namespace
}  // namespace rtc
