#include "sfu/rw_lock.h"

namespace corvaneserver {

RWLock::RWLock() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  // glibc prefers readers by default; a writer could then wait for as long as
  // two deliver workers keep overlapping their read sections.
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&rwlock_, &attr);
  pthread_rwlockattr_destroy(&attr);
}

RWLock::~RWLock() { pthread_rwlock_destroy(&rwlock_); }

void RWLock::lock() { pthread_rwlock_wrlock(&rwlock_); }
bool RWLock::try_lock() { return pthread_rwlock_trywrlock(&rwlock_) == 0; }
void RWLock::unlock() { pthread_rwlock_unlock(&rwlock_); }
void RWLock::lock_shared() { pthread_rwlock_rdlock(&rwlock_); }
bool RWLock::try_lock_shared() { return pthread_rwlock_tryrdlock(&rwlock_) == 0; }
void RWLock::unlock_shared() { pthread_rwlock_unlock(&rwlock_); }

}  // namespace corvaneserver
