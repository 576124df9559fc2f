#include "base/mutex.h"

namespace rtc {

RWLock::RWLock() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  // glibc prefers readers by default; a writer could then wait for as long as
  // two readers keep overlapping their read sections.
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&rwlock_, &attr);
  pthread_rwlockattr_destroy(&attr);
}

RWLock::~RWLock() { pthread_rwlock_destroy(&rwlock_); }

void RWLock::Lock() { pthread_rwlock_wrlock(&rwlock_); }
void RWLock::Unlock() { pthread_rwlock_unlock(&rwlock_); }
void RWLock::LockShared() { pthread_rwlock_rdlock(&rwlock_); }
void RWLock::UnlockShared() { pthread_rwlock_unlock(&rwlock_); }

}  // namespace rtc
