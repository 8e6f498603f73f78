#include "FileStore.h"

#include <RMGcodeAnalysis.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStorageInfo>
#include <QThread>
#include <QUuid>

#include <cerrno>

#include <pthread.h>

Q_LOGGING_CATEGORY(FilesLog, "zelkd.files")

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
// Beside the files, hidden: what the analysis found, one JSON file each.
const QLatin1String AnalysisFolder(".analysis");

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

std::optional<double> StoredFile::estimatedSeconds() const
{
    const QJsonValue v = analysis.value(QLatin1String("estimatedPrintTime"));
    return v.isDouble() ? std::optional<double>(v.toDouble()) : std::nullopt;
}

std::optional<double> StoredFile::filamentMm() const
{
    const QJsonValue v = analysis.value(QLatin1String("filament"))
                             .toObject()
                             .value(QLatin1String("tool0"))
                             .toObject()
                             .value(QLatin1String("length"));
    return v.isDouble() ? std::optional<double>(v.toDouble()) : std::nullopt;
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
{
    // One at a time: a small machine also serves HTTP and drives printers.
    pool.setMaxThreadCount(1);
}

FileStore::~FileStore()
{
    stopAnalyses();
}

bool FileStore::open(QString& error)
{
    QDir dir(root);
    if ((!dir.exists() && !QDir().mkpath(root)) || !dir.mkpath(AnalysisFolder)) {
        error = QStringLiteral("cannot create the upload folder %1").arg(root);
        return false;
    }
    // Partial uploads of a run that ended mid-upload.
    for (const QString& stale :
         dir.entryList({PartialPrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden))
        dir.remove(stale);
    QHash<QString, StoredFile> found;
    QStringList unanalysed;
    for (const QString& name : dir.entryList(QDir::Files)) {
        if (!isGcodeName(name))
            continue;
        StoredFile f = describe(name, QString());
        if (!loadAnalysis(f))
            unanalysed << name;
        found.insert(name, f);
    }
    // The analyses of files removed while zelkd did not run.
    QDir kept(root + QLatin1Char('/') + AnalysisFolder);
    for (const QString& sidecar : kept.entryList(QDir::Files | QDir::Hidden)) {
        if (!sidecar.endsWith(QLatin1String(".json")) || !found.contains(sidecar.chopped(5)))
            kept.remove(sidecar);
    }
    QMutexLocker lock(&mutex);
    files = found;
    pending = unanalysed;
    return true;
}

QString FileStore::sidecarPath(const QString& name) const
{
    return root + QLatin1Char('/') + AnalysisFolder + QLatin1Char('/') + name +
           QLatin1String(".json");
}

bool FileStore::loadAnalysis(StoredFile& f) const
{
    QFile sidecar(sidecarPath(f.name));
    if (!sidecar.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject o = QJsonDocument::fromJson(sidecar.read(1024 * 1024)).object();
    // Another content's (the file changed while zelkd did not run), or an
    // older analysis's.
    if (o.value(QLatin1String("version")).toInt() != AnalysisVersion ||
        o.value(QLatin1String("hash")).toString() != f.hash)
        return false;
    f.analysis = o.value(QLatin1String("gcodeAnalysis")).toObject();
    f.hotendCelsius = o.value(QLatin1String("hotendTemperature")).toDouble();
    return !f.analysis.isEmpty();
}

void FileStore::startAnalyses(std::function<void(const StoredFile&)> callback)
{
    QStringList names;
    {
        QMutexLocker lock(&mutex);
        analysed = std::move(callback);
        names.swap(pending);
    }
    for (const QString& name : qAsConst(names))
        analyse(name);
}

void FileStore::analyse(const QString& name)
{
    QString path, hash;
    {
        QMutexLocker lock(&mutex);
        const auto it = files.constFind(name);
        if (stopping || it == files.constEnd())
            return;
        path = it->path;
        hash = it->hash;
    }
    pool.start([this, name, path, hash] { runAnalysis(name, path, hash); });
}

void FileStore::forgetAnalysisLocked(const QString& name)
{
    // The running analysis reads what is no longer there.
    if (running && runningName == name)
        running->cancel();
    QFile::remove(sidecarPath(name));
}

void FileStore::stopAnalyses()
{
    {
        QMutexLocker lock(&mutex);
        stopping = true;
        if (running)
            running->cancel();
    }
    pool.clear();
    pool.waitForDone();
}

void FileStore::runAnalysis(const QString& name, const QString& path, const QString& hash)
{
    QThread::currentThread()->setObjectName(QStringLiteral("zelkd-analysis"));
    pthread_setname_np(pthread_self(), "zelkd-analysis");
    RMGcodeAnalysis analysis;
    {
        QMutexLocker lock(&mutex);
        // Replaced or removed while it waited: the new content has its own turn.
        const auto it = files.constFind(name);
        if (stopping || it == files.constEnd() || it->hash != hash)
            return;
        running = &analysis;
        runningName = name;
    }
    QElapsedTimer timer;
    timer.start();
    const RMGcodeAnalysisResult r = analysis.analyzeFile(path);
    {
        QMutexLocker lock(&mutex);
        running = nullptr;
    }
    if (!r.isValid()) {
        if (r.error != RMGcodeAnalysisResult::Cancelled)
            qCWarning(FilesLog).noquote()
                << QStringLiteral("cannot analyse %1: %2").arg(name, r.errorString);
        return;
    }
    const QJsonObject octoPrint = RMGcodeAnalysis::octoPrintAnalysis(r);
    // Written before it counts: a file replaced or removed meanwhile takes
    // it away again below, and a sidecar of another content is never read.
    QSaveFile sidecar(sidecarPath(name));
    const QJsonObject kept{{QStringLiteral("version"), AnalysisVersion},
                           {QStringLiteral("hash"), hash},
                           {QStringLiteral("gcodeAnalysis"), octoPrint},
                           {QStringLiteral("hotendTemperature"), r.hotendTemperature}};
    if (!sidecar.open(QIODevice::WriteOnly) ||
        sidecar.write(QJsonDocument(kept).toJson(QJsonDocument::Compact)) < 0 || !sidecar.commit())
        qCWarning(FilesLog).noquote() << QStringLiteral("cannot keep the analysis of %1: %2")
                                             .arg(name, sidecar.errorString());
    StoredFile f;
    std::function<void(const StoredFile&)> callback;
    {
        QMutexLocker lock(&mutex);
        const auto it = files.find(name);
        if (it == files.end() || it->hash != hash) {
            if (it == files.end())
                QFile::remove(sidecarPath(name));
            return;
        }
        it->analysis = octoPrint;
        it->hotendCelsius = r.hotendTemperature;
        f = *it;
        callback = analysed;
    }
    qCInfo(FilesLog).noquote() << QStringLiteral("analysed %1 in %2 ms: %3 s of printing, %4 mm "
                                                 "of filament")
                                      .arg(name)
                                      .arg(timer.elapsed())
                                      .arg(qRound(r.printTime))
                                      .arg(r.filamentLength, 0, 'f', 1);
    if (callback)
        callback(f);
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

std::optional<StoredFile> FileStore::commit(Upload& upload, const QString& name, Error& error,
                                            bool analyse)
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
        forgetAnalysisLocked(name);
    }
    const StoredFile f = describe(name, hash);
    {
        QMutexLocker lock(&mutex);
        files.insert(name, f);
    }
    if (analyse)
        this->analyse(name);
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
        forgetAnalysisLocked(name);
    }
    const StoredFile f = describe(name, QString());
    {
        QMutexLocker lock(&mutex);
        files.insert(name, f);
    }
    analyse(name);
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
    forgetAnalysisLocked(name);
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
