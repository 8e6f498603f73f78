// zelkctl run as a child process: the optimize subcommand's output, summary,
// exit status and failures (no output file appears unless it is complete,
// nothing but a regular file is replaced), and the subcommand table's usage
// and help.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run zelkctl(const QStringList& arguments, const QString& shellPrefix = QString())
{
    QProcess p;
    if (shellPrefix.isEmpty()) {
        p.start(QStringLiteral(ZELKCTL), arguments);
    } else {
        QStringList quoted;
        for (const QString& a : arguments)
            quoted << QLatin1Char('\'') + a + QLatin1Char('\'');
        p.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), shellPrefix + QStringLiteral(" exec '") +
                                           QStringLiteral(ZELKCTL) + QStringLiteral("' ") +
                                           quoted.join(QLatin1Char(' '))});
    }
    if (!p.waitForFinished(60000))
        qFatal("zelkctl did not finish");
    Run r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QByteArray WorkedExample = "; sliced part\n"
                                 "G28\n"
                                 "G1 X0 Y0 Z0.3 F1200\n"
                                 "G1 X10 Y0 E1 F1800\n"
                                 "G1 X20 Y0.05 E2\n"
                                 "G1 X30 Y0 E3\n"
                                 "G1 X30 Y10 E4\n"
                                 "G1 X30 Y20 E5 ; edge\n"
                                 "\n"
                                 "M107\n";

} // namespace

class ZelkctlTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        dir.reset(new QTemporaryDir); // each test starts in an empty directory
        QVERIFY(dir->isValid());
    }
    void optimizesWorkedExample();
    void replacesExistingOutput();
    void failures_data();
    void failures();
    void writeFailureLeavesNoFile();
    void refusesNonRegularOutput();
    void usage_data();
    void usage();

private:
    QString path(const QString& name) const { return dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> dir;
};

void ZelkctlTest::optimizesWorkedExample()
{
    writeFile(path(QStringLiteral("in.gcode")), WorkedExample);
    const Run r = zelkctl({QStringLiteral("optimize"), path(QStringLiteral("in.gcode")),
                           path(QStringLiteral("out.gcode"))});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(path(QStringLiteral("out.gcode"))),
             QByteArray("; Optimized with Corvane optimizer (c++)\n"
                        "; sliced part\n"
                        "G28\n"
                        "G1 F1200 X0 Y0 Z0.3\n"
                        "G1 F1800 X30 Y0 E3\n"
                        "G1 X30 Y20 E5\n"
                        "M107\n"));
    QVERIFY(r.out.isEmpty());
    // One summary line: bytes and moves in and out, time, rate.
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^zelkctl optimize: 127 -> 117 bytes, 6 -> 3 moves \\(50.0% "
                                "removed\\), [0-9.]+ s, [0-9.]+ MB/s\n$"))
                 .match(QString::fromUtf8(r.err))
                 .hasMatch(),
             r.err.constData());
    // Nothing else is left in the directory.
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void ZelkctlTest::replacesExistingOutput()
{
    writeFile(path(QStringLiteral("in.gcode")), "M107\n");
    writeFile(path(QStringLiteral("out.gcode")), "old");
    const Run r = zelkctl({QStringLiteral("optimize"), path(QStringLiteral("in.gcode")),
                           path(QStringLiteral("out.gcode"))});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(path(QStringLiteral("out.gcode"))),
             QByteArray("; Optimized with Corvane optimizer (c++)\nM107\n"));
}

void ZelkctlTest::failures_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing input") << "missing.gcode"
                                   << "out.gcode"
                                   << "cannot read";
    QTest::newRow("input is a directory") << "."
                                          << "out.gcode"
                                          << "cannot read";
    QTest::newRow("output directory missing") << "in.gcode"
                                              << "no/such/dir/out.gcode"
                                              << "cannot write";
    QTest::newRow("output under a file") << "in.gcode"
                                         << "in.gcode/out.gcode"
                                         << "cannot write";
    QTest::newRow("output is a directory") << "in.gcode"
                                           << "."
                                           << "not a regular file";
}

void ZelkctlTest::failures()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, message);
    writeFile(path(QStringLiteral("in.gcode")), WorkedExample);
    writeFile(path(QStringLiteral("out.gcode")), "old");
    const Run r = zelkctl({QStringLiteral("optimize"), path(input), path(output)});
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.startsWith("zelkctl optimize: ") && r.err.contains(message.toUtf8()),
             r.err.constData());
    // The existing output is untouched and no temporary file is left.
    QCOMPARE(readFile(path(QStringLiteral("out.gcode"))), QByteArray("old"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void ZelkctlTest::writeFailureLeavesNoFile()
{
    // A file size limit makes writes fail part-way, as a full disk does.
    QByteArray input;
    while (input.size() < 4 * 1024 * 1024)
        input += "M117 a line of text that the optimizer copies as it stands\n";
    writeFile(path(QStringLiteral("in.gcode")), input);
    const Run r = zelkctl({QStringLiteral("optimize"), path(QStringLiteral("in.gcode")),
                           path(QStringLiteral("out.gcode"))},
                          QStringLiteral("trap '' XFSZ; ulimit -f 2048;"));
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.contains("Could not write the optimized G-code") ||
                 r.err.contains("cannot write"),
             r.err.constData());
    QVERIFY(!QFile::exists(path(QStringLiteral("out.gcode"))));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void ZelkctlTest::refusesNonRegularOutput()
{
    // Renaming over a pipe (or, as root, over /dev/null) would replace it.
    writeFile(path(QStringLiteral("in.gcode")), WorkedExample);
    const QByteArray fifo = QFile::encodeName(path(QStringLiteral("fifo")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const Run r = zelkctl({QStringLiteral("optimize"), path(QStringLiteral("in.gcode")),
                           path(QStringLiteral("fifo"))});
    QCOMPARE(r.exitCode, 4);
    QVERIFY(r.err.contains("not a regular file"));
    struct stat st;
    QCOMPARE(::stat(fifo.constData(), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
}

void ZelkctlTest::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutHas");
    QTest::addColumn<QString>("stderrHas");
    QTest::newRow("no arguments") << QStringList() << 2 << ""
                                  << "usage: zelkctl SUBCOMMAND";
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "optimize INPUT OUTPUT"
                            << "";
    QTest::newRow("help optimize")
        << QStringList{"help", "optimize"} << 0 << "usage: zelkctl optimize INPUT OUTPUT"
        << "";
    QTest::newRow("optimize --help") << QStringList{"optimize", "--help"} << 0 << "temporary file"
                                     << "";
    QTest::newRow("unknown subcommand") << QStringList{"frobnicate"} << 2 << ""
                                        << "unknown subcommand 'frobnicate'";
    QTest::newRow("too few arguments") << QStringList{"optimize", "a"} << 2 << ""
                                       << "usage: zelkctl optimize INPUT OUTPUT";
    QTest::newRow("too many arguments") << QStringList{"optimize", "a", "b", "c"} << 2 << ""
                                        << "optimize takes INPUT OUTPUT";
    QTest::newRow("unknown option") << QStringList{"optimize", "--fast", "a", "b"} << 2 << ""
                                    << "unknown option '--fast'";
}

void ZelkctlTest::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutHas);
    QFETCH(QString, stderrHas);
    const Run r = zelkctl(arguments);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.out.contains(stdoutHas.toUtf8()), r.out.constData());
    QVERIFY2(r.err.contains(stderrHas.toUtf8()), r.err.constData());
}

QTEST_GUILESS_MAIN(ZelkctlTest)
#include "ZelkctlTest.moc"
