// Locks that the thread-safety analysis can follow: a mutex, a writer-preferring
// reader/writer lock, their scoped holders and a condition variable.
#ifndef BASE_MUTEX_H_
#define BASE_MUTEX_H_

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/thread_annotations.h"

namespace rtc {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds the lock where it cannot see it.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// Waits release the mutex while blocked and hold it again when they return.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when the time-out ran out before a signal.
  bool WaitFor(Mutex* mu, int64_t timeout_ms) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const bool signalled =
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms)) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  // False when `deadline` passed before a signal.
  bool WaitUntil(Mutex* mu, std::chrono::steady_clock::time_point deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const bool signalled = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  // The same with a time-out in microseconds, for waits that aim at a due time.
  bool WaitForMicros(Mutex* mu, int64_t timeout_us) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const bool signalled =
        cv_.wait_for(lock, std::chrono::microseconds(timeout_us)) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

// A reader/writer lock that lets a waiting writer in before new readers, so
// that control operations are not starved by a steady stream of readers.
// Not recursive on either side: a thread holding it must not take it again.
class CAPABILITY("rwlock") RWLock {
 public:
  RWLock();
  ~RWLock();
  RWLock(const RWLock&) = delete;
  RWLock& operator=(const RWLock&) = delete;

  void Lock() ACQUIRE();
  void Unlock() RELEASE();
  void LockShared() ACQUIRE_SHARED();
  void UnlockShared() RELEASE_SHARED();
  // Tell the analysis that the caller holds the lock where it cannot see it.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}
  void AssertReaderHeld() const ASSERT_SHARED_CAPABILITY(this) {}

 private:
  pthread_rwlock_t rwlock_;
};

class SCOPED_CAPABILITY WriteLockScoped {
 public:
  explicit WriteLockScoped(RWLock* lock) ACQUIRE(lock) : lock_(lock) { lock_->Lock(); }
  ~WriteLockScoped() RELEASE() { lock_->Unlock(); }
  WriteLockScoped(const WriteLockScoped&) = delete;
  WriteLockScoped& operator=(const WriteLockScoped&) = delete;

 private:
  RWLock* const lock_;
};

class SCOPED_CAPABILITY ReadLockScoped {
 public:
  explicit ReadLockScoped(RWLock* lock) ACQUIRE_SHARED(lock) : lock_(lock) { lock_->LockShared(); }
  ~ReadLockScoped() RELEASE() { lock_->UnlockShared(); }
  ReadLockScoped(const ReadLockScoped&) = delete;
  ReadLockScoped& operator=(const ReadLockScoped&) = delete;

 private:
  RWLock* const lock_;
};

}  // namespace rtc

#endif  // BASE_MUTEX_H_
