#include "StartModes.h"

#include <Logging.h>

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <unistd.h>

namespace {

int retryInterval = 1000;
constexpr int StartAttempts = 10;

// An installation this user may replace without asking for administrator
// rights: their own folder in a folder they can write. Copying there as root
// would leave files in the user's home that only root can update or remove.
bool isOwnInstallation(const QString& path)
{
    const QFileInfo info(path);
    const QString parent = info.absolutePath();
    return info.ownerId() == ::getuid() &&
           ::access(QFile::encodeName(parent).constData(), W_OK) == 0;
}

} // namespace

namespace StartModes {

QString updateTarget(const QStringList& arguments)
{
    static const QRegularExpression pattern(QStringLiteral("^--update=(.+)$"));
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1String("--update=")))
            continue;
        const QRegularExpressionMatch match = pattern.match(argument);
        if (match.hasMatch())
            return match.captured(1);
    }
    return QString();
}

HandOver handOver(const QString& target, const QString& source)
{
    HandOver result;
    const QString to = QDir::cleanPath(target);
    qDebug() << "Updating" << to << "from" << source;
    // "--update=" comes from whoever started us, and what it names is deleted
    // and replaced, possibly as root: only ever an installation of ours.
    if (!Installer::isInstallation(to))
        qWarning() << "Not updating" << to << "- it is no installation of this program";
    else if (isOwnInstallation(to))
        result.copied = copyToUser(QDir(source), QDir(to));
    else
        result.copied = copyToSystem(QDir(source), QDir(to)) || copyToUser(QDir(source), QDir(to));

    if (!result.copied) {
        // The boot log is all there is of this process: write it before the
        // box, which the user may leave open for long.
        Logging::flushBoot();
        QMessageBox::critical(
            nullptr, QCoreApplication::applicationName(),
            QCoreApplication::translate("StartModes",
                                        "The update failed. Please install the application again."),
            QMessageBox::Ok);
        Logging::flushBoot();
        return result;
    }

    const QString program = Installer::executableIn(to);
    while (!result.started && result.startAttempts < StartAttempts) {
        ++result.startAttempts;
        result.started = QProcess::startDetached(program, {QStringLiteral("--updated")});
        if (!result.started) {
            qDebug() << "Cannot start" << program << "- attempt" << result.startAttempts;
            QThread::msleep(static_cast<unsigned long>(retryInterval));
        }
    }
    Logging::flushBoot();
    return result;
}

bool confirmUpdate(const QStringList& arguments)
{
    if (!arguments.contains(QStringLiteral("--updated")))
        return false;
    QMessageBox::information(
        nullptr, QCoreApplication::applicationName(),
        QCoreApplication::translate("StartModes", "The Zelk software has been updated correctly."),
        QMessageBox::Ok);
    return true;
}

bool isInstallationMode(const QStringList& arguments, const QString& bundle)
{
    return QFileInfo(QDir::cleanPath(bundle)).fileName().startsWith(QLatin1String("Install")) ||
           arguments.contains(QStringLiteral("--install"));
}

void setRetryInterval(int milliseconds)
{
    retryInterval = milliseconds;
}

} // namespace StartModes
