// A reader-writer lock that lets a waiting writer in before new readers, so
// that control operations are not starved by a steady stream of forwarding.
// Meets the SharedMutex requirements: use std::shared_lock / std::unique_lock.
// Not recursive on either side: a thread holding it must not take it again.
#ifndef SFU_RW_LOCK_H_
#define SFU_RW_LOCK_H_

#include <pthread.h>

namespace corvaneserver {

class RWLock {
 public:
  RWLock();
  ~RWLock();
  RWLock(const RWLock&) = delete;
  RWLock& operator=(const RWLock&) = delete;

  void lock();
  bool try_lock();
  void unlock();
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();

 private:
  pthread_rwlock_t rwlock_;
};

}  // namespace corvaneserver

#endif  // SFU_RW_LOCK_H_
