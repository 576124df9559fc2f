#include "common/service.h"

#include <cstdio>

#include "base/logging.h"
#include "base/time_utils.h"

namespace corvaneserver {

std::atomic<rtc::Thread*> Service::service_thread_{nullptr};

std::string BuildTime() { return std::string(__DATE__) + " " + __TIME__; }

Service::Service() = default;

Service::~Service() {
  if (logger_) rtc::LogMessage::RemoveLogToStream(logger_.get());
}

bool Service::Init(const std::string& path, const std::string& name) {
  configure_ = Configure::Create(path, "=", "#");
  if (!configure_) {
    fprintf(stderr, "configure file %s is not exist\n", path.c_str());
    return false;
  }
  std::string log_file_path;
  if (!configure_->Read(log_file_path, "log_file_path")) {
    fprintf(stderr, "configure file have not set log file path\n");
    return false;
  }
  logger_ = std::make_unique<Logger>(log_file_path, name);
  rtc::LogMessage::AddLogToStream(logger_.get(), rtc::LS_INFO);
  RTC_LOG(LS_INFO) << "release time is " << BuildTime();

  std::string gateway_address;
  if (!configure_->Read(gateway_address, "gateway_address")) {
    fprintf(stderr, "gateway address is not exist in configure file\n");
    return false;
  }

  configure_->Read(statistics_interval_, "packet_statistics_interval_seconds");
  if (!StartupPacketProcessor()) return false;

  StartTimer(kTimerHeartbeat);
  StartTimer(kTimerInactive);
  StartTimer(kTimerRedeliver);
  return true;
}

void Service::Run() { rtc::Thread::Current()->Run(); }

void Service::BindServiceThread(rtc::Thread* thread) { service_thread_.store(thread); }

void Service::Destroy() {
  rtc::Thread* thread = service_thread_.load();
  if (thread != nullptr) thread->Quit();
}

void Service::Exit() {
  RTC_LOG(LS_WARNING) << "+++ begin to exit corvane_rec_server +++";
  Shutdown();
}

void Service::Shutdown() {}

void Service::StartTimer(uint32_t id) {
  if (id < kTimerBase || id - kTimerBase >= std::size(kTimerIntervalMs)) return;
  const int interval_ms = kTimerIntervalMs[id - kTimerBase];
  if (interval_ms == 0) return;
  rtc::Thread::Current()->PostDelayed(interval_ms, this, id);
}

bool Service::StartupPacketProcessor() { return true; }

bool Service::StartRecordListen() { return true; }

void Service::Statistics() {
  const int64_t now = rtc::TimeMillis();
  if (now >= last_statistics_time_ + kStatisticsIntervalMs) {
    OuputStatistics();
    last_statistics_time_ = now;
  }
}

int Service::GetSocket() { return -1; }

void Service::SendHeartbeat() {}

}  // namespace corvaneserver
