#pragma once

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QVector>

#include <optional>

namespace zelkd {

// One print job that zelkd started.
struct PrintRecord
{
    qint64 id = 0;
    QString file;
    QString checksum;
    QString printer; // serial number
    QDateTime started;
    QDateTime ended; // invalid while the job runs
    QString outcome; // "success", "failed", "cancelled"; empty while it runs
    QString reason;  // why it failed or was cancelled
    std::optional<double> filamentMm;
};

// What the file list reports of a file's prints.
struct PrintStats
{
    int success = 0;
    int failure = 0;
    std::optional<PrintRecord> last;
};

// The print history: an SQLite database through Qt's SQL module, with a
// schema version and migrations, every change in a transaction. A damaged
// database is set aside (renamed, with a log line) and a new one begun.
//
// Writes and queries run on the thread that opened it (a Qt database
// connection belongs to one thread); stats() may be called from any thread.
class History
{
public:
    // The schema this code writes; older databases are migrated to it.
    static constexpr int SchemaVersion = 2;

    explicit History(const QString& path);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Opens or creates the database; false with `error` only when not even
    // a new one can be made (the folder is not writable). Jobs left running
    // by a run that ended are closed as failed.
    bool open(QString& error);
    // Opens an existing database read-only (zelkctl history).
    bool openReadOnly(QString& error);
    bool isOpen() const { return !connection.isEmpty(); }
    // Where a damaged database was moved to by open(), if it was.
    QString setAside() const { return movedTo; }

    // Returns the new record's id, or 0 when it could not be written.
    qint64 started(const QString& file, const QString& checksum, const QString& printer,
                   std::optional<double> filamentMm);
    // `filamentMm` fills in a filament that was not known at the start.
    void ended(qint64 id, const QString& outcome, const QString& reason,
               std::optional<double> filamentMm = std::nullopt);

    QVector<PrintRecord> recent(int limit) const;
    PrintStats stats(const QString& file) const;

private:
    bool prepare(QString& error);
    bool migrate(QString& error);
    bool check() const;
    void loadStats();
    void closeConnection();

    const QString path;
    QString connection; // the Qt connection's name; empty when closed
    QString movedTo;
    mutable QMutex statsMutex; // guards statsByFile
    QHash<QString, PrintStats> statsByFile;
};

} // namespace zelkd
