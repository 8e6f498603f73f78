#pragma once

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>

class RMGcodeAnalysis;

namespace zelkd {

// One G-code file of the upload folder.
struct StoredFile
{
    QString name;
    QString path; // absolute
    qint64 size = 0;
    QDateTime date;
    QString hash; // SHA-1, as printer hosts report it
    // From the G-code analysis, empty until it is done: the printer host's
    // gcodeAnalysis (estimatedPrintTime, filament.tool0, dimensions,
    // printingArea...), and the hot end's target when filament is first laid.
    QJsonObject analysis;
    double hotendCelsius = 0; // 0: none

    // The analysis's print time (s) and net filament (mm), when it is done.
    std::optional<double> estimatedSeconds() const;
    std::optional<double> filamentMm() const;
};

// The upload folder, shared by all printers. Files arrive whole or not at
// all: an upload is written to a hidden partial file and renamed when it is
// complete; a failed one is removed. Names are sanitised (no folders, no
// hidden files); a file that is being printed is never replaced or removed.
// Thread-safe: HTTP threads upload and list, the main thread marks files in
// use.
//
// Each file is analysed once (RMGcodeAnalysis) on the store's own pool, one
// file at a time, off the HTTP threads and the main thread: an upload is
// answered at once, as printer hosts do, and the file list shows the
// analysis when it is done. The result is kept beside the file, in
// ".analysis/<name>.json" with the hash of the content it describes, so that
// it survives a restart; a file replaced or removed loses it.
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

    // Bump when the analysis's figures change: older results are redone.
    static constexpr int AnalysisVersion = 1;

    FileStore(const QString& folder, qint64 maxUploadSize);
    ~FileStore(); // stops the analyses

    // Creates the folder if needed and indexes the files in it, with the
    // analyses kept for them.
    bool open(QString& error);
    // Analyses the files that open() found without a valid analysis. From
    // now on `analysed` is called, on the analysing thread, with each file
    // whose analysis is done.
    void startAnalyses(std::function<void(const StoredFile&)> analysed);
    // Queues the analysis of a stored file.
    void analyse(const QString& name);
    // Cancels the running analysis, drops the queued ones and waits: before
    // whatever `analysed` reaches goes.
    void stopAnalyses();
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
    // file of that name unless it is in use, and queues its analysis unless
    // `analyse` is false (a file that the optimizer rewrites first).
    std::optional<StoredFile> commit(Upload& upload, const QString& name, Error& error,
                                     bool analyse = true);
    // Replaces a stored file's content by `newPath` (the optimizer's output),
    // moving it into place, and queues its analysis.
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
    QString sidecarPath(const QString& name) const;
    bool loadAnalysis(StoredFile& file) const;
    // Under the mutex: a new content, or none, for `name`.
    void forgetAnalysisLocked(const QString& name);
    void runAnalysis(const QString& name, const QString& path, const QString& hash);

    const QString root;
    const qint64 limit;
    mutable QMutex mutex; // guards files, inUse, pending, analysed, running, runningName, stopping
    QHash<QString, StoredFile> files;
    QHash<QString, int> inUse;
    QStringList pending; // found by open() without an analysis
    std::function<void(const StoredFile&)> analysed;
    RMGcodeAnalysis* running = nullptr; // on the pool's thread, while it runs
    QString runningName;
    bool stopping = false;
    QThreadPool pool; // one thread: the analyses, one at a time
};

} // namespace zelkd
