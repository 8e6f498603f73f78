#include "RMOptimizedFile.h"

#include "RMOptimizeTask.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>

RMOptimizedFile::RMOptimizedFile(const QString& path) : m_input(std::make_unique<QFile>(path))
{
    if (!m_input->open(QIODevice::ReadOnly)) {
        m_failure = InputUnreadable;
        m_errorString = m_input->errorString();
        return;
    }
    m_output =
        std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/zelk-XXXXXX.gcode"));
    if (!m_output->open()) {
        m_failure = OutputUncreatable;
        m_errorString = m_output->errorString();
        m_output.reset();
        return;
    }
    m_task = std::make_unique<RMOptimizeTask>(m_input.get(), m_output.get());
}

// The task goes before the files it writes to; the temporary file, unless
// handed over, is removed with it.
RMOptimizedFile::~RMOptimizedFile() = default;

qint64 RMOptimizedFile::inputSize() const
{
    return m_input->size();
}

std::unique_ptr<QTemporaryFile> RMOptimizedFile::finish()
{
    if (!m_task || !m_output)
        return nullptr; // failed to open, or handed over already
    if (m_task->error() != RMOptimizeTask::NoError) {
        m_failure = OptimizerFailed;
        m_errorString = m_task->errorString();
        m_output.reset(); // the incomplete file goes now
        return nullptr;
    }
    m_output->close();
    return std::move(m_output);
}

std::unique_ptr<QTemporaryFile> RMOptimizedFile::run()
{
    if (m_task)
        m_task->optimize();
    return finish();
}
