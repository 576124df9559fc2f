#include "base/mutex.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/thread_annotations.h"

#include "support/test_util.h"

namespace rtc {
namespace {

using Clock = std::chrono::steady_clock;

// Whether another thread could take the mutex just now.
bool FreeForAnotherThread(Mutex* mu) {
  bool taken = false;
  std::thread other([&] {
    if (mu->TryLock()) {
      taken = true;
      mu->Unlock();
    }
  });
  other.join();
  return taken;
}

TEST(MutexTest, TryLockFailsWhileAnotherThreadHoldsIt) {
  Mutex mu;
  {
    MutexLock hold(&mu);
    EXPECT_FALSE(FreeForAnotherThread(&mu));
  }
  EXPECT_TRUE(FreeForAnotherThread(&mu));
}

TEST(CondVarTest, WaitUntilAPassedDeadlineTimesOutAndKeepsTheLock) {
  Mutex mu;
  CondVar cv;
  MutexLock hold(&mu);
  EXPECT_FALSE(cv.WaitUntil(&mu, Clock::now() - std::chrono::milliseconds(1)));
  EXPECT_FALSE(FreeForAnotherThread(&mu));
}

struct Flag {
  Mutex mu;
  CondVar cv;
  bool ready GUARDED_BY(mu) = false;
};

TEST(CondVarTest, SignalWakesAWaiterBeforeItsDeadline) {
  Flag flag;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  std::thread signaller([&] {
    MutexLock hold(&flag.mu);
    flag.ready = true;
    flag.cv.Signal();
  });
  bool ready = false;
  {
    MutexLock hold(&flag.mu);
    while (!flag.ready && flag.cv.WaitUntil(&flag.mu, deadline)) {
    }
    ready = flag.ready;
  }
  signaller.join();
  EXPECT_TRUE(ready);
  EXPECT_LT(Clock::now(), deadline);
}

TEST(RWLockTest, ReadersHoldItTogether) {
  RWLock lock;
  std::atomic<bool> first_holds{false};
  std::atomic<bool> second_held{false};
  std::thread first([&] {
    ReadLockScoped hold(&lock);
    first_holds = true;
    // Released after the deadline in any case, so a failure cannot hang the test.
    testutil::WaitFor([&] { return second_held.load(); });
  });
  ASSERT_TRUE(testutil::WaitFor([&] { return first_holds.load(); }));
  std::thread second([&] {
    ReadLockScoped hold(&lock);
    second_held = true;
  });
  EXPECT_TRUE(testutil::WaitFor([&] { return second_held.load(); }));
  second.join();
  first.join();
}

struct Pair {
  RWLock lock;
  int a GUARDED_BY(lock) = 0;
  int b GUARDED_BY(lock) = 0;
};

TEST(RWLockTest, ReadersNeverSeeAWriterHalfWay) {
  constexpr int kWrites = 20000;
  Pair pair;
  std::atomic<int> torn{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&] {
      for (int i = 0; i < kWrites; ++i) {
        WriteLockScoped hold(&pair.lock);
        ++pair.a;
        ++pair.b;
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (writing) {
        ReadLockScoped hold(&pair.lock);
        if (pair.a != pair.b) ++torn;
      }
    });
  }
  threads[0].join();
  threads[1].join();
  writing = false;
  threads[2].join();
  threads[3].join();
  EXPECT_EQ(torn.load(), 0);
  ReadLockScoped hold(&pair.lock);
  EXPECT_EQ(pair.a, 2 * kWrites);
  EXPECT_EQ(pair.b, 2 * kWrites);
}

}  // namespace
}  // namespace rtc
