// zelkctl history [--json] [--database FILE] [--limit N]: the print jobs that
// zelkd started, from its history database.
#include "Console.h"
#include "Subcommand.h"

#include <History.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>

namespace zelkctl {

namespace {

// Where zelkd keeps it: the user's own zelkd, else the machine's service.
QString defaultDatabase()
{
    const QString user = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/zelkd/history.sqlite");
    if (QFileInfo(user).isFile())
        return user;
    return QStringLiteral("/var/lib/zelkd/history.sqlite");
}

QString when(const QDateTime& t)
{
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm")) : QString();
}

} // namespace

int runHistory(const Invocation& invocation)
{
    int limit = 50;
    if (invocation.values.contains(QStringLiteral("--limit"))) {
        bool ok = false;
        limit = invocation.value("--limit").toInt(&ok);
        if (!ok || limit < 1 || limit > 100000)
            return invocation.fail(
                UsageError,
                QStringLiteral("bad --limit '%1': want a count").arg(invocation.value("--limit")));
    }
    const QString path = invocation.values.contains(QStringLiteral("--database"))
                             ? invocation.value("--database")
                             : defaultDatabase();
    zelkd::History history(path);
    QString error;
    if (!history.openReadOnly(error))
        return invocation.fail(FileError, error);
    const QVector<zelkd::PrintRecord> records = history.recent(limit);

    if (invocation.has("--json")) {
        QJsonArray array;
        for (const zelkd::PrintRecord& r : records)
            array.append(QJsonObject{
                {QStringLiteral("id"), double(r.id)},
                {QStringLiteral("file"), r.file},
                {QStringLiteral("checksum"), r.checksum},
                {QStringLiteral("printer"), r.printer},
                {QStringLiteral("started"), r.started.toUTC().toString(Qt::ISODate)},
                {QStringLiteral("ended"), r.ended.isValid()
                                              ? QJsonValue(r.ended.toUTC().toString(Qt::ISODate))
                                              : QJsonValue()},
                {QStringLiteral("outcome"),
                 r.outcome.isEmpty() ? QJsonValue() : QJsonValue(r.outcome)},
                {QStringLiteral("reason"), r.reason},
                {QStringLiteral("filament_mm"),
                 r.filamentMm ? QJsonValue(*r.filamentMm) : QJsonValue()},
            });
        print(stdout, QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
        return Success;
    }
    if (records.isEmpty()) {
        print(stdout, QStringLiteral("No print jobs yet."));
        return Success;
    }
    int printerWidth = 7;
    for (const zelkd::PrintRecord& r : records)
        printerWidth = std::max(printerWidth, int(r.printer.size()));
    auto line = [printerWidth](const QString& started, const QString& ended, const QString& printer,
                               const QString& outcome, const QString& file) {
        // Padded by hand: a file name may hold what arg() takes for a marker.
        return started.leftJustified(16) + QLatin1String("  ") + ended.leftJustified(16) +
               QLatin1String("  ") + printer.leftJustified(printerWidth) + QLatin1String("  ") +
               outcome.leftJustified(9) + QLatin1String("  ") + file;
    };
    print(stdout,
          line(QStringLiteral("STARTED"), QStringLiteral("ENDED"), QStringLiteral("PRINTER"),
               QStringLiteral("OUTCOME"), QStringLiteral("FILE")));
    for (const zelkd::PrintRecord& r : records) {
        QString file = r.file;
        if (!r.reason.isEmpty())
            file += QStringLiteral(" (") + r.reason + QLatin1Char(')');
        print(stdout,
              line(when(r.started), r.ended.isValid() ? when(r.ended) : QStringLiteral("-"),
                   r.printer, r.outcome.isEmpty() ? QStringLiteral("printing") : r.outcome, file));
    }
    return Success;
}

} // namespace zelkctl
