#include "RMFirmwareFile.h"

#include <LogCategories.h>

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString RMFirmwareFile::defaultOverridePath()
{
    return QStringLiteral("/tmp/firmware_zelk_override.dfu");
}

QString RMFirmwareFile::bundledPath(const QString& applicationDir)
{
    return QDir(applicationDir).filePath(QStringLiteral("../Resources/firmware.dfu"));
}

bool RMFirmwareFile::isTrustedOverride(const QString& path, QString* why)
{
    why->clear();
    const QByteArray name = QFile::encodeName(path);
    // Opened without following a link, and judged by what was opened: a
    // link, or a file swapped in between a check by name and the open, would
    // name someone else's file.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT)
            return false;
        *why = e == ELOOP
                   ? QStringLiteral("it is a symbolic link")
                   : QStringLiteral("it cannot be opened: ") + QString::fromLocal8Bit(strerror(e));
        return false;
    }
    struct stat st;
    const bool statted = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (!statted) {
        *why = QStringLiteral("its owner cannot be read");
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = QStringLiteral("it is not a regular file");
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *why = QStringLiteral("it belongs to user id %1, not to this user").arg(st.st_uid);
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = QStringLiteral("other users can write to it (mode %1)")
                   .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    // Others must not be able to put a different file under this name while
    // dfu-util has yet to open it.
    struct stat dir;
    const QByteArray dirName = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::stat(dirName.constData(), &dir) != 0) {
        *why = QStringLiteral("its directory cannot be read");
        return false;
    }
    // The directory's owner may always rename entries; others only where
    // they can write and the sticky bit does not stop them.
    const bool othersWrite = dir.st_mode & (S_IWGRP | S_IWOTH);
    const bool ownedSafely = dir.st_uid == ::geteuid() || dir.st_uid == 0;
    if (!ownedSafely || (othersWrite && !(dir.st_mode & S_ISVTX))) {
        *why = QStringLiteral("other users can replace files in its directory");
        return false;
    }
    return true;
}

QString RMFirmwareFile::choose(const QString& applicationDir, const QString& overridePath,
                               QString* refusal)
{
    QString why;
    const bool trusted = isTrustedOverride(overridePath, &why);
    if (refusal)
        *refusal = why;
    if (trusted) {
        qCDebug(DFU) << "Found firmware override file";
        return overridePath;
    }
    if (!why.isEmpty())
        qCWarning(DFU).noquote() << "Ignoring firmware override file" << overridePath << "because"
                                 << why;
    return bundledPath(applicationDir);
}
