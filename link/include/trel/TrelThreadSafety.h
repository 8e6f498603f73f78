#pragma once
// Lock rules the compiler checks. Under clang with -Wthread-safety the macros
// below become clang's capability attributes, so that touching a member marked
// TREL_GUARDED_BY(m) without holding m, or calling a TREL_REQUIRES(m) function
// without it, is a compile error (CI builds with -Werror=thread-safety). Under
// other compilers they expand to nothing.
//
// Neither std::mutex nor std::lock_guard carries the attributes in libstdc++,
// so code whose locking the compiler should check uses TrelMutex and
// TrelMutexLocker instead. A condition variable waits on a TrelMutexLocker
// through std::condition_variable_any (it calls the locker's unlock()/lock()).
//
// Header only: nothing here is exported from libtrel.

#include <mutex>

#if defined(__clang__)
#define TREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TREL_THREAD_ANNOTATION(x)
#endif

#define TREL_CAPABILITY(x) TREL_THREAD_ANNOTATION(capability(x))
#define TREL_SCOPED_CAPABILITY TREL_THREAD_ANNOTATION(scoped_lockable)
#define TREL_GUARDED_BY(x) TREL_THREAD_ANNOTATION(guarded_by(x))
#define TREL_PT_GUARDED_BY(x) TREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define TREL_ACQUIRED_BEFORE(...) TREL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define TREL_ACQUIRED_AFTER(...) TREL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define TREL_REQUIRES(...) TREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TREL_ACQUIRE(...) TREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TREL_RELEASE(...) TREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TREL_TRY_ACQUIRE(...) TREL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TREL_EXCLUDES(...) TREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TREL_ASSERT_CAPABILITY(x) TREL_THREAD_ANNOTATION(assert_capability(x))
#define TREL_RETURN_CAPABILITY(x) TREL_THREAD_ANNOTATION(lock_returned(x))
#define TREL_NO_THREAD_SAFETY_ANALYSIS TREL_THREAD_ANNOTATION(no_thread_safety_analysis)

// A std::mutex the analysis knows as a capability.
class TREL_CAPABILITY("mutex") TrelMutex
{
public:
    TrelMutex() = default;
    TrelMutex(const TrelMutex&) = delete;
    TrelMutex& operator=(const TrelMutex&) = delete;

    void lock() TREL_ACQUIRE() { _m.lock(); }
    void unlock() TREL_RELEASE() { _m.unlock(); }
    bool try_lock() TREL_TRY_ACQUIRE(true) { return _m.try_lock(); }

private:
    std::mutex _m;
};

// Holds a TrelMutex for its scope. unlock()/lock() let a condition variable
// (std::condition_variable_any) wait on it, and let a function drop the lock
// around a call that must not run under it (a user callback).
class TREL_SCOPED_CAPABILITY TrelMutexLocker
{
public:
    explicit TrelMutexLocker(TrelMutex& m) TREL_ACQUIRE(m) : _m(m) { _m.lock(); }
    ~TrelMutexLocker() TREL_RELEASE()
    {
        if (_held)
            _m.unlock();
    }
    TrelMutexLocker(const TrelMutexLocker&) = delete;
    TrelMutexLocker& operator=(const TrelMutexLocker&) = delete;

    void lock() TREL_ACQUIRE()
    {
        _m.lock();
        _held = true;
    }
    void unlock() TREL_RELEASE()
    {
        _held = false;
        _m.unlock();
    }

private:
    TrelMutex& _m;
    bool _held = true;
};
