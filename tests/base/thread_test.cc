#include "base/thread.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"

namespace rtc {
namespace {

class Recorder : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    ids.push_back(msg->message_id);
    if (msg->pdata) {
      payloads.push_back(static_cast<TypedMessageData<int>*>(msg->pdata.get())->data());
    }
  }
  std::vector<uint32_t> ids;
  std::vector<int> payloads;
};

TEST(ThreadTest, DelayedMessagesFollowTheFakeClock) {
  ScopedFakeClock clock;
  Thread thread;
  Recorder recorder;
  thread.PostDelayed(30 * 60 * 1000, &recorder, 3);
  thread.PostDelayed(100, &recorder, 1);
  thread.PostDelayed(10000, &recorder, 2);

  thread.ProcessMessages(0);
  EXPECT_TRUE(recorder.ids.empty());

  clock.AdvanceTime(99);
  thread.ProcessMessages(0);
  EXPECT_TRUE(recorder.ids.empty());

  clock.AdvanceTime(1);
  thread.ProcessMessages(0);
  EXPECT_EQ(recorder.ids, (std::vector<uint32_t>{1}));

  clock.AdvanceTime(30 * 60 * 1000);  // both remaining ones are now due: due order
  thread.ProcessMessages(0);
  EXPECT_EQ(recorder.ids, (std::vector<uint32_t>{1, 2, 3}));
}

TEST(ThreadTest, EqualDueTimesKeepPostingOrderAndCarryData) {
  ScopedFakeClock clock;
  Thread thread;
  Recorder recorder;
  for (int i = 0; i < 5; ++i) {
    thread.PostDelayed(50, &recorder, 7, std::make_unique<TypedMessageData<int>>(i));
  }
  thread.Post(&recorder, 6);
  clock.AdvanceTime(50);
  thread.ProcessMessages(0);
  EXPECT_EQ(recorder.ids, (std::vector<uint32_t>{6, 7, 7, 7, 7, 7}));
  EXPECT_EQ(recorder.payloads, (std::vector<int>{0, 1, 2, 3, 4}));
}

// A handler that re-arms itself like the servers' periodic timers.
class Periodic : public MessageHandler {
 public:
  explicit Periodic(Thread* thread) : thread_(thread) {}
  void OnMessage(Message*) override {
    ++count;
    thread_->PostDelayed(100, this, 1);
  }
  Thread* thread_;
  int count = 0;
};

TEST(ThreadTest, PeriodicTimerDrivenForAnHourWithoutWaiting) {
  ScopedFakeClock clock;
  Thread thread;
  Periodic periodic(&thread);
  thread.PostDelayed(100, &periodic, 1);
  for (int i = 0; i < 36000; ++i) {
    clock.AdvanceTime(100);
    thread.ProcessMessages(0);
  }
  EXPECT_EQ(periodic.count, 36000);
}

TEST(ThreadTest, DestroyedHandlerLosesItsPendingMessages) {
  ScopedFakeClock clock;
  Thread thread;
  auto doomed = std::make_unique<Recorder>();
  Recorder survivor;
  thread.PostDelayed(10, doomed.get(), 1);
  thread.PostDelayed(10, &survivor, 2);
  EXPECT_EQ(thread.size(), 2u);
  doomed.reset();
  EXPECT_EQ(thread.size(), 1u);
  clock.AdvanceTime(10);
  thread.ProcessMessages(0);
  EXPECT_EQ(survivor.ids, (std::vector<uint32_t>{2}));
}

TEST(ThreadTest, ClearDropsOnlyTheNamedId) {
  Thread thread;
  Recorder recorder;
  thread.Post(&recorder, 1);
  thread.Post(&recorder, 2);
  thread.Clear(&recorder, 1);
  thread.ProcessMessages(0);
  EXPECT_EQ(recorder.ids, (std::vector<uint32_t>{2}));
}

TEST(ThreadTest, QuitFromAnotherThreadEndsRun) {
  Thread thread;
  std::atomic<bool> ran{false};
  thread.PostTask([&] { ran = true; });
  std::thread quitter([&] {
    while (!ran) std::this_thread::yield();
    thread.Quit();
  });
  thread.Run();  // returns only through Quit
  quitter.join();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(thread.IsQuitting());
}

TEST(ThreadTest, QuitBeforeRunReturnsAtOnceAndRestartRunsAgain) {
  Thread thread;
  thread.Quit();
  thread.Run();
  EXPECT_TRUE(thread.IsQuitting());
  thread.Restart();
  bool ran = false;
  thread.PostTask([&] {
    ran = true;
    thread.Quit();
  });
  thread.Run();
  EXPECT_TRUE(ran);
}

TEST(ThreadTest, TasksPostedFromOtherThreadsRunOnTheLoop) {
  Thread thread;
  const std::thread::id loop_id = std::this_thread::get_id();
  std::atomic<int> on_loop{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 250; ++i) {
        thread.PostTask([&] {
          if (std::this_thread::get_id() == loop_id) ++on_loop;
          if (on_loop == 1000) thread.Quit();
        });
      }
    });
  }
  thread.Run();
  for (auto& p : posters) p.join();
  EXPECT_EQ(on_loop, 1000);
}

TEST(ThreadTest, RealClockDelayFiresWithoutBusyWaiting) {
  Thread thread;
  Recorder recorder;
  const int64_t start = TimeMillis();
  thread.PostDelayed(20, &recorder, 9);
  thread.PostTask([] {});
  while (recorder.ids.empty() && TimeMillis() - start < 5000) thread.ProcessMessages(50);
  ASSERT_EQ(recorder.ids, (std::vector<uint32_t>{9}));
  EXPECT_GE(TimeMillis() - start, 20);
}

TEST(ThreadTest, DisposeDeletesLaterOnTheLoop) {
  struct Tracked {
    explicit Tracked(bool* flag) : deleted(flag) {}
    ~Tracked() { *deleted = true; }
    bool* deleted;
  };
  Thread thread;
  bool deleted = false;
  thread.Dispose(new Tracked(&deleted));
  EXPECT_FALSE(deleted);
  thread.ProcessMessages(0);
  EXPECT_TRUE(deleted);
}

TEST(ThreadTest, DisposedObjectIsDeletedWhenTheLoopGoesAwayFirst) {
  struct Tracked {
    explicit Tracked(bool* flag) : deleted(flag) {}
    ~Tracked() { *deleted = true; }
    bool* deleted;
  };
  bool deleted = false;
  {
    Thread thread;
    thread.Dispose(new Tracked(&deleted));
    EXPECT_FALSE(deleted);
  }
  EXPECT_TRUE(deleted);
}

Thread* g_signal_target = nullptr;
void QuitOnSignal(int) { g_signal_target->Quit(); }

TEST(ThreadTest, SignalTakenByAnotherThreadQuitsTheLoop) {
  Thread thread;
  g_signal_target = &thread;
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = QuitOnSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  // Block the signal here so that the worker is the thread that takes it.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &set, &old);
  std::thread worker([&] {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    pthread_kill(pthread_self(), SIGUSR1);
  });
  thread.Run();
  worker.join();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(thread.IsQuitting());
}

TEST(ThreadTest, CurrentIsPerThreadAndStable) {
  Thread* mine = Thread::Current();
  EXPECT_EQ(mine, Thread::Current());
  EXPECT_TRUE(mine->IsCurrent());
  Thread* other = nullptr;
  std::thread t([&] { other = Thread::Current(); });
  t.join();
  EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace rtc
