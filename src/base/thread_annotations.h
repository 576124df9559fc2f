// Clang's thread-safety attributes under short names, so that the compiler
// checks which lock guards which member. Other compilers see nothing.
#ifndef BASE_THREAD_ANNOTATIONS_H_
#define BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define RTC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define RTC_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) RTC_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY RTC_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) RTC_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) RTC_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) RTC_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) RTC_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) RTC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) RTC_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) RTC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) RTC_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) RTC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) RTC_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) RTC_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) RTC_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) RTC_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) RTC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) RTC_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) RTC_THREAD_ANNOTATION(assert_shared_capability(x))
#define RETURN_CAPABILITY(x) RTC_THREAD_ANNOTATION(lock_returned(x))
// Only where the analysis cannot follow; say why beside each use.
#define NO_THREAD_SAFETY_ANALYSIS RTC_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // BASE_THREAD_ANNOTATIONS_H_
