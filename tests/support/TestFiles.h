#pragma once

// Small file helpers of the tests: scratch files and the tests' own data.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>

namespace zelktest {

// Writes `content` to `path`, creating its folders; optionally executable.
inline bool writeFile(const QString& path, const QByteArray& content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                            QFileDevice::ExeOther);
    return true;
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A data file of the tests themselves: one that cannot be read is a broken
// checkout, not a failed case, and ends the run.
inline QByteArray readTestData(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return file.readAll();
}

#ifdef ZELK_INSTALL_HELPER
// Gives a scratch bundle the copy program that every bundle carries
// (Contents/bin/zelk-install), the build's own.
inline bool addInstallHelper(const QString& bundle)
{
    const QString to = bundle + QStringLiteral("/Contents/bin/zelk-install");
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    return QFile::copy(QStringLiteral(ZELK_INSTALL_HELPER), to);
}
#endif

} // namespace zelktest
