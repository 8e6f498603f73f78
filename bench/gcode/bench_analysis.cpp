// G-code analysis figures:
//  - accuracy: per corpus file, the slicer's own print time and filament
//    against ours, ours measured on a copy without the slicer's estimate and
//    filament comments; the largest and the mean difference;
//  - speed: `zelkctl info` and `zelkctl optimize` as child processes on one
//    input made of N copies of the corpus (11 by default, about 100 MB) and on
//    one copy: wall time with process start, MB/s, peak resident memory
//    (VmHWM; best of 3 each, run alternately).
// The corpus is the shared folder beside the source tree (or
// ZELK_GCODE_CORPUS); without it, the excerpts kept with the tests, whose
// slicer figures belong to the whole files and say nothing. Inputs are
// built in a temporary folder under /tmp and removed after.
//
//   bench_analysis [--copies N] [--accuracy] [--speed]
#include <RMGcodeAnalysis.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        std::exit(1);
    }
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
}

// The file without what its slicer says about time and filament.
QByteArray withoutSlicerFigures(const QByteArray& text)
{
    static const QRegularExpression figure(
        QStringLiteral("^;\\s*(estimated printing time|TIME:|TIME_ELAPSED:|PRINT\\.TIME:|filament "
                       "used|Filament used:|total filament used)"),
        QRegularExpression::CaseInsensitiveOption);
    QByteArray out;
    out.reserve(text.size());
    for (const QByteArray& line : text.split('\n'))
        if (!figure.match(QString::fromUtf8(line.left(64))).hasMatch())
            out += line + '\n';
    out.chop(1);
    return out;
}

QString minutes(double seconds)
{
    return seconds < 0 ? QStringLiteral("-")
                       : QStringLiteral("%1:%2")
                             .arg(qint64(seconds) / 60)
                             .arg(qint64(std::lround(seconds)) % 60, 2, 10, QLatin1Char('0'));
}

QString difference(double ours, double theirs)
{
    return theirs > 0 ? QString::asprintf("%+.2f%%", 100 * (ours - theirs) / theirs)
                      : QStringLiteral("-");
}

int accuracy(const QDir& corpus, const QStringList& files, QTemporaryDir& work)
{
    std::printf("Accuracy: ours on copies without the slicer's time and filament comments\n");
    std::printf("%-42s %9s %9s %8s  %10s %10s %8s\n", "file", "slicer", "ours", "diff", "slicer mm",
                "ours mm", "diff");
    double worstTime = 0, sumTime = 0, worstFilament = 0;
    int timed = 0;
    for (const QString& name : files) {
        const QByteArray text = readAll(corpus.filePath(name));
        const QString copy = work.filePath(QStringLiteral("stripped.gcode"));
        writeAll(copy, withoutSlicerFigures(text));
        RMGcodeAnalysis analysis;
        const RMGcodeAnalysisResult slicer = analysis.analyzeFile(corpus.filePath(name));
        const RMGcodeAnalysisResult ours = analysis.analyzeFile(copy);
        if (!ours.isValid() || ours.slicerPrintTime >= 0 || ours.slicerFilamentLength >= 0) {
            std::fprintf(stderr, "%s: the copy still holds slicer figures, or is unreadable\n",
                         qPrintable(name));
            return 1;
        }
        std::printf("%-42s %9s %9s %8s  %10s %10.1f %8s\n", qPrintable(name),
                    qPrintable(minutes(slicer.slicerPrintTime)),
                    qPrintable(minutes(ours.printTime)),
                    qPrintable(difference(ours.printTime, slicer.slicerPrintTime)),
                    slicer.slicerFilamentLength >= 0
                        ? qPrintable(QString::number(slicer.slicerFilamentLength, 'f', 1))
                        : "-",
                    ours.filamentLength,
                    qPrintable(difference(ours.filamentLength, slicer.slicerFilamentLength)));
        if (slicer.slicerPrintTime > 0) {
            const double d =
                std::fabs(ours.printTime - slicer.slicerPrintTime) / slicer.slicerPrintTime;
            worstTime = std::max(worstTime, d);
            sumTime += d;
            ++timed;
        }
        if (slicer.slicerFilamentLength > 0)
            worstFilament = std::max(worstFilament,
                                     std::fabs(ours.filamentLength - slicer.slicerFilamentLength) /
                                         slicer.slicerFilamentLength);
    }
    if (timed > 0)
        std::printf("\nprint time: %d files with an estimate, largest difference %.2f%% (at most "
                    "10%%), mean of the differences %.2f%% (at most 5%%)\n",
                    timed, 100 * worstTime, 100 * sumTime / timed);
    std::printf("filament: largest difference %.2f%% (at most 1%%)\n\n", 100 * worstFilament);
    return 0;
}

