// The optimize-before-upload step: the optimized copy in a temporary file on
// success, and on every failure a reason and nothing left behind.
#include <RMOptimizeTask.h>
#include <RMOptimizedFile.h>

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

class RMOptimizedFileTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void optimizesIntoATemporaryFile_data();
    void optimizesIntoATemporaryFile();

private:
    QByteArray savedTmpdir;
    std::unique_ptr<QTemporaryDir> temp;
    QStringList leftovers() const
    {
        return QDir(temp->path()).entryList({"zelk-*.gcode"}, QDir::Files);
    }
};

void RMOptimizedFileTest::init()
{
    // The temporary files are made where TMPDIR says: a directory of ours, so
    // that what is left behind can be counted.
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    savedTmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", temp->path().toLocal8Bit());
}

void RMOptimizedFileTest::cleanup()
{
    qputenv("TMPDIR", savedTmpdir);
    temp.reset();
}

void RMOptimizedFileTest::optimizesIntoATemporaryFile_data()
{
    QTest::addColumn<QByteArray>("input"); // null: no such file
    QTest::addColumn<int>("failure");
    QTest::addColumn<QByteArray>("start"); // of the optimized copy

    const QByteArray square = "G1 X0 Y0\nG1 X10 Y0\nG1 X20 Y0\n";
    QTest::newRow("optimized") << square << int(RMOptimizedFile::NoFailure)
                               << QByteArray("; Optimized with Corvane optimizer (c++)\n");
    QTest::newRow("no input") << QByteArray() << int(RMOptimizedFile::InputUnreadable)
                              << QByteArray();
    // The pass fails half-way: its partial output must go.
    QTest::newRow("optimizer fails")
        << QByteArray(square + "G1 X1 ; " + QByteArray(RMOptimizeTask::MaxLineLength + 16, 'x') +
                      "\n")
        << int(RMOptimizedFile::OptimizerFailed) << QByteArray();
}

void RMOptimizedFileTest::optimizesIntoATemporaryFile()
{
    QFETCH(QByteArray, input);
    QFETCH(int, failure);
    QFETCH(QByteArray, start);

    QTemporaryDir sources;
    const QString path = sources.filePath("part.gcode");
    if (!input.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(input);
    }

    RMOptimizedFile step(path);
    // As the window does it: the caller runs the pass, then finishes.
    if (RMOptimizeTask* task = step.task()) {
        QCOMPARE(step.inputSize(), qint64(input.size()));
        task->optimize();
    }
    std::unique_ptr<QTemporaryFile> made = step.finish();
    QCOMPARE(int(step.failure()), failure);
    QCOMPARE(step.errorString().isEmpty(), failure == RMOptimizedFile::NoFailure);
    QVERIFY(!step.finish()); // handed over once, or never
    if (failure != RMOptimizedFile::NoFailure) {
        QVERIFY(!made);
        QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(' ')));
        return;
    }
    QVERIFY(made && !made->isOpen());
    // Asking for its name gives the file one (Qt may make it unnamed).
    const QString name = made->fileName();
    QCOMPARE(leftovers(), QStringList{QFileInfo(name).fileName()});
    QFile copy(name);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QVERIFY(copy.readAll().startsWith(start));
    made.reset(); // the upload is over
    QVERIFY(leftovers().isEmpty());
}

QTEST_GUILESS_MAIN(RMOptimizedFileTest)
#include "RMOptimizedFileTest.moc"
