// zelkctl print FILE [--optimize] [--wait]: the main window's print, then
// (with --wait) the print followed to its end.
#include "Console.h"
#include "Session.h"
#include "Subcommand.h"

#include <RMGcodeAnalysis.h>
#include <RMOptimizeTask.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryFile>

#include <algorithm>
#include <memory>

namespace zelkctl {

namespace {

// From the end of the upload until the printer reports the file as queued.
constexpr int TakeFileMs = 30000;

bool isPrinting(RMDevice::State s)
{
    switch (s) {
    case RMDevice::JobQueued:
    case RMDevice::PreparingBuild:
    case RMDevice::Building:
    case RMDevice::Pausing:
    case RMDevice::Paused:
    case RMDevice::Unpaused:
    case RMDevice::HomingInit:
    case RMDevice::HomingHeating:
    case RMDevice::HomingCooling:
    case RMDevice::HomingXY:
    case RMDevice::HomingZRough:
    case RMDevice::HomingZFine:
    case RMDevice::HomingComplete:
    case RMDevice::OutOfFilament:
    case RMDevice::LoadHeating:
    case RMDevice::LoadExtruding:
    case RMDevice::UnloadHeating:
    case RMDevice::UnloadRetracting:
        return true;
    default:
        return false;
    }
}

// The optimizer's output, in a temporary file that lives as long as the
// command (the upload reads it on the device's job thread). Null after
// saying why.
std::unique_ptr<QTemporaryFile> optimized(const Invocation& invocation, const QString& path)
{
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        invocation.fail(FileError,
                        QStringLiteral("cannot read %1: %2").arg(path, input.errorString()));
        return nullptr;
    }
    auto output =
        std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/zelk-XXXXXX.gcode"));
    if (!output->open()) {
        invocation.fail(
            FileError,
            QStringLiteral("cannot create the optimized file: %1").arg(output->errorString()));
        return nullptr;
    }
    QElapsedTimer timer;
    timer.start();
    RMOptimizeTask task(&input, output.get());
    task.optimize();
    if (task.error() != RMOptimizeTask::NoError) {
        // An incomplete file must not be printed.
        invocation.fail(FileError, QStringLiteral("cannot optimize %1: %2 (nothing was sent)")
                                       .arg(path, task.errorString()));
        return nullptr;
    }
    output->close();
    print(stdout,
          QStringLiteral("Optimized %1: %2")
              .arg(QFileInfo(path).fileName(), optimizeSummary(task, timer.nsecsElapsed())));
    return output;
}

} // namespace

