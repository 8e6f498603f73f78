#include "RMDFUUpdate.h"

#include "RMDFUUpdate_p.h"

#include <LogCategories.h>

#include <QMetaEnum>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>

namespace {

template <typename Enum>
QString keyOf(Enum value)
{
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

} // namespace

void RMOutputTail::append(const QByteArray& bytes)
{
    // Only the last CAPACITY bytes of a long chunk can stay.
    const int skip = std::max(0, bytes.size() - CAPACITY);
    for (int i = skip; i < bytes.size(); ++i) {
        ring[static_cast<size_t>(next)] = bytes[i];
        next = (next + 1) % CAPACITY;
    }
    stored = std::min(CAPACITY, stored + bytes.size() - skip);
}

QByteArray RMOutputTail::contents() const
{
    QByteArray out;
    out.reserve(stored);
    const int first = (next - stored + CAPACITY) % CAPACITY;
    for (int i = 0; i < stored; ++i)
        out.append(ring[static_cast<size_t>((first + i) % CAPACITY)]);
    return out;
}

int RMDFUUpdatePrivate::progressIn(const QByteArray& chunk)
{
    static const QRegularExpression percent(QStringLiteral("\\s([0-9]+)%\\s"));
    const QRegularExpressionMatch m = percent.match(QString::fromUtf8(chunk));
    if (!m.hasMatch())
        return -1;
    bool ok = false;
    const int value = m.captured(1).toInt(&ok);
    return ok ? value : -1;
}

bool RMDFUUpdatePrivate::succeeded(int exitCode, QProcess::ExitStatus status,
                                   const QByteArray& tail)
{
    if (exitCode == 0 && status == QProcess::NormalExit)
        return true;
    return QString::fromUtf8(tail).contains(QLatin1String("Download done"));
}

void RMDFUUpdatePrivate::processError(QProcess::ProcessError e)
{
    Q_Q(RMDFUUpdate);
    if (process)
        process->deleteLater();
    qCWarning(DFU).noquote() << "Cannot start dfu-util for firmware update! Error:" << keyOf(e);
    // The first ending counts: a crash reports this error and then a finish,
    // and the flash must not turn into a success after it failed.
    if (success || error)
        return;
    error = true;
    emit q->error();
}

void RMDFUUpdatePrivate::standardOutput()
{
    Q_Q(RMDFUUpdate);
    if (!process)
        return;
    const QByteArray chunk = process->readAllStandardOutput();
    outputTail.append(chunk);
    const int value = progressIn(chunk);
    if (value >= 0 && value != progress) {
        progress = value;
        emit q->progressChanged(progress);
    }
}

void RMDFUUpdatePrivate::processFinished(int exitCode, QProcess::ExitStatus status)
{
    Q_Q(RMDFUUpdate);
    QString stdErr;
    if (process) {
        process->deleteLater();
        stdErr = QString::fromUtf8(process->readAllStandardError());
    }
    if (success || error)
        return;
    if (succeeded(exitCode, status, outputTail.contents())) {
        qCDebug(DFU).noquote() << "Device updated; StdErr:\n" << stdErr;
        if (progress != 100) {
            progress = 100;
            emit q->progressChanged(100);
        }
        success = true;
        emit q->success();
    } else {
        qCWarning(DFU).noquote() << "Firmware upgrade failed! dfu-util exit code:" << exitCode
                                 << "- Exit status:" << keyOf(status) << "StdErr:\n"
                                 << stdErr;
        error = true;
        emit q->error();
    }
}

RMDFUUpdate::RMDFUUpdate(QObject* parent) : QObject(parent), d_ptr(new RMDFUUpdatePrivate(this)) {}

RMDFUUpdate::~RMDFUUpdate()
{
    Q_D(RMDFUUpdate);
    // A dfu-util still running is killed with its process object; its last
    // signals must not reach the private object, which goes first.
    if (d->process) {
        d->process->disconnect(this);
        d->process->kill();
        d->process->waitForFinished(5000);
        delete d->process;
    }
}

void RMDFUUpdate::stop()
{
    Q_D(RMDFUUpdate);
    if (!d->process || d->process->state() == QProcess::NotRunning)
        return;
    qCWarning(DFU) << "Stopping dfu-util";
    d->process->terminate();
    // Not fired once the process has ended and gone.
    QTimer::singleShot(KILL_AFTER_MS, d->process, [process = d->process] {
        qCWarning(DFU) << "dfu-util did not end on SIGTERM; killing it";
        process->kill();
    });
}

int RMDFUUpdate::progress() const
{
    Q_D(const RMDFUUpdate);
    return d->progress;
}

bool RMDFUUpdate::isSuccess() const
{
    Q_D(const RMDFUUpdate);
    return d->success;
}

bool RMDFUUpdate::isError() const
{
    Q_D(const RMDFUUpdate);
    return d->error;
}
