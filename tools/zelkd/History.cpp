#include "History.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

Q_LOGGING_CATEGORY(HistoryLog, "zelkd.history")

namespace zelkd {

namespace {

// Migrations, in order: step N brings a database from version N-1 to N.
// Never edit a step that has shipped; add one.
const char* const Migrations[] = {
    // 1: the jobs
    "CREATE TABLE prints ("
    " id INTEGER PRIMARY KEY,"
    " file TEXT NOT NULL,"
    " checksum TEXT,"
    " printer TEXT NOT NULL,"
    " started INTEGER NOT NULL,"
    " ended INTEGER,"
    " outcome TEXT,"
    " reason TEXT,"
    " filament_mm REAL)",
    // 2: the file list asks per file
    "CREATE INDEX prints_by_file ON prints(file, started)",
};
static_assert(sizeof Migrations / sizeof *Migrations == History::SchemaVersion,
              "one migration per schema version");

QDateTime fromSeconds(const QVariant& v)
{
    return v.isNull() ? QDateTime() : QDateTime::fromSecsSinceEpoch(v.toLongLong());
}

PrintRecord recordOf(const QSqlQuery& q)
{
    PrintRecord r;
    r.id = q.value(0).toLongLong();
    r.file = q.value(1).toString();
    r.checksum = q.value(2).toString();
    r.printer = q.value(3).toString();
    r.started = fromSeconds(q.value(4));
    r.ended = fromSeconds(q.value(5));
    r.outcome = q.value(6).toString();
    r.reason = q.value(7).toString();
    if (!q.value(8).isNull())
        r.filamentMm = q.value(8).toDouble();
    return r;
}

const char SelectColumns[] =
    "SELECT id, file, checksum, printer, started, ended, outcome, reason, filament_mm FROM prints";

} // namespace

History::History(const QString& file) : path(file) {}

History::~History()
{
    closeConnection();
}

void History::closeConnection()
{
    if (connection.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    connection.clear();
}

bool History::check() const
{
    QSqlQuery q(QSqlDatabase::database(connection));
    return q.exec(QStringLiteral("PRAGMA quick_check")) && q.next() &&
           q.value(0).toString() == QLatin1String("ok");
}

bool History::prepare(QString& error)
{
    connection = QStringLiteral("zelkd-history-") + QUuid::createUuid().toString(QUuid::Id128);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(path);
    if (!db.open()) {
        error = db.lastError().text();
        return false;
    }
    if (!check()) {
        error = QStringLiteral("the database fails its check");
        return false;
    }
    QSqlQuery q(db);
    // A power cut loses at most the transaction under way, never what was
    // committed, and never leaves a half-written one.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !q.exec(QStringLiteral("PRAGMA synchronous=FULL"))) {
        error = q.lastError().text();
        return false;
    }
    return migrate(error);
}

bool History::migrate(QString& error)
{
    QSqlDatabase db = QSqlDatabase::database(connection);
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        error = q.lastError().text();
        return false;
    }
    const int version = q.value(0).toInt();
    if (version > SchemaVersion) {
        error = QStringLiteral("the database is of a newer zelkd (schema %1)").arg(version);
        return false;
    }
    for (int v = version; v < SchemaVersion; ++v) {
        // One transaction per step: a step is applied whole or not at all.
        db.transaction();
        QSqlQuery step(db);
        if (!step.exec(QString::fromLatin1(Migrations[v])) ||
            !step.exec(QStringLiteral("PRAGMA user_version=%1").arg(v + 1))) {
            error = QStringLiteral("migration to schema %1: %2")
                        .arg(v + 1)
                        .arg(step.lastError().text());
            db.rollback();
            return false;
        }
        if (!db.commit()) {
            error = db.lastError().text();
            return false;
        }
        qCInfo(HistoryLog) << "Print history" << path << "now at schema" << v + 1;
    }
    return true;
}

bool History::open(QString& error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString why;
    if (!prepare(why)) {
        closeConnection();
        const QFileInfo info(path);
        if (info.exists() && why.contains(QLatin1String("newer zelkd"))) {
            // Not damaged: kept for the newer program, and no history now.
            error = why;
            return false;
        }
        if (info.exists()) {
            // Set aside, never deleted: its owner may want it back.
            movedTo = path + QStringLiteral(".damaged-") +
                      QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
            QFile::rename(path, movedTo);
            QFile::rename(path + QStringLiteral("-wal"), movedTo + QStringLiteral("-wal"));
            QFile::remove(path + QStringLiteral("-shm"));
            qCWarning(HistoryLog).noquote()
                << "The print history" << path << "is damaged (" + why + "); set aside as"
                << movedTo << "and begun anew";
        }
        if (!prepare(why)) {
            closeConnection();
            error = why;
            return false;
        }
    }
    QSqlDatabase db = QSqlDatabase::database(connection);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("UPDATE prints SET ended = started, outcome = 'failed', reason = ? "
                             "WHERE outcome IS NULL"));
    q.addBindValue(QStringLiteral("zelkd stopped during the job"));
    db.transaction();
    q.exec();
    db.commit();
    loadStats();
    return true;
}

