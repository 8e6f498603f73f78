// zelkctl optimize INPUT OUTPUT: the optimizer pass of the desktop program on a
// file, with a one-line summary on standard error.
#include "Subcommand.h"

#include <RMOptimizeTask.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace zelkctl {

namespace {

int fileError(const QString& text)
{
    std::fprintf(stderr, "zelkctl optimize: %s\n", text.toLocal8Bit().constData());
    return FileError;
}

} // namespace

QString optimizeSummary(const RMOptimizeTask& task, qint64 nanoseconds)
{
    const double seconds = double(nanoseconds) / 1e9;
    const qint64 movesIn = task.movesRead();
    const qint64 movesOut = task.movesWritten();
    const double removed = movesIn ? 100.0 * double(movesIn - movesOut) / double(movesIn) : 0.0;
    const double rate = seconds > 0 ? double(task.bytesRead()) / 1e6 / seconds : 0.0;
    return QStringLiteral("%1 -> %2 bytes, %3 -> %4 moves (%5% removed), %6 s, %7 MB/s")
        .arg(task.bytesRead())
        .arg(task.bytesWritten())
        .arg(movesIn)
        .arg(movesOut)
        .arg(removed, 0, 'f', 1)
        .arg(seconds, 0, 'f', 3)
        .arg(rate, 0, 'f', 1);
}

int runOptimize(const Invocation& invocation)
{
    const QString inputPath = invocation.arguments.at(0);
    const QString outputPath = invocation.arguments.at(1);

    QElapsedTimer timer;
    timer.start();
    QFile input(inputPath);
    if (!input.open(QIODevice::ReadOnly))
        return fileError(QStringLiteral("cannot read %1: %2").arg(inputPath, input.errorString()));
    // The temporary file is renamed over OUTPUT at the end: never over a
    // device, a pipe or a directory.
    const QFileInfo outputInfo(outputPath);
    if (outputInfo.exists() && !outputInfo.isFile())
        return fileError(QStringLiteral("cannot write %1: not a regular file").arg(outputPath));
    QSaveFile output(outputPath);
    if (!output.open(QIODevice::WriteOnly))
        return fileError(
            QStringLiteral("cannot write %1: %2").arg(outputPath, output.errorString()));

    RMOptimizeTask task(&input, &output);
    task.optimize();
    if (task.error() != RMOptimizeTask::NoError) {
        output.cancelWriting();
        const QString path = task.error() == RMOptimizeTask::WriteError ? outputPath : inputPath;
        return fileError(QStringLiteral("%1: %2").arg(path, task.errorString()));
    }
    if (!output.commit())
        return fileError(
            QStringLiteral("cannot write %1: %2").arg(outputPath, output.errorString()));

    std::fprintf(stderr, "zelkctl optimize: %s\n",
                 optimizeSummary(task, timer.nsecsElapsed()).toUtf8().constData());
    return Success;
}

} // namespace zelkctl
