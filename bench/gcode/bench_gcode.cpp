// G-code optimizer figures:
//  - per corpus file, the moves read and written and the share removed;
//  - the pass in this process on a large input made of copies of the corpus,
//    file to file, in MB/s (best of three);
//  - `zelkctl optimize` on that input and on a tenth of it as a child process:
//    wall time, MB/s and peak resident memory (getrusage of the child).
// The corpus is the shared folder beside the source tree (or
// ZELK_GCODE_CORPUS); without it, the excerpts kept with the tests. The input
// is built at run time in a temporary folder under /tmp and removed after.
//
//   bench_gcode [--megabytes N]
#include <RMOptimizeTask.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Pass
{
    qint64 bytes = 0;
    qint64 movesIn = 0;
    qint64 movesOut = 0;
    double seconds = 0;
};

Pass optimizeFile(const QString& input, const QString& output)
{
    QFile in(input);
    QFile out(output);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot open %s or %s\n", qPrintable(input), qPrintable(output));
        std::exit(1);
    }
    RMOptimizeTask task(&in, &out);
    QElapsedTimer timer;
    timer.start();
    task.optimize();
    out.flush();
    Pass p;
    p.seconds = double(timer.nsecsElapsed()) / 1e9;
    p.bytes = task.bytesRead();
    p.movesIn = task.movesRead();
    p.movesOut = task.movesWritten();
    return p;
}

struct Child
{
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

Child runZelkctl(const QString& input, const QString& output)
{
    const QByteArray in = QFile::encodeName(input);
    const QByteArray out = QFile::encodeName(output);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        execl(ZELKCTL, "zelkctl", "optimize", in.constData(), out.constData(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    Child c;
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    wait4(pid, &status, 0, &usage);
    c.seconds = double(timer.nsecsElapsed()) / 1e9;
    c.peakKiB = usage.ru_maxrss;
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return c;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    long megabytes = 100;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--megabytes") && i + 1 < argc) {
            megabytes = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: bench_gcode [--megabytes N]\n");
            return 2;
        }
    }

    QString corpus = qEnvironmentVariable("ZELK_GCODE_CORPUS", QStringLiteral(ZELK_SHARED_GCODE));
    if (!QDir(corpus).exists())
        corpus = QStringLiteral(ZELK_GCODE_EXCERPTS);
    const QDir dir(corpus);
    const QStringList files = dir.entryList({QStringLiteral("*.gcode")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no G-code in %s\n", qPrintable(corpus));
        return 1;
    }
    QTemporaryDir work(QStringLiteral("/tmp/bench_gcode-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot create a folder in /tmp\n");
        return 1;
    }
    std::printf("corpus: %s\n\n", qPrintable(dir.absolutePath()));

    std::printf("%-44s %9s %9s %8s\n", "file", "moves in", "moves out", "removed");
    QByteArray all;
    Pass total;
    for (const QString& name : files) {
        const Pass p = optimizeFile(dir.filePath(name), work.filePath(QStringLiteral("one.gcode")));
        std::printf("%-44s %9lld %9lld %7.1f%%\n", qPrintable(name), p.movesIn, p.movesOut,
                    100.0 * double(p.movesIn - p.movesOut) / double(p.movesIn));
        total.movesIn += p.movesIn;
        total.movesOut += p.movesOut;
        QFile f(dir.filePath(name));
        f.open(QIODevice::ReadOnly);
        all += f.readAll();
        if (!all.endsWith('\n'))
            all += '\n';
    }
    std::printf("%-44s %9lld %9lld %7.1f%%\n\n", "all", total.movesIn, total.movesOut,
                100.0 * double(total.movesIn - total.movesOut) / double(total.movesIn));

    // Inputs of `megabytes` and of a tenth of it, made of whole copies.
    const QString big = work.filePath(QStringLiteral("big.gcode"));
    const QString small = work.filePath(QStringLiteral("small.gcode"));
    for (const auto& [path, size] :
         {std::make_pair(big, megabytes), std::make_pair(small, megabytes / 10)}) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        qint64 written = 0;
        do {
            written += f.write(all);
        } while (written + all.size() / 2 < size * 1000000);
    }
    const double bigMB = double(QFileInfo(big).size()) / 1e6;
    const double smallMB = double(QFileInfo(small).size()) / 1e6;

    double best = 1e9;
    for (int i = 0; i < 3; ++i)
        best =
            std::min(best, optimizeFile(big, work.filePath(QStringLiteral("out.gcode"))).seconds);
    std::printf("pass in process, %.1f MB file to file: %.3f s, %.1f MB/s (best of 3)\n", bigMB,
                best, bigMB / best);

    for (const auto& [path, mb] : {std::make_pair(small, smallMB), std::make_pair(big, bigMB)}) {
        Child bestRun;
        bestRun.seconds = 1e9;
        for (int i = 0; i < 3; ++i) {
            const Child c = runZelkctl(path, work.filePath(QStringLiteral("out.gcode")));
            if (c.status != 0) {
                std::fprintf(stderr, "zelkctl failed with status %d\n", c.status);
                return 1;
            }
            if (c.seconds < bestRun.seconds)
                bestRun = c;
        }
        std::printf("zelkctl optimize, %.1f MB: %.3f s, %.1f MB/s, peak memory %.1f MB "
                    "(best of 3, wall clock with process start and fsync)\n",
                    mb, bestRun.seconds, mb / bestRun.seconds, double(bestRun.peakKiB) / 1024.0);
    }
    return 0;
}
