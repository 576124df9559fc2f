#include "base/thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "base/time_utils.h"

namespace rtc {
namespace {

// Every live Thread, so the fake clock can wake them and a dying handler can
// clear its messages.
struct Registry {
  Mutex mu;
  std::set<Thread*> threads GUARDED_BY(mu);
};

Registry& GetRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

thread_local std::unique_ptr<Thread> t_owned_thread;
thread_local Thread* t_current = nullptr;

}  // namespace

MessageHandler::~MessageHandler() {
  Registry& registry = GetRegistry();
  MutexLock hold(&registry.mu);
  for (Thread* thread : registry.threads) thread->Clear(this);
}

Thread::Thread()
    : io_(1),
      work_(asio::make_work_guard(io_)),
      wake_desc_(io_),
      wake_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      timer_(io_) {
  wake_desc_.assign(wake_fd_);
  ArmWakeWait();
  Registry& registry = GetRegistry();
  MutexLock hold(&registry.mu);
  registry.threads.insert(this);
}

Thread::~Thread() {
  // Pending tasks may own objects (Dispose) that still need the io_context.
  std::map<Key, Pending> pending;
  {
    MutexLock hold(&mu_);
    pending.swap(queue_);
  }
  pending.clear();
  {
    Registry& registry = GetRegistry();
    MutexLock hold(&registry.mu);
    registry.threads.erase(this);
  }
  if (t_current == this) t_current = nullptr;
}

Thread* Thread::Current() {
  if (t_current == nullptr) {
    t_owned_thread = std::make_unique<Thread>();
    t_current = t_owned_thread.get();
  }
  return t_current;
}

bool Thread::IsCurrent() const { return t_current == this; }

void Thread::Run() { ProcessMessages(-1); }

void Thread::Quit() {
  quit_.store(true, std::memory_order_release);
  Wake();
}

void Thread::Wake() {
  const uint64_t one = 1;
  // Nothing to do on failure: the counter is already non-zero and the loop wakes.
  [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof(one));
}

void Thread::ArmWakeWait() {
  wake_desc_.async_wait(asio::posix::stream_descriptor::wait_read, [this](std::error_code ec) {
    if (ec) return;
    uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(wake_fd_, &count, sizeof(count));
    ArmWakeWait();
  });
}

void Thread::Post(MessageHandler* handler, uint32_t id, std::unique_ptr<MessageData> data) {
  PostDelayed(0, handler, id, std::move(data));
}

void Thread::PostDelayed(int delay_ms, MessageHandler* handler, uint32_t id,
                         std::unique_ptr<MessageData> data) {
  Pending pending;
  pending.msg.phandler = handler;
  pending.msg.message_id = id;
  pending.msg.pdata = std::move(data);
  Enqueue(TimeMillis() + (delay_ms > 0 ? delay_ms : 0), std::move(pending));
}

void Thread::PostTask(std::function<void()> task) {
  Pending pending;
  pending.task = std::move(task);
  Enqueue(TimeMillis(), std::move(pending));
}

void Thread::Enqueue(int64_t due_ms, Pending pending) {
  {
    MutexLock hold(&mu_);
    queue_.emplace(Key(due_ms, next_seq_++), std::move(pending));
  }
  Wake();
}

void Thread::Clear(MessageHandler* handler, uint32_t id) {
  MutexLock hold(&mu_);
  for (auto it = queue_.begin(); it != queue_.end();) {
    const Message& msg = it->second.msg;
    if (msg.phandler == handler && (id == kMQIDAny || msg.message_id == id)) {
      it = queue_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t Thread::size() const {
  MutexLock hold(&mu_);
  return queue_.size();
}

void Thread::WakeAllForClockChange() {
  Registry& registry = GetRegistry();
  MutexLock hold(&registry.mu);
  for (Thread* thread : registry.threads) thread->Wake();
}

bool Thread::DispatchDue() {
  uint64_t seq_limit;
  {
    MutexLock hold(&mu_);
    seq_limit = next_seq_;  // what a handler posts now waits for the next pass
  }
  for (;;) {
    if (IsQuitting()) return false;
    Pending pending;
    {
      MutexLock hold(&mu_);
      const int64_t now = TimeMillis();
      auto it = queue_.begin();
      while (it != queue_.end() && it->first.first <= now && it->first.second >= seq_limit) ++it;
      if (it == queue_.end() || it->first.first > now) return true;
      pending = std::move(it->second);
      queue_.erase(it);
    }
    if (pending.task) {
      pending.task();
    } else if (pending.msg.phandler) {
      pending.msg.phandler->OnMessage(&pending.msg);
    }
  }
}

void Thread::ArmTimerForNextDue() {
  if (IsFakeClockInstalled()) return;  // the fake clock wakes us when it moves
  int64_t next_due = -1;
  {
    MutexLock hold(&mu_);
    if (!queue_.empty()) next_due = queue_.begin()->first.first;
  }
  if (next_due < 0 || next_due == timer_due_ms_) return;
  timer_due_ms_ = next_due;
  timer_.expires_after(std::chrono::milliseconds(next_due - TimeMillis()));
  timer_.async_wait([this](std::error_code ec) {
    if (!ec) timer_due_ms_ = -1;
  });
}

bool Thread::ProcessMessages(int cms) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(cms < 0 ? 0 : cms);
  t_current = t_current ? t_current : this;
  for (;;) {
    if (!DispatchDue()) return false;
    ArmTimerForNextDue();
    if (cms < 0) {
      io_.run_one();
    } else {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        io_.poll();
        return DispatchDue();
      }
      io_.run_one_for(deadline - now);
    }
    if (io_.stopped()) io_.restart();
  }
}

}  // namespace rtc