int runPrint(const Invocation& invocation)
{
    const QString path = invocation.arguments.first();
    {
        // Said before any printer is disturbed.
        QFile file(path);
        if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
            return invocation.fail(FileError, QStringLiteral("cannot read %1: %2")
                                                  .arg(path, QFileInfo(path).isDir()
                                                                 ? QStringLiteral("a directory")
                                                                 : file.errorString()));
    }
    Interrupt::install();
    Session session(invocation);
    if (int code = session.open())
        return code;
    const QSharedPointer<RMDevice> d = session.device();
    // The window offers printing only here.
    if (d->state() != RMDevice::Idle)
        return invocation.fail(
            PrinterFailure,
            QStringLiteral("the printer is busy: it says \"%1\"").arg(session.statusText()));
    if (!d->isFirmwareValid())
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the printer's firmware %1 is older than %2: "
                                              "zelkctl dfu flash installs a current one")
                                   .arg(d->fwVersion(), RMDevice::minFwVersion()));

    std::unique_ptr<QTemporaryFile> temporary;
    QString upload = path;
    if (invocation.has("--optimize")) {
        temporary = optimized(invocation, path);
        if (!temporary)
            return FileError;
        upload = temporary->fileName();
    }

    // Once the file is on the printer, the print no longer needs us.
    auto goesOn = [&invocation](Session::Wait wait) {
        if (wait == Session::Wait::Interrupted)
            return invocation.fail(Interrupted + Interrupt::signal(),
                                   QStringLiteral("interrupted; the print goes on (zelkctl abort "
                                                  "ends it)"));
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the printer went away during the print; it may "
                                              "still be printing (zelkctl status --watch)"));
    };

    const RMDevice::Error errorBefore = d->lastError();
    // The job belongs to the device, which goes if the printer does.
    QPointer<RMJobSend> job = d->sendJob(upload);
    if (!job)
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the printer is taking another file"));
    {
        ProgressBar bar(QStringLiteral("Uploading %1").arg(QFileInfo(path).fileName()));
        bar.setValue(0);
        const QMetaObject::Connection progress = QObject::connect(
            job, &RMJobSend::progressChanged, job, [&bar](int percent) { bar.setValue(percent); });
        const Session::Wait wait =
            session.waitFor([&] { return !job || job->isDone() || job->isFailed(); });
        QObject::disconnect(progress); // the bar goes with this block
        if (wait == Session::Wait::Interrupted)
            return invocation.fail(Interrupted + Interrupt::signal(),
                                   QStringLiteral("interrupted; the upload is cut off and "
                                                  "nothing prints"));
        // The printer gone shows as two events, in either order: the upload
        // fails and the printer goes away. Both tell the same thing.
        const bool gone = wait == Session::Wait::Lost || !job ||
                          (job->isFailed() && job->outcome().status() == TREL_ERROR_NO_DEVICE);
        if (gone)
            return invocation.fail(PrinterFailure,
                                   QStringLiteral("upload failed: the printer went away"));
        if (wait != Session::Wait::Reached)
            return session.waitFailed(wait, QString());
        if (job->isFailed())
            return invocation.fail(PrinterFailure,
                                   QStringLiteral("upload failed: %1").arg(job->errorString()));
    }

    // The status asked for after the upload comes after the file on the job
    // channel: it tells what the printer made of the file. A file it refuses
    // leaves it idle, after receiving or with an error (one that it showed
    // before tells nothing).
    d->pollStatus();
    bool received = false;
    const Session::Wait taken = session.waitFor(
        [&] {
            const RMDevice::State s = d->state();
            received = received || s == RMDevice::FileRx;
            if (isPrinting(s))
                return true;
            return s == RMDevice::Idle && (received || (errorBefore == RMDevice::NoError &&
                                                        d->lastError() != RMDevice::NoError));
        },
        TakeFileMs);
    if (taken == Session::Wait::TimedOut ||
        (taken == Session::Wait::Reached && !isPrinting(d->state())))
        return invocation.fail(PrinterFailure, QStringLiteral("the printer did not take the file%1")
                                                   .arg(d->lastError() != RMDevice::NoError
                                                            ? QStringLiteral(" (printer error)")
                                                            : QString()));
    if (taken != Session::Wait::Reached)
        return goesOn(taken);

    if (!invocation.has("--wait")) {
        print(stdout, session.statusText());
        return Success;
    }

    // The file's own estimate stands in until the printer's progress gives
    // one: a print is long, and its first percent may take minutes.
    const RMGcodeAnalysisResult analysis = RMGcodeAnalysis().analyzeFile(path);
    const double fileSeconds = analysis.isValid() ? analysis.printTime : 0;
    if (fileSeconds >= 1)
        print(stdout, QStringLiteral("Estimated print time: %1 (from the file)")
                          .arg(formatDuration(fileSeconds)));
    auto fileRemaining = [&] {
        const int done = qBound(0, d->printProgress(), 100);
        return fileSeconds >= 1 ? qint64(fileSeconds * 1000 * (100 - done) / 100) : qint64(-1);
    };

    StatusFollower follower;
    int highest = 0;
    bool started = false;
    bool hinted = false;
    auto show = [&] {
        const RMDevice::State s = d->state();
        if (s == RMDevice::Disconnected)
            return; // said once the wait ends
        started = started || (s != RMDevice::JobQueued && isPrinting(s)) || d->printProgress() > 0;
        highest = std::max(highest, d->printProgress());
        follower.show(session.statusText(fileRemaining()), s);
        if (s == RMDevice::OutOfFilament && !hinted) {
            hinted = true;
            follower.end();
            // This command holds the printer while it follows.
            invocation.tell(QStringLiteral("the print waits for filament: interrupt this command "
                                           "(the print goes on), then zelkctl unload, zelkctl "
                                           "load and zelkctl pause to resume"));
        }
    };
    QObject::connect(&session, &Session::statusChanged, &session, show);
    show();
    const Session::Wait ended = session.waitFor([&] {
        highest = std::max(highest, d->printProgress());
        return d->state() == RMDevice::Idle;
    });
    follower.end();
    if (ended != Session::Wait::Reached)
        return goesOn(ended);
    if (d->lastError() != RMDevice::NoError)
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the print failed: the printer reported an error"));
    // Printers report the finished print's 100 percent until the next one;
    // an abort leaves the progress where it stopped.
    if (highest >= 100) {
        print(stdout, QStringLiteral("Print finished."));
        return Success;
    }
    if (!started)
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the print was aborted before it started"));
    return invocation.fail(PrinterFailure,
                           QStringLiteral("the print was aborted at %1%").arg(highest));
}

} // namespace zelkctl
