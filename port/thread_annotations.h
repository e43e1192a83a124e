#ifndef VEXA_PORT_THREAD_ANNOTATIONS_H_
#define VEXA_PORT_THREAD_ANNOTATIONS_H_

// Lock contracts the compiler checks: clang's thread-safety analysis
// (-Wthread-safety) reads these attributes; other compilers see nothing.
//
//   port::Mutex mu_;
//   int count_ GUARDED_BY(mu_);
//   void AddLocked() REQUIRES(mu_);
//   void Add() EXCLUDES(mu_);

#if defined(__clang__)
#define VEXA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VEXA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VEXA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VEXA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VEXA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VEXA_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VEXA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VEXA_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VEXA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VEXA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VEXA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VEXA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VEXA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VEXA_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VEXA_THREAD_ANNOTATION(lock_returned(x))
// For the few functions whose locking the analysis cannot follow; each use
// says why.
#define NO_THREAD_SAFETY_ANALYSIS VEXA_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // VEXA_PORT_THREAD_ANNOTATIONS_H_
