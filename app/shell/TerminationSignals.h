#pragma once

#include <QObject>
#include <QScopedPointer>

class TerminationSignalsPrivate;

// SIGINT, SIGTERM and SIGHUP (Ctrl-C, a session's logout or systemd, a
// closed terminal) turned into a Qt signal on the thread that made the
// object, so that a program ends through its event loop and its ordered
// teardown: the log written out, the printers let go. Without it the default
// action kills the process where it stands.
//
// The handler only notes the signal and writes its number into a pipe (a
// self-pipe: the one thing a signal handler may safely do); a socket notifier
// on the pipe's other end emits terminationRequested() from the event loop.
// The handlers stay for the object's life, so a second signal does not kill
// a program that is ending already. One object per process; the previous
// handlers come back when it goes.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // Whether the handlers are in place (false only when the pipe could not
    // be made, or another object holds them).
    bool isActive() const;

    // The first of these signals that arrived while an object was active,
    // or 0. Readable from any thread and before the event loop runs, for
    // code that must not start what the signal asked to end.
    static int received();

signals:
    // From the event loop, once per signal that arrived.
    void terminationRequested(int signalNumber);

private:
    Q_DISABLE_COPY(TerminationSignals)
    Q_DECLARE_PRIVATE(TerminationSignals)
    QScopedPointer<TerminationSignalsPrivate> d_ptr;
};