bool History::openReadOnly(QString& error)
{
    if (!QFileInfo(path).isFile()) {
        error = QStringLiteral("no print history at %1").arg(path);
        return false;
    }
    connection = QStringLiteral("zelkd-history-") + QUuid::createUuid().toString(QUuid::Id128);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    if (!db.open()) {
        error = db.lastError().text();
        closeConnection();
        return false;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next() || q.value(0).toInt() < 1) {
        error = QStringLiteral("%1 is not a print history").arg(path);
        closeConnection();
        return false;
    }
    return true;
}

void History::loadStats()
{
    QHash<QString, PrintStats> all;
    QSqlQuery q(QSqlDatabase::database(connection));
    q.setForwardOnly(true);
    if (!q.exec(QString::fromLatin1(SelectColumns) +
                QStringLiteral(" WHERE outcome IS NOT NULL ORDER BY started, id")))
        return;
    while (q.next()) {
        const PrintRecord r = recordOf(q);
        PrintStats& s = all[r.file];
        (r.outcome == QLatin1String("success") ? s.success : s.failure)++;
        s.last = r;
    }
    QMutexLocker lock(&statsMutex);
    statsByFile = all;
}

qint64 History::started(const QString& file, const QString& checksum, const QString& printer,
                        std::optional<double> filamentMm)
{
    if (connection.isEmpty())
        return 0;
    QSqlDatabase db = QSqlDatabase::database(connection);
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO prints (file, checksum, printer, started, filament_mm) "
                             "VALUES (?, ?, ?, ?, ?)"));
    q.addBindValue(file);
    q.addBindValue(checksum);
    q.addBindValue(printer);
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.addBindValue(filamentMm ? QVariant(*filamentMm) : QVariant());
    if (!q.exec() || !db.commit()) {
        qCWarning(HistoryLog) << "Cannot record the job of" << file << ":" << q.lastError().text();
        db.rollback();
        return 0;
    }
    return q.lastInsertId().toLongLong();
}

void History::ended(qint64 id, const QString& outcome, const QString& reason,
                    std::optional<double> filamentMm)
{
    if (connection.isEmpty() || id <= 0)
        return;
    QSqlDatabase db = QSqlDatabase::database(connection);
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("UPDATE prints SET ended = ?, outcome = ?, reason = ?, "
                             "filament_mm = COALESCE(filament_mm, ?) WHERE id = ?"));
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    q.addBindValue(outcome);
    q.addBindValue(reason.isEmpty() ? QVariant() : QVariant(reason));
    q.addBindValue(filamentMm ? QVariant(*filamentMm) : QVariant());
    q.addBindValue(id);
    if (!q.exec() || !db.commit()) {
        qCWarning(HistoryLog) << "Cannot record the end of job" << id << ":"
                              << q.lastError().text();
        db.rollback();
        return;
    }
    QSqlQuery read(db);
    read.prepare(QString::fromLatin1(SelectColumns) + QStringLiteral(" WHERE id = ?"));
    read.addBindValue(id);
    if (read.exec() && read.next()) {
        const PrintRecord r = recordOf(read);
        QMutexLocker lock(&statsMutex);
        PrintStats& s = statsByFile[r.file];
        (r.outcome == QLatin1String("success") ? s.success : s.failure)++;
        s.last = r;
    }
}

QVector<PrintRecord> History::recent(int limit) const
{
    QVector<PrintRecord> out;
    if (connection.isEmpty())
        return out;
    QSqlQuery q(QSqlDatabase::database(connection));
    q.setForwardOnly(true);
    q.prepare(QString::fromLatin1(SelectColumns) +
              QStringLiteral(" ORDER BY started DESC, id DESC LIMIT ?"));
    q.addBindValue(limit);
    if (!q.exec())
        return out;
    while (q.next())
        out.append(recordOf(q));
    return out;
}

PrintStats History::stats(const QString& file) const
{
    QMutexLocker lock(&statsMutex);
    return statsByFile.value(file);
}

} // namespace zelkd
