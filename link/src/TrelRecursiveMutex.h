#pragma once
// Not part of libtrel's public face.

#include <trel/TrelThreadSafety.h>

#include <mutex>

// A std::recursive_mutex the analysis knows as a capability. The analysis
// does not count: taking it again where it is visibly held is reported, so
// the re-entry the USB back end needs (a printer deleted inside the bus scan,
// a client announced while the open-printer table is held) happens only
// across function calls, where each function states what it holds.
class TREL_CAPABILITY("mutex") TrelRecursiveMutex
{
public:
    TrelRecursiveMutex() = default;
    TrelRecursiveMutex(const TrelRecursiveMutex&) = delete;
    TrelRecursiveMutex& operator=(const TrelRecursiveMutex&) = delete;

    void lock() TREL_ACQUIRE() { _m.lock(); }
    void unlock() TREL_RELEASE() { _m.unlock(); }
    bool try_lock() TREL_TRY_ACQUIRE(true) { return _m.try_lock(); }

private:
    std::recursive_mutex _m;
};

class TREL_SCOPED_CAPABILITY TrelRecursiveMutexLocker
{
public:
    explicit TrelRecursiveMutexLocker(TrelRecursiveMutex& m) TREL_ACQUIRE(m) : _m(m) { _m.lock(); }
    ~TrelRecursiveMutexLocker() TREL_RELEASE() { _m.unlock(); }
    TrelRecursiveMutexLocker(const TrelRecursiveMutexLocker&) = delete;
    TrelRecursiveMutexLocker& operator=(const TrelRecursiveMutexLocker&) = delete;

private:
    TrelRecursiveMutex& _m;
};