struct Child
{
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

Child run(const QStringList& arguments)
{
    QList<QByteArray> bytes;
    for (const QString& a : arguments)
        bytes << QFile::encodeName(a);
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(ZELKCTL, argv.data());
        _exit(127);
    }
    // The peak of the program's own memory: ru_maxrss would count the pages
    // this process had when it forked, so /proc is read while it runs.
    Child c;
    int status = 0;
    const QString statusFile = QStringLiteral("/proc/%1/status").arg(pid);
    for (;;) {
        QFile f(statusFile);
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray text = f.readAll();
            // Before the exec, the status is this process's copy.
            const int at = text.indexOf("VmHWM:");
            if (at >= 0 && text.startsWith("Name:\tzelkctl"))
                c.peakKiB =
                    std::max(c.peakKiB, text.mid(at + 6, 20).trimmed().split(' ').first().toLong());
        }
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        usleep(2000);
    }
    c.seconds = double(timer.nsecsElapsed()) / 1e9;
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return c;
}

int speed(const QDir& corpus, const QStringList& files, int copies, QTemporaryDir& work)
{
    QByteArray one;
    for (const QString& name : files) {
        one += readAll(corpus.filePath(name));
        if (!one.endsWith('\n'))
            one += '\n';
    }
    const QString big = work.filePath(QStringLiteral("big.gcode"));
    const QString small = work.filePath(QStringLiteral("small.gcode"));
    {
        QFile f(big);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        for (int i = 0; i < copies; ++i)
            f.write(one);
    }
    writeAll(small, one);
    const QString out = work.filePath(QStringLiteral("out.gcode"));
    std::printf("Speed: %d copies of the corpus, one run of each command at a time, best of 3\n",
                copies);
    for (const QString& input : {small, big}) {
        const double mb = double(QFileInfo(input).size()) / 1e6;
        Child best[2];
        best[0].seconds = best[1].seconds = 1e9;
        for (int round = 0; round < 3; ++round) {
            const Child c[2] = {run({"zelkctl", "info", input}),
                                run({"zelkctl", "optimize", input, out})};
            for (int k = 0; k < 2; ++k) {
                if (c[k].status != 0) {
                    std::fprintf(stderr, "zelkctl failed with status %d\n", c[k].status);
                    return 1;
                }
                if (c[k].seconds < best[k].seconds)
                    best[k] = c[k];
            }
        }
        static const char* const names[2] = {"info", "optimize"};
        for (int k = 0; k < 2; ++k)
            std::printf("zelkctl %-8s %6.1f MB: %6.3f s, %6.1f MB/s, peak memory %5.1f MB\n",
                        names[k], mb, best[k].seconds, mb / best[k].seconds,
                        double(best[k].peakKiB) / 1024.0);
    }
    return 0;
}

QString machine()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    QString model;
    if (cpuinfo.open(QIODevice::ReadOnly))
        for (const QByteArray& line : cpuinfo.readAll().split('\n'))
            if (line.startsWith("model name")) {
                model = QString::fromUtf8(line.mid(line.indexOf(':') + 1)).trimmed();
                break;
            }
    double load[3] = {};
    getloadavg(load, 3);
    return QStringLiteral("%1, %2 cores, load %3")
        .arg(model)
        .arg(QThread::idealThreadCount())
        .arg(load[0], 0, 'f', 2);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int copies = 11;
    bool wantAccuracy = false, wantSpeed = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--copies") && i + 1 < argc) {
            copies = std::max(1, std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--accuracy")) {
            wantAccuracy = true;
        } else if (!std::strcmp(argv[i], "--speed")) {
            wantSpeed = true;
        } else {
            std::fprintf(stderr, "usage: bench_analysis [--copies N] [--accuracy] [--speed]\n");
            return 2;
        }
    }
    if (!wantAccuracy && !wantSpeed)
        wantAccuracy = wantSpeed = true;

    QString path = qEnvironmentVariable("ZELK_GCODE_CORPUS", QStringLiteral(ZELK_SHARED_GCODE));
    if (!QDir(path).exists())
        path = QStringLiteral(ZELK_GCODE_EXCERPTS);
    const QDir corpus(path);
    const QStringList files =
        corpus.entryList({QStringLiteral("*.gcode")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no G-code in %s\n", qPrintable(path));
        return 1;
    }
    QTemporaryDir work(QStringLiteral("/tmp/bench_analysis-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot create a folder in /tmp\n");
        return 1;
    }
    std::printf("corpus: %s\nmachine: %s\n\n", qPrintable(corpus.absolutePath()),
                qPrintable(machine()));
    if (wantAccuracy && accuracy(corpus, files, work) != 0)
        return 1;
    if (wantSpeed && speed(corpus, files, copies, work) != 0)
        return 1;
    return 0;
}
