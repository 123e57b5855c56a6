// The facility's one lock, annotated so that clang's -Wthread-safety checks
// every access to the state it guards.
#pragma once

#include <mutex>

#if defined(__clang__)
#define LOG_TSA(x) __attribute__((x))
#else
#define LOG_TSA(x)
#endif
#define LOG_CAPABILITY(x) LOG_TSA(capability(x))
#define LOG_SCOPED_CAPABILITY LOG_TSA(scoped_lockable)
#define LOG_GUARDED_BY(x) LOG_TSA(guarded_by(x))
#define LOG_REQUIRES(...) LOG_TSA(requires_capability(__VA_ARGS__))
#define LOG_EXCLUDES(...) LOG_TSA(locks_excluded(__VA_ARGS__))
#define LOG_ACQUIRE(...) LOG_TSA(acquire_capability(__VA_ARGS__))
#define LOG_RELEASE(...) LOG_TSA(release_capability(__VA_ARGS__))

class LOG_CAPABILITY("mutex") LogMutex {
 public:
  void Lock() LOG_ACQUIRE() { mu_.lock(); }
  void Unlock() LOG_RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

class LOG_SCOPED_CAPABILITY LogLockGuard {
 public:
  explicit LogLockGuard(LogMutex& mu) LOG_ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~LogLockGuard() LOG_RELEASE() { mu_.Unlock(); }
  LogLockGuard(const LogLockGuard&) = delete;
  LogLockGuard& operator=(const LogLockGuard&) = delete;

 private:
  LogMutex& mu_;
};
