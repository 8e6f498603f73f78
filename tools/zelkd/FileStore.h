#pragma once

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QVector>

#include <memory>
#include <optional>

namespace zelkd {

// One G-code file of the upload folder.
struct StoredFile
{
    QString name;
    QString path; // absolute
    qint64 size = 0;
    QDateTime date;
    QString hash;             // SHA-1, as printer hosts report it
    double hotendCelsius = 0; // the file's first hot-end temperature; 0: none
    QJsonObject analysis;     // the G-code analysis; empty until there is one
};

// The upload folder, shared by all printers. Files arrive whole or not at
// all: an upload is written to a hidden partial file and renamed when it is
// complete; a failed one is removed. Names are sanitised (no folders, no
// hidden files); a file that is being printed is never replaced or removed.
// Thread-safe: HTTP threads upload and list, the main thread marks files in
// use.
class FileStore
{
public:
    enum class Error { None, BadName, NotGcode, InUse, TooLarge, NoSpace, Io, NotFound };

    // An upload under way; written on the thread that receives it.
    class Upload
    {
    public:
        ~Upload(); // removes the partial file unless committed
        Upload(const Upload&) = delete;
        Upload& operator=(const Upload&) = delete;

        // False once the limit, the free space or the disk said no; then
        // error() says which, the partial file is gone, and later writes are
        // dropped.
        bool write(const char* data, size_t length);
        Error error() const { return failure; }
        qint64 size() const { return written; }

    private:
        friend class FileStore;
        Upload() = default;
        void fail(Error error);

        QFile file;
        QCryptographicHash hash{QCryptographicHash::Sha1};
        qint64 written = 0;
        qint64 limit = 0;
        qint64 reserve = 0; // free bytes to leave on the disk
        Error failure = Error::None;
        bool committed = false;
    };

    FileStore(const QString& folder, qint64 maxUploadSize);

    // Creates the folder if needed and indexes the files in it.
    bool open(QString& error);
    QString folder() const { return root; }
    qint64 maxUploadSize() const { return limit; }

    // Free bytes on the upload folder's file system.
    qint64 freeSpace() const;
    // Whether `bytes` more fit (with room to spare for the system).
    bool fits(qint64 bytes) const;

    // The name a client's file name is stored under, or an empty name with
    // `error` BadName (nothing usable left) or NotGcode (wrong extension).
    static QString sanitise(const QString& clientName, Error& error);
    static bool isGcodeName(const QString& name);

    std::unique_ptr<Upload> beginUpload(Error& error);
    // Renames the complete upload to `name` (a sanitised name), replacing a
    // file of that name unless it is in use. Computes what is kept about it.
    std::optional<StoredFile> commit(Upload& upload, const QString& name, Error& error);
    // Replaces a stored file's content by `newPath` (the optimizer's output),
    // moving it into place; recomputes what is kept about it.
    std::optional<StoredFile> replace(const QString& name, const QString& newPath, Error& error);

    QVector<StoredFile> list() const;
    std::optional<StoredFile> find(const QString& name) const;
    bool remove(const QString& name, Error& error);
    // A partial file in the folder for the optimizer's output.
    QString temporaryPath() const;

    // Files being sent or printed: never replaced or removed.
    void setInUse(const QString& name, bool inUse);
    bool isInUse(const QString& name) const;

private:
    StoredFile describe(const QString& name, const QString& hash) const;

    const QString root;
    const qint64 limit;
    mutable QMutex mutex; // guards files and inUse
    QHash<QString, StoredFile> files;
    QHash<QString, int> inUse;
};

// The first hot-end temperature a G-code file sets (M104/M109 S...), looking
// at its first 16 MiB; 0 when it sets none there.
double firstHotendTemperature(const QString& path);

// The G-code analysis of a file, kept with it: none yet.
QJsonObject gcodeAnalysis(const QString& path);

} // namespace zelkd
