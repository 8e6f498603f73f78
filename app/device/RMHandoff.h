#pragma once

#include <QCoreApplication>

// Hand-offs between the GUI thread and a device's pool threads, told to
// ThreadSanitizer. Qt is not built with it, and its QMutex waits on a futex
// that the sanitizer cannot see: to it, a lambda's captures written by the
// GUI thread and read by the pool thread that runs it are a race, and so is
// whatever a task wrote before the event that reports it. These marks stand
// for the ordering that QThreadPool and QCoreApplication::postEvent() give.
// Elsewhere they are nothing.

#if defined(__SANITIZE_THREAD__)
#define RM_HANDOFF_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RM_HANDOFF_TSAN 1
#endif
#endif

#ifdef RM_HANDOFF_TSAN
extern "C" void AnnotateHappensBefore(const char* file, int line, const volatile void* address);
extern "C" void AnnotateHappensAfter(const char* file, int line, const volatile void* address);
// What this thread did so far is seen by whoever calls rmHandoffReceived()
// on the same address after it.
#define rmHandoffSent(address) AnnotateHappensBefore(__FILE__, __LINE__, address)
#define rmHandoffReceived(address) AnnotateHappensAfter(__FILE__, __LINE__, address)
#else
#define rmHandoffSent(address) static_cast<void>(address)
#define rmHandoffReceived(address) static_cast<void>(address)
#endif

// Posts `event`, made by this thread, to `receiver` on its own thread, whose
// event() calls rmHandoffReceived(this) first.
inline void rmPostAcross(QObject* receiver, QEvent* event)
{
    rmHandoffSent(receiver);
    QCoreApplication::postEvent(receiver, event);
}
