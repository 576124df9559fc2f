// MixerPool: every task's pass every 20 ms on the fake clock, lost time not
// made up, one pass of a task at a time, and Remove waiting for a pass in flight.
#include "mfu/mixer_pool.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "mfu/mixer_schedule.h"
#include "packet/batch_sender.h"

#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

// Real time a test waits for something that must happen.
constexpr int kDeadlineMs = 5000;
// Real time after which a pass that should not run is taken as not running:
// longer than a worker's longest wait.
constexpr int kQuietMs = 50;

bool WaitFor(const std::function<bool()>& done, int deadline_ms = kDeadlineMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(NextPassDueTest, KeepsTheStepsWhileOnTimeAndDoesNotMakeUpLostTime) {
  constexpr int64_t p = kMixerPeriodUs;
  EXPECT_EQ(NextPassDue(0, 0, 1000), p);
  EXPECT_EQ(NextPassDue(0, 5000, 6000), p);                  // late start: same step
  EXPECT_EQ(NextPassDue(0, p + 300, p + 400), 2 * p + 300);  // a whole period late: re-based
  EXPECT_EQ(NextPassDue(0, 100, p + 700), p + 700);          // a long pass: the next at once
}

TEST(PassLatenessTest, PercentilesAreBucketBounds) {
  PassLateness lateness;
  EXPECT_EQ(lateness.PercentileUs(0.99), 0);
  for (int i = 0; i < 98; ++i) lateness.Record(50);
  lateness.Record(-10);
  lateness.Record(1234);
  EXPECT_EQ(lateness.Count(), 100u);
  EXPECT_EQ(lateness.PercentileUs(0.5), 100);
  EXPECT_EQ(lateness.PercentileUs(0.99), 100);
  EXPECT_EQ(lateness.PercentileUs(1.0), 1300);
  lateness.Record(int64_t{1} << 40);
  EXPECT_EQ(lateness.PercentileUs(1.0), PassLateness::kBucketUs * PassLateness::kBuckets);
}

TEST(MixerPoolTest, PassesComeEveryPeriodOnWorkersNamedMfuMixer) {
  rtc::ScopedFakeClock clock;
  PassLateness lateness;
  MixerPool pool(2, &lateness);
  std::atomic<int> passes{0};
  std::string name;
  const MixerPool::TaskId id = pool.Add([&] {
    if (passes.load() == 0) {
      char text[16] = {};
      pthread_getname_np(pthread_self(), text, sizeof(text));
      name = text;
    }
    passes.fetch_add(1);
  });
  // Task 1's passes fall due 12.361 ms into each period (its phase; the test
  // clock starts at a whole number of periods), and are taken from up to
  // kEarlyTakeUs before that, not earlier.
  static_assert(MixerPool::kEarlyTakeUs == 1000);
  clock.AdvanceTime(11);
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_EQ(passes.load(), 0);
  clock.AdvanceTime(1);
  ASSERT_TRUE(WaitFor([&] { return passes.load() == 1; }));
  EXPECT_EQ(name, "mfu_mixer");
  clock.AdvanceTime(kMixerPeriodMs - 1);  // 31 ms
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_EQ(passes.load(), 1);
  clock.AdvanceTime(1);
  ASSERT_TRUE(WaitFor([&] { return passes.load() == 2; }));
  // Five periods at once: one pass, not five.
  clock.AdvanceTime(5 * kMixerPeriodMs);
  ASSERT_TRUE(WaitFor([&] { return passes.load() == 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_EQ(passes.load(), 3);
  EXPECT_EQ(lateness.Count(), 3u);
  // The first two were taken early (0), the third 79.6 ms late: beyond the last bucket.
  EXPECT_EQ(lateness.PercentileUs(0.6), PassLateness::kBucketUs);
  EXPECT_EQ(lateness.PercentileUs(1.0), PassLateness::kBucketUs * PassLateness::kBuckets);
  pool.Remove(id);
  EXPECT_EQ(pool.task_count(), 0u);
  clock.AdvanceTime(kMixerPeriodMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_EQ(passes.load(), 3);
}

TEST(MixerPoolTest, APassSendsThroughItsWorkersBatchFlushedWhenThePassesAreDone) {
  // A pass's deliveries queue on the worker and leave together after it (and
  // the other passes due with it), not one call each.
  rtc::ScopedFakeClock clock;
  testing_support::UdpPeer from;
  testing_support::UdpPeer to;
  ASSERT_TRUE(from.ok() && to.ok());
  MixerPool pool(1, nullptr);
  std::atomic<bool> batched{false};
  std::atomic<bool> held_until_after{false};
  std::atomic<int> passes{0};
  const MixerPool::TaskId id = pool.Add([&] {
    if (passes.fetch_add(1) != 0) return;
    batched = BatchSender::OfThisThread() != nullptr;
    ThreadBatch batch;
    const uint8_t bytes[2] = {0xA1, 7};
    batch->AddCopy(from.fd(), to.address(), bytes, sizeof(bytes));
    batch->AddCopy(from.fd(), to.address(), bytes, sizeof(bytes));
    held_until_after = !to.Receive(0).has_value();
  });
  clock.AdvanceTime(kMixerPeriodMs);
  ASSERT_TRUE(WaitFor([&] { return passes.load() >= 1; }));
  EXPECT_TRUE(to.Receive().has_value());
  EXPECT_TRUE(to.Receive().has_value());
  EXPECT_TRUE(batched);
  EXPECT_TRUE(held_until_after);
  pool.Remove(id);
}

TEST(MixerPoolTest, APassWithAWorkFlagRunsOnlyWhileTheFlagIsUpAndKeepsItsPeriod) {
  rtc::ScopedFakeClock clock;
  PassLateness lateness;
  MixerPool pool(2, &lateness);
  std::atomic<int> passes{0};
  std::atomic<bool>* work = nullptr;
  std::atomic<bool> lower{true};
  const MixerPool::TaskId id = pool.AddWithWorkFlag(
      [&] {
        passes.fetch_add(1);
        if (lower.load()) work->store(false);
      },
      &work);
  ASSERT_NE(work, nullptr);
  EXPECT_FALSE(work->load());
  // Due 12.361 ms into each period: two periods without work are skipped,
  // but they count as passes.
  clock.AdvanceTime(12);
  ASSERT_TRUE(WaitFor([&] { return lateness.Count() == 1; }));
  clock.AdvanceTime(kMixerPeriodMs);
  ASSERT_TRUE(WaitFor([&] { return lateness.Count() == 2; }));
  EXPECT_EQ(passes.load(), 0);
  // Raised between two due times: called at the next one, not before.
  work->store(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_EQ(passes.load(), 0);
  clock.AdvanceTime(kMixerPeriodMs);
  ASSERT_TRUE(WaitFor([&] { return passes.load() == 1; }));
  // The pass lowered it: the next due time skips it again.
  clock.AdvanceTime(kMixerPeriodMs);
  ASSERT_TRUE(WaitFor([&] { return lateness.Count() == 4; }));
  EXPECT_EQ(passes.load(), 1);
  // Left up, it is called once per period.
  lower.store(false);
  work->store(true);
  for (int round = 2; round <= 4; ++round) {
    clock.AdvanceTime(kMixerPeriodMs);
    ASSERT_TRUE(WaitFor([&] { return passes.load() == round; })) << round;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_EQ(passes.load(), 4);
  pool.Remove(id);
  EXPECT_EQ(pool.task_count(), 0u);
  // Its slot goes to the next task, with its flag down again.
  std::atomic<bool>* next_work = nullptr;
  const MixerPool::TaskId next = pool.AddWithWorkFlag([] {}, &next_work);
  ASSERT_NE(next_work, nullptr);
  EXPECT_FALSE(next_work->load());
  pool.Remove(next);
}

TEST(MixerPoolTest, RemoveWaitsForThePassInFlightAndPassesNeverOverlap) {
  MixerPool pool(3, nullptr);
  std::atomic<bool> release{false};
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> passes{0};
  const MixerPool::TaskId id = pool.Add([&] {
    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
    passes.fetch_add(1);
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    inside.fetch_sub(1);
  });
  ASSERT_TRUE(WaitFor([&] { return inside.load() == 1; }));
  std::atomic<bool> removed{false};
  std::thread remover([&] {
    pool.Remove(id);
    removed.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_FALSE(removed.load());
  release.store(true);
  remover.join();
  EXPECT_TRUE(removed.load());
  EXPECT_EQ(inside.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  const int after = passes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_EQ(passes.load(), after);
}

// While the worker waiting for a due time is held up in a pass, another
// worker runs the pass that falls due meanwhile.
TEST(MixerPoolTest, AnotherWorkerRunsADuePassWhileTheFirstIsHeldUp) {
  rtc::ScopedFakeClock clock;
  MixerPool pool(2, nullptr);
  // Both workers idle before the tasks come.
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  std::atomic<int> counted_passes{0};
  std::atomic<bool> release{false};
  std::atomic<int> held{0};
  // By their phases, the first falls due about 12 ms in, the second about 5.
  const MixerPool::TaskId counted = pool.Add([&] { counted_passes.fetch_add(1); });
  const MixerPool::TaskId holder = pool.Add([&] {
    held.fetch_add(1);
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  clock.AdvanceTime(6);
  ASSERT_TRUE(WaitFor([&] { return held.load() == 1; }));
  EXPECT_EQ(counted_passes.load(), 0);
  clock.AdvanceTime(14);
  EXPECT_TRUE(WaitFor([&] { return counted_passes.load() >= 1; }));
  release.store(true);
  pool.Remove(holder);
  pool.Remove(counted);
}

TEST(MixerPoolTest, ManyTasksAreEachPassedOncePerPeriod) {
  rtc::ScopedFakeClock clock;
  MixerPool pool(2, nullptr);
  constexpr int kTasks = 50;
  std::array<std::atomic<int>, kTasks> passes{};
  std::vector<MixerPool::TaskId> ids;
  for (int i = 0; i < kTasks; ++i)
    ids.push_back(pool.Add([&passes, i] { passes[i].fetch_add(1); }));
  for (int round = 1; round <= 3; ++round) {
    clock.AdvanceTime(kMixerPeriodMs);
    ASSERT_TRUE(WaitFor([&] {
      for (const auto& count : passes) {
        if (count.load() < round) return false;
      }
      return true;
    })) << round;
  }
  for (const auto& count : passes) EXPECT_LE(count.load(), 4);
  // Half the tasks go while they wait; the others keep their period.
  for (int i = 0; i < kTasks; i += 2) pool.Remove(ids[static_cast<size_t>(i)]);
  EXPECT_EQ(pool.task_count(), static_cast<size_t>(kTasks / 2));
  std::array<int, kTasks> before;
  for (int i = 0; i < kTasks; ++i) before[static_cast<size_t>(i)] = passes[i].load();
  clock.AdvanceTime(kMixerPeriodMs);
  ASSERT_TRUE(WaitFor([&] {
    for (int i = 1; i < kTasks; i += 2) {
      if (passes[i].load() == before[static_cast<size_t>(i)]) return false;
    }
    return true;
  }));
  for (int i = 0; i < kTasks; i += 2) EXPECT_EQ(passes[i].load(), before[static_cast<size_t>(i)]);
  for (int i = 1; i < kTasks; i += 2) pool.Remove(ids[static_cast<size_t>(i)]);
  EXPECT_EQ(pool.task_count(), 0u);
}

}  // namespace
}  // namespace corvaneserver
