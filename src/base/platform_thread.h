// A named worker thread that calls its entry again and again until stopped.
#ifndef BASE_PLATFORM_THREAD_H_
#define BASE_PLATFORM_THREAD_H_

#include <atomic>
#include <string>
#include <thread>

namespace rtc {

// Returns true to be called again; false ends the thread (Stop still joins it).
// The entry paces itself: it may block for a bounded time (at most
// kMaxEntryBlockMs) so that Stop() is noticed promptly.
using ThreadRunFunction = bool (*)(void*);
// The longest one call of an entry blocks while it waits for work.
constexpr int kMaxEntryBlockMs = 10;

class PlatformThread {
 public:
  // The name is cut to 15 characters, the kernel's limit.
  PlatformThread(ThreadRunFunction func, void* obj, std::string thread_name);
  ~PlatformThread();  // Stop()
  PlatformThread(const PlatformThread&) = delete;
  PlatformThread& operator=(const PlatformThread&) = delete;

  // Starting a running thread does nothing.
  void Start();
  bool IsRunning() const { return thread_.joinable(); }
  // Sets the stop flag and joins. Harmless on a stopped thread.
  // Must not be called from the thread itself.
  void Stop();

  const std::string& name() const { return name_; }

  // Names the calling thread (15 characters at most).
  static void SetCurrentThreadName(const std::string& name);

 private:
  void Loop();

  const ThreadRunFunction run_function_;
  void* const obj_;
  const std::string name_;
  std::atomic<bool> stop_flag_{false};
  std::thread thread_;
};

}  // namespace rtc

#endif  // BASE_PLATFORM_THREAD_H_
