#pragma once

#include <QObject>
#include <QScopedPointer>

class QIODevice;
class RMOptimizeTaskPrivate;

// Rewrites a G-code text so that it prints the same object with fewer moves:
// runs of straight moves of one kind become one move. Everything else is
// copied in its place, trimmed; blank lines are dropped. One streaming pass:
// memory holds one input block and the current run, whatever the input size.
//
// Construct one task per file and call optimize() once, on any thread; the
// two devices are used only by that call and belong to the caller, who opens
// them (input for reading, output for writing). The result accessors are
// meant to be read after optimize() returned; cancel() is the one call made
// while it runs.
class RMOptimizeTask : public QObject
{
    Q_OBJECT
public:
    enum Error {
        NoError,
        ReadError,   // the input device failed
        WriteError,  // the output device refused bytes (disk full, closed...)
        LineTooLong, // a line longer than MaxLineLength: not G-code a printer runs
        Cancelled,   // cancel() was called
    };
    Q_ENUM(Error)

    static constexpr int MaxLineLength = 1024 * 1024;

    RMOptimizeTask(QIODevice* input, QIODevice* output, QObject* parent = nullptr);
    ~RMOptimizeTask() override;

    // After a failure the output is incomplete and must not be printed.
    Error error() const;
    QString errorString() const;

    qint64 bytesRead() const;
    qint64 bytesWritten() const;
    // G0 and G1 lines read and written.
    qint64 movesRead() const;
    qint64 movesWritten() const;

public slots:
    void optimize();
    // Ends optimize() soon (within one input block), with the error
    // Cancelled; before optimize() has begun, it ends at once. Any thread.
    void cancel();

signals:
    // Input bytes consumed so far. Emitted as the pass crosses every
    // ProgressStep bytes and once at the end, not per line: a queued
    // connection per line would pile millions of events on the receiver.
    void progress(qint64 processed);
    void errorOccurred(RMOptimizeTask::Error error);

public:
    static constexpr qint64 ProgressStep = 64 * 1024;

private:
    Q_DISABLE_COPY(RMOptimizeTask)
    Q_DECLARE_PRIVATE(RMOptimizeTask)
    QScopedPointer<RMOptimizeTaskPrivate> d_ptr;
};
