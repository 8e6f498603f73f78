#include "RMOptimizedFile.h"

#include "RMOptimizeTask.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>

RMOptimizedFile::RMOptimizedFile() = default;
RMOptimizedFile::RMOptimizedFile(RMOptimizedFile&&) noexcept = default;
RMOptimizedFile& RMOptimizedFile::operator=(RMOptimizedFile&&) noexcept = default;
RMOptimizedFile::~RMOptimizedFile() = default;

RMOptimizedFile RMOptimizedFile::make(const QString& path, const Runner& run)
{
    RMOptimizedFile result;
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        result.failure = InputUnreadable;
        result.errorString = input.errorString();
        return result;
    }
    auto output =
        std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/zelk-XXXXXX.gcode"));
    if (!output->open()) {
        result.failure = OutputUncreatable;
        result.errorString = output->errorString();
        return result;
    }
    {
        RMOptimizeTask task(&input, output.get());
        if (run)
            run(task, input.size());
        else
            task.optimize();
        if (task.error() != RMOptimizeTask::NoError) {
            // `output` goes here, and with it the incomplete file.
            result.failure = OptimizerFailed;
            result.errorString = task.errorString();
            return result;
        }
    }
    output->close();
    result.file = std::move(output);
    return result;
}
