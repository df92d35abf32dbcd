// Clang's thread-safety annotations, and a mutex the analysis understands.
//
// Shared state is declared GUARDED_BY(mutex_); functions that must be called with a mutex held
// are REQUIRES(mutex_). Under clang with -Wthread-safety a missing lock is a compile error; other
// compilers see empty macros.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QUILLMOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLMOR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUILLMOR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUILLMOR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUILLMOR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QUILLMOR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QUILLMOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QUILLMOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QUILLMOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUILLMOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS QUILLMOR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quillmor_speech {

// std::mutex with the annotations. Not recursive; not movable.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// A condition variable waited on with a Mutex held.
class CondVar {
 public:
  // Releases `mutex` while waiting and holds it again on return; may wake spuriously.
  void wait(Mutex& mutex) REQUIRES(mutex) NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock lock(mutex.mutex_, std::adopt_lock);
    changed_.wait(lock);
    lock.release();
  }
  void notifyAll() { changed_.notify_all(); }
  void notifyOne() { changed_.notify_one(); }

 private:
  std::condition_variable changed_;
};

}  // namespace quillmor_speech
