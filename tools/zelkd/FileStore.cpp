#include "FileStore.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryFile>
#include <QUuid>

#include <cerrno>

namespace zelkd {

namespace {

// Kept free on the disk whatever the limit says: the system and our own
// database live there too. A twentieth of a small disk, at most 64 MiB.
constexpr qint64 MaxReserve = 64ll * 1024 * 1024;

qint64 reserveOf(const QString& folder)
{
    return std::min(MaxReserve, QStorageInfo(folder).bytesTotal() / 20);
}
constexpr int MaxNameBytes = 200;
const QLatin1String PartialPrefix(".upload-");

QString sha1Of(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash h(QCryptographicHash::Sha1);
    h.addData(&f);
    return QString::fromLatin1(h.result().toHex());
}

} // namespace

double firstHotendTemperature(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    static const QRegularExpression set(QStringLiteral("^\\s*M10[49]\\b[^;]*\\bS([0-9.]+)"),
                                        QRegularExpression::CaseInsensitiveOption);
    constexpr qint64 Window = 16ll * 1024 * 1024;
    while (!f.atEnd() && f.pos() < Window) {
        const QByteArray line = f.readLine(4096);
        if (!line.contains('M') && !line.contains('m'))
            continue;
        const QRegularExpressionMatch m = set.match(QString::fromLatin1(line));
        if (m.hasMatch()) {
            const double celsius = m.captured(1).toDouble();
            if (celsius > 0)
                return celsius;
        }
    }
    return 0;
}

QJsonObject gcodeAnalysis(const QString&)
{
    return QJsonObject();
}

// --- Upload

FileStore::Upload::~Upload()
{
    if (!committed && !file.fileName().isEmpty()) {
        file.close();
        QFile::remove(file.fileName());
    }
}

void FileStore::Upload::fail(Error error)
{
    if (failure != Error::None)
        return;
    failure = error;
    file.close();
    QFile::remove(file.fileName());
}

bool FileStore::Upload::write(const char* data, size_t length)
{
    if (failure != Error::None)
        return false;
    if (written + qint64(length) > limit) {
        fail(Error::TooLarge);
        return false;
    }
    // The free-space check before the upload trusts Content-Length; a
    // client may lie, or the disk fill meanwhile.
    if ((written & ~((1 << 24) - 1)) != ((written + qint64(length)) & ~((1 << 24) - 1))) {
        const QStorageInfo disk(QFileInfo(file.fileName()).absolutePath());
        if (disk.bytesAvailable() < reserve) {
            fail(Error::NoSpace);
            return false;
        }
    }
    errno = 0;
    if (file.write(data, qint64(length)) != qint64(length)) {
        const bool full =
            errno == ENOSPC ||
            QStorageInfo(QFileInfo(file.fileName()).absolutePath()).bytesAvailable() < 65536;
        fail(full ? Error::NoSpace : Error::Io);
        return false;
    }
    hash.addData(data, int(length));
    written += qint64(length);
    return true;
}

// --- FileStore

FileStore::FileStore(const QString& folder, qint64 maxUploadSize)
    : root(QDir(folder).absolutePath()), limit(maxUploadSize)
{}

bool FileStore::open(QString& error)
{
    QDir dir(root);
    if (!dir.exists() && !QDir().mkpath(root)) {
        error = QStringLiteral("cannot create the upload folder %1").arg(root);
        return false;
    }
    // Partial uploads of a run that ended mid-upload.
    for (const QString& stale :
         dir.entryList({PartialPrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden))
        dir.remove(stale);
    QHash<QString, StoredFile> found;
    for (const QString& name : dir.entryList(QDir::Files)) {
        if (isGcodeName(name))
            found.insert(name, describe(name, QString()));
    }
    QMutexLocker lock(&mutex);
    files = found;
    return true;
}

StoredFile FileStore::describe(const QString& name, const QString& hash) const
{
    StoredFile f;
    f.name = name;
    f.path = root + QLatin1Char('/') + name;
    const QFileInfo info(f.path);
    f.size = info.size();
    f.date = info.lastModified();
    f.hash = hash.isEmpty() ? sha1Of(f.path) : hash;
    f.hotendCelsius = firstHotendTemperature(f.path);
    f.analysis = gcodeAnalysis(f.path);
    return f;
}

qint64 FileStore::freeSpace() const
{
    return QStorageInfo(root).bytesAvailable();
}

bool FileStore::fits(qint64 bytes) const
{
    return freeSpace() - reserveOf(root) >= bytes;
}

bool FileStore::isGcodeName(const QString& name)
{
    const QString lower = name.toLower();
    return (lower.endsWith(QLatin1String(".gcode")) || lower.endsWith(QLatin1String(".gco")) ||
            lower.endsWith(QLatin1String(".g"))) &&
           !name.startsWith(QLatin1Char('.'));
}

QString FileStore::sanitise(const QString& clientName, Error& error)
{
    // The last component of whatever path the client sent, in either
    // separator: "../../etc/x.gcode" is stored as "x.gcode", in the folder.
    QString name = clientName;
    const int slash = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf('\\'));
    name = name.mid(slash + 1);
    QString clean;
    for (const QChar c : qAsConst(name)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || QStringLiteral(":*?\"<>|").contains(c))
            continue;
        clean += c;
    }
    clean = clean.trimmed();
    // No hidden files: leading dots go (and with them "." and "..").
    while (clean.startsWith(QLatin1Char('.')))
        clean = clean.mid(1).trimmed();
    while (clean.toUtf8().size() > MaxNameBytes)
        clean.remove(0, 1);
    if (clean.isEmpty()) {
        error = Error::BadName;
        return QString();
    }
    if (!isGcodeName(clean)) {
        error = Error::NotGcode;
        return QString();
    }
    error = Error::None;
    return clean;
}

