// zelkctl info FILE [--json] [--density G_PER_CM3]: what a G-code file holds
// and how long it prints, from the file alone.
#include "Console.h"
#include "Subcommand.h"

#include <RMGcodeAnalysis.h>

#include <QFileInfo>
#include <QJsonDocument>
#include <QStringList>

#include <cmath>

namespace zelkctl {

namespace {

QString mm(double v, int decimals = 1)
{
    return QString::number(v, 'f', decimals);
}

QString box(const RMGcodeBox& b)
{
    return QStringLiteral("%1 x %2 x %3 mm: X %4 to %5, Y %6 to %7, Z %8 to %9")
        .arg(mm(b.width()), mm(b.depth()), mm(b.height()), mm(b.min[0]), mm(b.max[0]), mm(b.min[1]),
             mm(b.max[1]), mm(b.min[2], 2), mm(b.max[2], 2));
}

QString row(const char* label, const QString& text)
{
    return QStringLiteral("  %1 %2").arg(QLatin1String(label), -14).arg(text);
}

QString report(const QString& path, const RMGcodeAnalysisResult& r)
{
    QStringList lines{QFileInfo(path).fileName()};
    QString time = formatDuration(r.printTime);
    if (r.slicerPrintTime >= 0)
        time += QStringLiteral(" (slicer says %1)").arg(formatDuration(r.slicerPrintTime));
    if (r.dwellTime > 0)
        time += QStringLiteral(", %1 of it dwelling").arg(formatDuration(r.dwellTime));
    if (r.heatingWaits > 0)
        time += QStringLiteral(", heating waits (%1) not counted").arg(r.heatingWaits);
    lines << row("print time", time);

    QString filament = QStringLiteral("%1 mm, %2 cm³, %3 g at %4 g/cm³")
                           .arg(mm(r.filamentLength), mm(r.filamentVolume / 1000, 2),
                                mm(r.filamentWeight, 2), mm(r.filamentDensity, 2));
    if (r.slicerFilamentLength >= 0)
        filament += QStringLiteral(" (slicer says %1 mm)").arg(mm(r.slicerFilamentLength));
    lines << row("filament", filament);

    if (!r.layers.isEmpty()) {
        QString layers =
            QStringLiteral("%1, %2")
                .arg(r.layers.size())
                .arg(r.layersFromComments ? QStringLiteral("from the slicer's comments")
                                          : QStringLiteral("from the heights"));
        if (r.firstExtrudingLayer >= 0)
            layers += QStringLiteral("; printing on %1 to %2, top at %3 mm")
                          .arg(r.firstExtrudingLayer + 1)
                          .arg(r.lastExtrudingLayer + 1)
                          .arg(mm(r.layers.at(r.lastExtrudingLayer).z, 2));
        lines << row("layers", layers);
    }
    if (!r.printingArea.empty)
        lines << row("size", box(r.printingArea));
    QStringList temperatures;
    if (r.hotendTemperature > 0)
        temperatures << QStringLiteral("hot end %1 °C").arg(r.hotendTemperature);
    if (r.bedTemperature > 0)
        temperatures << QStringLiteral("bed %1 °C").arg(r.bedTemperature);
    if (!temperatures.isEmpty())
        lines << row("temperatures", temperatures.join(QStringLiteral(", ")));
    lines << row("moves", QStringLiteral("%1 (%2 extruding), %3 lines, %4 bytes")
                              .arg(r.moves)
                              .arg(r.extrudingMoves)
                              .arg(r.lines)
                              .arg(r.bytes));
    QStringList thumbnails;
    for (const RMGcodeThumbnail& t : r.thumbnails)
        thumbnails << QStringLiteral("%1x%2 %3").arg(t.width).arg(t.height).arg(t.format);
    if (!thumbnails.isEmpty())
        lines << row("thumbnails", thumbnails.join(QStringLiteral(", ")));
    if (!r.generator.isEmpty())
        lines << row("slicer", r.generator);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

QString formatDuration(double seconds)
{
    const qint64 s = std::isfinite(seconds) ? qint64(std::llround(std::max(0.0, seconds))) : 0;
    const qint64 h = s / 3600, m = s / 60 % 60, rest = s % 60;
    if (h > 0)
        return QStringLiteral("%1 h %2 min %3 s").arg(h).arg(m).arg(rest);
    if (m > 0)
        return QStringLiteral("%1 min %2 s").arg(m).arg(rest);
    return QStringLiteral("%1 s").arg(rest);
}

int runInfo(const Invocation& invocation)
{
    const QString path = invocation.arguments.first();
    RMGcodeAnalysis analysis;
    if (invocation.values.contains(QStringLiteral("--density"))) {
        bool ok = false;
        const double density = invocation.value("--density").toDouble(&ok);
        if (!ok || !(density > 0) || density > 100)
            return invocation.fail(UsageError,
                                   QStringLiteral("bad --density '%1': want grams per cm³, "
                                                  "e.g. 1.24")
                                       .arg(invocation.value("--density")));
        RMGcodeAnalysis::Options options = analysis.options();
        options.filamentDensity = density;
        analysis.setOptions(options);
    }
    const RMGcodeAnalysisResult r = analysis.analyzeFile(path);
    if (!r.isValid())
        return invocation.fail(FileError,
                               QStringLiteral("cannot read %1: %2").arg(path, r.errorString));
    for (const QString& warning : r.warnings)
        invocation.tell(QStringLiteral("%1: %2").arg(path, warning));
    if (invocation.has("--json")) {
        QJsonObject o = RMGcodeAnalysis::toJson(r);
        o.insert(QStringLiteral("file"), path);
        print(stdout, QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    } else {
        print(stdout, report(path, r));
    }
    return Success;
}

} // namespace zelkctl
