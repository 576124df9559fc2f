#include "base/platform_thread.h"

#include <pthread.h>

#include <utility>

namespace rtc {

PlatformThread::PlatformThread(ThreadRunFunction func, void* obj, std::string thread_name)
    : run_function_(func), obj_(obj), name_(std::move(thread_name)) {}

PlatformThread::~PlatformThread() { Stop(); }

void PlatformThread::Start() {
  if (thread_.joinable()) return;
  stop_flag_.store(false, std::memory_order_release);
  thread_ = std::thread(&PlatformThread::Loop, this);
}

void PlatformThread::Stop() {
  if (!thread_.joinable()) return;
  stop_flag_.store(true, std::memory_order_release);
  thread_.join();
}

void PlatformThread::SetCurrentThreadName(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

void PlatformThread::Loop() {
  SetCurrentThreadName(name_);
  while (!stop_flag_.load(std::memory_order_acquire)) {
    if (!run_function_(obj_)) break;
  }
}

}  // namespace rtc
