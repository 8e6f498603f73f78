#pragma once

#include <QString>

#include <memory>

class QFile;
class QTemporaryFile;
class RMOptimizeTask;

// The optimize-before-upload step: the optimizer's output in a new temporary
// file ("zelk-XXXXXX.gcode" in the temporary directory). The window (behind a
// progress dialog, the pass on a pool thread) and zelkctl print (in place)
// run it; a caller that must not block keeps the object across events.
//
// The temporary file belongs to this object until finish() hands it over, so
// every failure path (the input unreadable, the output not creatable, the
// pass failed or cancelled, the caller gone) removes it. After finish() the
// caller keeps it for as long as the upload reads it: the device's job
// thread reads it some time after sendJob() returns.
class RMOptimizedFile
{
public:
    enum Failure {
        NoFailure,
        InputUnreadable,   // the G-code file cannot be opened
        OutputUncreatable, // the temporary file cannot be created
        OptimizerFailed,   // the pass failed: its output must not be printed
    };

    // Opens `path` and a new temporary file, and makes the pass over them
    // (not run yet). failure() says whether that worked.
    explicit RMOptimizedFile(const QString& path);
    ~RMOptimizedFile();
    RMOptimizedFile(const RMOptimizedFile&) = delete;
    RMOptimizedFile& operator=(const RMOptimizedFile&) = delete;

    Failure failure() const { return m_failure; }
    // The input's, the temporary file's or the optimizer's error text.
    QString errorString() const { return m_errorString; }
    qint64 inputSize() const;

    // The pass, null after an opening failure. Call its optimize() once, on
    // any thread; both files belong to it until that returns.
    RMOptimizeTask* task() const { return m_task.get(); }

    // Once the pass has returned: the closed optimized file, or null when
    // anything failed (failure() and errorString() say what, and the
    // incomplete file is gone). Hands the file over once.
    std::unique_ptr<QTemporaryFile> finish();

    // All of it in place, for a caller that may block.
    std::unique_ptr<QTemporaryFile> run();

private:
    Failure m_failure = NoFailure;
    QString m_errorString;
    std::unique_ptr<QFile> m_input;
    std::unique_ptr<QTemporaryFile> m_output;
    std::unique_ptr<RMOptimizeTask> m_task;
};
