// The service thread's message loop: delayed messages that follow rtc::TimeMillis(),
// cross-thread posts, and an Asio io_context for the sockets that live on the loop.
#ifndef BASE_THREAD_H_
#define BASE_THREAD_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace rtc {

class MessageHandler;

// Optional payload of a message; owned by the message.
class MessageData {
 public:
  MessageData() = default;
  virtual ~MessageData() = default;
};

template <class T>
class TypedMessageData : public MessageData {
 public:
  explicit TypedMessageData(T data) : data_(std::move(data)) {}
  T& data() { return data_; }

 private:
  T data_;
};

struct Message {
  MessageHandler* phandler = nullptr;
  uint32_t message_id = 0;
  std::unique_ptr<MessageData> pdata;
};

class MessageHandler {
 public:
  MessageHandler() = default;
  // Removes this handler's pending messages from every loop.
  virtual ~MessageHandler();
  MessageHandler(const MessageHandler&) = delete;
  MessageHandler& operator=(const MessageHandler&) = delete;

  virtual void OnMessage(Message* msg) = 0;
};

constexpr uint32_t kMQIDAny = 0xFFFFFFFF;

class Thread {
 public:
  Thread();
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // The calling thread's loop, created on first use and owned by the thread.
  static Thread* Current();

  // Runs the loop until Quit(). Returns at once if Quit() came first.
  void Run();
  // Runs the loop for up to cms milliseconds of real time (0: only what is
  // ready now). Returns false if the loop was quit.
  bool ProcessMessages(int cms);
  // Makes Run() return. Safe from any thread and from a signal handler
  // (an atomic store and a write to an eventfd).
  void Quit();
  bool IsQuitting() const { return quit_.load(std::memory_order_acquire); }
  // Clears the quit flag so the loop can run again.
  void Restart() { quit_.store(false, std::memory_order_release); }

  // Safe from any thread. Messages fall due in order of due time, then posting order.
  void Post(MessageHandler* handler, uint32_t id = 0, std::unique_ptr<MessageData> data = nullptr);
  void PostDelayed(int delay_ms, MessageHandler* handler, uint32_t id = 0,
                   std::unique_ptr<MessageData> data = nullptr);
  // Runs a task on the loop; safe from any thread.
  void PostTask(std::function<void()> task);
  // Deletes the object later from the loop, never inside the caller's own
  // callback. The queue owns it meanwhile: a loop destroyed before it runs
  // again (at process exit) still deletes it.
  template <class T>
  void Dispose(T* doomed) {
    std::shared_ptr<T> holder(doomed);
    PostTask([holder]() mutable { holder.reset(); });
  }
  // Drops pending messages of the handler (and id, unless kMQIDAny).
  void Clear(MessageHandler* handler, uint32_t id = kMQIDAny) EXCLUDES(mu_);
  // Number of pending messages and tasks.
  size_t size() const EXCLUDES(mu_);

  bool IsCurrent() const;
  // The loop's io_context; objects bound to it run their handlers on this thread.
  asio::io_context& io_context() { return io_; }

  // Wakes every loop so that it looks at its delayed messages again; the fake
  // clock calls it whenever it moves.
  static void WakeAllForClockChange();

 private:
  struct Pending {
    Message msg;
    std::function<void()> task;
  };
  using Key = std::pair<int64_t, uint64_t>;  // (due time in ms, posting order)

  void Enqueue(int64_t due_ms, Pending pending) EXCLUDES(mu_);
  void Wake();
  void ArmWakeWait();
  // Dispatches what is due now; returns false when the loop was quit meanwhile.
  bool DispatchDue() EXCLUDES(mu_);
  void ArmTimerForNextDue() EXCLUDES(mu_);

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  asio::posix::stream_descriptor wake_desc_;  // eventfd; written by Wake()/Quit()
  int wake_fd_;
  asio::steady_timer timer_;  // real clock only: sleeps until the next due message
  int64_t timer_due_ms_ = -1;
  std::atomic<bool> quit_{false};

  // Taken after the registry lock of every loop (MessageHandler's destructor
  // clears its messages from each loop while holding it).
  mutable Mutex mu_;
  std::map<Key, Pending> queue_ GUARDED_BY(mu_);
  uint64_t next_seq_ GUARDED_BY(mu_) = 0;
};

}  // namespace rtc

#endif  // BASE_THREAD_H_
