#pragma once

#include <QString>

#include <functional>
#include <memory>

class QTemporaryFile;
class RMOptimizeTask;

// The optimize-before-upload step of the window and of zelkctl print: the
// optimizer's output in a new temporary file ("zelk-XXXXXX.gcode" in the
// temporary directory). The file is removed when its owner lets it go, so
// every failure path leaves nothing behind; on success the caller keeps it
// for as long as the upload reads it (the device's job thread reads it some
// time after sendJob() returns).
struct RMOptimizedFile
{
    enum Failure {
        NoFailure,
        InputUnreadable,   // the G-code file cannot be opened
        OutputUncreatable, // the temporary file cannot be created
        OptimizerFailed,   // the pass failed: its output must not be printed
    };

    Failure failure = NoFailure;
    // The input's, the temporary file's or the optimizer's error text.
    QString errorString;
    // Closed, set only when failure is NoFailure.
    std::unique_ptr<QTemporaryFile> file;

    // Runs the task over the two opened files. `run` is handed the task and
    // the input's size and must return once task.optimize() has returned (it
    // may run it on another thread, behind a progress display); without one
    // the task runs here.
    using Runner = std::function<void(RMOptimizeTask& task, qint64 inputSize)>;
    static RMOptimizedFile make(const QString& path, const Runner& run = {});

    RMOptimizedFile();
    RMOptimizedFile(RMOptimizedFile&&) noexcept;
    RMOptimizedFile& operator=(RMOptimizedFile&&) noexcept;
    ~RMOptimizedFile();
};
