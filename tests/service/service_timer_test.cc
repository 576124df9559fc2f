// The service's periodic timers and its statistics pacing, driven by the fake clock.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "base/thread.h"
#include "base/time_utils.h"
#include "service/fake_server.h"
#include "service/service.h"

#include "support/log_capture.h"
#include "support/test_util.h"

namespace corvaneserver {
namespace {

class ServiceTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string conf = dir_.File("s.conf");
    testutil::WriteFile(conf, "log_file_path = /tmp/\n");
    server_ = std::make_unique<FakeServer>(conf);
  }
  void Advance(int64_t ms) {
    clock_.AdvanceTime(ms);
    thread_->ProcessMessages(0);
  }

  testutil::TempDir dir_;
  testutil::LogCapture logs_;
  rtc::ScopedFakeClock clock_;
  rtc::Thread* thread_ = rtc::Thread::Current();
  std::unique_ptr<FakeServer> server_;
};

TEST_F(ServiceTimerTest, IntervalTableArmsOnlyTheThreePeriodicTimers) {
  for (uint32_t id : {0x10000u, 0x10004u, 0x10005u, 0x0FFFFu, 12345u}) server_->StartTimer(id);
  Advance(60000);
  EXPECT_TRUE(server_->timer_ids.empty());

  server_->StartTimer(kTimerHeartbeat);
  server_->StartTimer(kTimerInactive);
  server_->StartTimer(kTimerRedeliver);
  Advance(99);
  EXPECT_TRUE(server_->timer_ids.empty());
  Advance(1);
  EXPECT_EQ(server_->timer_ids, (std::vector<uint32_t>{kTimerRedeliver}));

  // Re-armed on every run: a minute holds 600 redeliver ticks, 6 heartbeats
  // and 2 inactivity sweeps.
  server_->timer_ids.clear();
  for (int i = 0; i < 600; ++i) Advance(100);
  int heartbeats = 0;
  int redelivers = 0;
  int sweeps = 0;
  for (uint32_t id : server_->timer_ids) {
    heartbeats += id == kTimerHeartbeat;
    redelivers += id == kTimerRedeliver;
    sweeps += id == kTimerInactive;
  }
  EXPECT_EQ(redelivers, 600);
  EXPECT_EQ(heartbeats, 6);
  EXPECT_EQ(sweeps, 2);
}

TEST_F(ServiceTimerTest, IdTheServerDeclinesIsLoggedAsInvalidAndRearmed) {
  // The mixing server has no work for the redeliver tick: the first draws an
  // error line, later ones at most one an hour, and the tick keeps coming.
  server_->declined_timer_ids = {kTimerRedeliver};
  server_->StartTimer(kTimerRedeliver);
  server_->StartTimer(kTimerHeartbeat);
  for (int i = 0; i < 100; ++i) Advance(100);
  EXPECT_EQ(logs_.Count("timer id [65538] is invalid", rtc::LS_ERROR), 1u);
  EXPECT_EQ(logs_.Count("is invalid"), 1u);  // the heartbeat it handles draws none
  clock_.AdvanceTime(kInvalidTimerLogIntervalMs - 10000);
  Advance(100);
  EXPECT_EQ(logs_.Count("timer id [65538] is invalid", rtc::LS_ERROR), 2u);
  EXPECT_EQ(logs_.Count("is invalid (", rtc::LS_ERROR), 1u) << "the second counts those held back";
}

TEST_F(ServiceTimerTest, DeclinedIdOutsideTheTableIsLoggedAndNotArmed) {
  server_->declined_timer_ids = {0x10004};
  rtc::Message message;
  message.phandler = server_.get();
  message.message_id = 0x10004;
  const size_t pending = thread_->size();
  server_->OnMessage(&message);
  EXPECT_EQ(logs_.Count("timer id [65540] is invalid", rtc::LS_ERROR), 1u);
  EXPECT_EQ(thread_->size(), pending);
}

TEST_F(ServiceTimerTest, StatisticsRunAtOnceThenEveryFiveMinutesAtMost) {
  server_->Statistics();  // the clock is far past 0: the first call writes
  EXPECT_EQ(server_->statistics_outputs, 1);
  clock_.AdvanceTime(299999);
  server_->Statistics();
  EXPECT_EQ(server_->statistics_outputs, 1);
  clock_.AdvanceTime(1);
  server_->Statistics();
  EXPECT_EQ(server_->statistics_outputs, 2);
  // Called from the 30 s sweep, it writes every tenth time.
  for (int i = 0; i < 30; ++i) {
    clock_.AdvanceTime(30000);
    server_->Statistics();
  }
  EXPECT_EQ(server_->statistics_outputs, 5);
}

}  // namespace
}  // namespace corvaneserver