std::unique_ptr<FileStore::Upload> FileStore::beginUpload(Error& error)
{
    std::unique_ptr<Upload> upload(new Upload);
    upload->limit = limit;
    upload->reserve = reserveOf(root);
    upload->file.setFileName(root + QLatin1Char('/') + PartialPrefix +
                             QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral(".part"));
    // Unbuffered: a full disk shows at the write that meets it, not at a
    // close nobody checks.
    if (!upload->file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        error = Error::Io;
        upload->file.setFileName(QString());
        return nullptr;
    }
    error = Error::None;
    return upload;
}

std::optional<StoredFile> FileStore::commit(Upload& upload, const QString& name, Error& error)
{
    if (upload.failure != Error::None) {
        error = upload.failure;
        return std::nullopt;
    }
    upload.file.close();
    const QString target = root + QLatin1Char('/') + name;
    const QString hash = QString::fromLatin1(upload.hash.result().toHex());
    {
        QMutexLocker lock(&mutex);
        if (inUse.value(name) > 0) {
            error = Error::InUse;
            return std::nullopt; // the Upload's end removes the partial file
        }
        // rename(2) replaces the old file at once: a reader sees the old or
        // the new one, never half of either.
        if (::rename(QFile::encodeName(upload.file.fileName()).constData(),
                     QFile::encodeName(target).constData()) != 0) {
            error = errno == ENOSPC ? Error::NoSpace : Error::Io;
            return std::nullopt;
        }
        upload.committed = true;
    }
    const StoredFile f = describe(name, hash);
    QMutexLocker lock(&mutex);
    files.insert(name, f);
    error = Error::None;
    return f;
}

std::optional<StoredFile> FileStore::replace(const QString& name, const QString& newPath,
                                             Error& error)
{
    const QString target = root + QLatin1Char('/') + name;
    {
        QMutexLocker lock(&mutex);
        if (inUse.value(name) > 0) {
            QFile::remove(newPath);
            error = Error::InUse;
            return std::nullopt;
        }
        if (::rename(QFile::encodeName(newPath).constData(),
                     QFile::encodeName(target).constData()) != 0) {
            QFile::remove(newPath);
            error = Error::Io;
            return std::nullopt;
        }
    }
    const StoredFile f = describe(name, QString());
    QMutexLocker lock(&mutex);
    files.insert(name, f);
    error = Error::None;
    return f;
}

QString FileStore::temporaryPath() const
{
    return root + QLatin1Char('/') + PartialPrefix + QUuid::createUuid().toString(QUuid::Id128) +
           QStringLiteral(".part");
}

QVector<StoredFile> FileStore::list() const
{
    QMutexLocker lock(&mutex);
    QVector<StoredFile> out;
    out.reserve(files.size());
    for (const StoredFile& f : files)
        out.append(f);
    std::sort(out.begin(), out.end(),
              [](const StoredFile& a, const StoredFile& b) { return a.name < b.name; });
    return out;
}

std::optional<StoredFile> FileStore::find(const QString& name) const
{
    QMutexLocker lock(&mutex);
    const auto it = files.constFind(name);
    if (it == files.constEnd())
        return std::nullopt;
    return *it;
}

bool FileStore::remove(const QString& name, Error& error)
{
    QMutexLocker lock(&mutex);
    if (!files.contains(name)) {
        error = Error::NotFound;
        return false;
    }
    if (inUse.value(name) > 0) {
        error = Error::InUse;
        return false;
    }
    if (!QFile::remove(root + QLatin1Char('/') + name)) {
        error = Error::Io;
        return false;
    }
    files.remove(name);
    error = Error::None;
    return true;
}

void FileStore::setInUse(const QString& name, bool used)
{
    QMutexLocker lock(&mutex);
    int& n = inUse[name];
    n = std::max(0, n + (used ? 1 : -1));
    if (n == 0)
        inUse.remove(name);
}

bool FileStore::isInUse(const QString& name) const
{
    QMutexLocker lock(&mutex);
    return inUse.value(name) > 0;
}

} // namespace zelkd
