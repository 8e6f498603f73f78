// Listing and flashing through dfu-util as the program sees it, with a
// scripted stand-in for dfu-util: what it prints, how it ends (exit code,
// crash, missing) and what arguments it was given. Then the choice of the
// firmware file and the trust in an override.
#include <RMDFUDevice.h>
#include <RMDFUUpdate.h>
#include <RMDFUUpdate_p.h>
#include <RMFirmwareFile.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Ending { Exit, Crash };

// A shell script standing in for dfu-util in a temporary directory: it
// records its arguments, prints `output` (in pieces at every "\x01", a
// moment apart, so that they arrive as separate reads), then exits with
// `exitCode` or crashes.
class StandIn
{
public:
    StandIn(const QByteArray& output, int exitCode, Ending ending = Ending::Exit)
    {
        const QList<QByteArray> pieces = output.split('\x01');
        QByteArray script = "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                            QFile::encodeName(dir.filePath("args")) + "'\n";
        for (int i = 0; i < pieces.size(); ++i) {
            const QString piece = dir.filePath(QStringLiteral("out%1").arg(i));
            write(piece, pieces[i]);
            if (i > 0)
                script += "sleep 0.2\n";
            script += "cat '" + QFile::encodeName(piece) + "'\n";
        }
        script += "echo 'stand-in complaint' >&2\n";
        if (ending == Ending::Crash)
            script += "kill -SEGV $$\n";
        script += "exit " + QByteArray::number(exitCode) + "\n";
        write(path(), script);
        QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString path() const { return dir.filePath(QStringLiteral("dfu-util")); }
    QStringList arguments() const
    {
        QFile f(dir.filePath(QStringLiteral("args")));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        lines.removeLast();
        return lines;
    }

private:
    static void write(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    QTemporaryDir dir;
};

const QByteArray LISTING_LINE =
    "Found DFU: [2b75:0003] ver=0100, devnum=9, cfg=1, intf=0, path=\"1-9\", alt=0, "
    "name=\"@Internal Flash  /0x00000000/128*002Kg\", serial=\"ZK1000009\"\n";

struct Outcome
{
    QList<int> progress;
    int successes = 0;
    int errors = 0;
};

// Runs one flash to its first ending, then lets a moment pass so that a
// second ending, if any, would be seen too.
void flash(const RMDFUDevice& device, const QString& file, Outcome& o)
{
    QScopedPointer<RMDFUUpdate> update(device.startUpdate(file, nullptr));
    QSignalSpy progress(update.data(), &RMDFUUpdate::progressChanged);
    QSignalSpy success(update.data(), &RMDFUUpdate::success);
    QSignalSpy error(update.data(), &RMDFUUpdate::error);
    QTRY_VERIFY_WITH_TIMEOUT(success.count() + error.count() > 0, 20000);
    QTest::qWait(300);
    for (const QList<QVariant>& args : progress)
        o.progress.append(args.at(0).toInt());
    o.successes = success.count();
    o.errors = error.count();
    if (o.successes)
        QCOMPARE(update->progress(), 100);
    QCOMPARE(update->isSuccess(), o.successes > 0);
    QCOMPARE(update->isError(), o.errors > 0);
}

} // namespace

Q_DECLARE_METATYPE(Ending)

class RMDFUDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void parseListing_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QStringList>("devices"); // vid:pid:serial each

        QTest::newRow("one device among the banner")
            << QByteArray("dfu-util 0.11\n\nCopyright ...\n\n" + LISTING_LINE)
            << QStringList{"2b75:0003:ZK1000009"};
        QTest::newRow("two printers in output order")
            << QByteArray(LISTING_LINE + QByteArray(LISTING_LINE).replace("ZK1000009", "B2"))
            << QStringList{"2b75:0003:ZK1000009", "2b75:0003:B2"};
        // The reader's rules are libtrel's (tests/link/DfuListingTest.cpp);
        // here only what this class adds: the dfu-util path, the texts.
    }
    void parseListing()
    {
        QFETCH(QByteArray, output);
        QFETCH(QStringList, devices);
        QStringList found;
        for (const RMDFUDevice& d :
             RMDFUDevice::parseListing(QStringLiteral("/x/dfu-util"), QString::fromUtf8(output))) {
            QCOMPARE(d.dfuUtilPath(), QStringLiteral("/x/dfu-util"));
            found << d.vid() + ':' + d.pid() + ':' + d.serial();
        }
        QCOMPARE(found, devices);
    }

    void listing_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<int>("devices");
        QTest::newRow("clean exit") << 0 << Ending::Exit << 1;
        QTest::newRow("error exit after a listing") << 1 << Ending::Exit << 0;
        QTest::newRow("crash after a listing") << 0 << Ending::Crash << 0;
    }
    void listing()
    {
        QFETCH(int, exitCode);
        QFETCH(Ending, ending);
        QFETCH(int, devices);
        StandIn standIn(LISTING_LINE, exitCode, ending);
        if (devices == 0)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("(?s)^Cannot start dfu-util! "
                                                    "Exit code:.*stand-in complaint"));
        const QList<RMDFUDevice> found = RMDFUDevice::connectedDevices(standIn.path()).result();
        QCOMPARE(found.size(), devices);
        QCOMPARE(standIn.arguments(), QStringList{"-l"});
        if (devices)
            QCOMPARE(found.first().dfuUtilPath(), standIn.path());
    }

    void listingWithoutDfuUtil()
    {
        QTest::ignoreMessage(QtWarningMsg, "Cannot start dfu-util for device list! Path: "
                                           "/nonexistent/dfu-util - Error: FailedToStart");
        QVERIFY(RMDFUDevice::connectedDevices(QStringLiteral("/nonexistent/dfu-util"))
                    .result()
                    .isEmpty());
    }

    void flashArgumentsReachDfuUtilWhole()
    {
        StandIn standIn("Download done.\n", 0);
        const RMDFUDevice device(standIn.path(), "2b75", "0003", "ZK1000009");
        const QString file = QStringLiteral("/tmp/a dir/it's \"$(touch pwned)\" `id`;.dfu");
        Outcome o;
        flash(device, file, o);
        QCOMPARE(o.successes, 1);
        QCOMPARE(standIn.arguments(), (QStringList{"-d", "2b75:0003", "-a", "0", "-s0x0:leave",
                                                   "-S", "ZK1000009", "-D", file}));
    }

    void flashOutcome_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<bool>("succeeds");

        QTest::newRow("progress lines, clean exit")
            << QByteArray("Download\t[=====     ]  45%        45056 bytes\x01"
                          "Download\t[==========]  100%       98304 bytes\nDownload done.\n")
            << 0 << Ending::Exit << QList<int>{45, 100} << true;
        QTest::newRow("a chunk with two percentages reports the first")
            << QByteArray("Erase 30% and then 60% \n") << 0 << Ending::Exit << QList<int>{30, 100}
            << true;
        QTest::newRow("error exit after Download done counts as success")
            << QByteArray(" 80% \nDownload done.\nTransitioning to dfuMANIFEST state\n"
                          "dfu-util: Error during download get_status\n")
            << 74 << Ending::Exit << QList<int>{80, 100} << true;
        QTest::newRow("clean exit without Download done counts as success")
            << QByteArray("nothing to see\n") << 0 << Ending::Exit << QList<int>{100} << true;
        QTest::newRow("error exit without Download done")
            << QByteArray("Erase [====] 45% \ndfu-util: Error during download\n") << 74
            << Ending::Exit << QList<int>{45} << false;
        QTest::newRow("Download done pushed out of the last 1024 bytes")
            << QByteArray("Download done.\n" + QByteArray(1100, '.')) << 1 << Ending::Exit
            << QList<int>{} << false;
        QTest::newRow("Download done just inside the last 1024 bytes")
            << QByteArray("Download done." + QByteArray(1010, '.')) << 1 << Ending::Exit
            << QList<int>{100} << true;
        QTest::newRow("crash after Download done fails, once")
            << QByteArray(" 100% \nDownload done.\n") << 0 << Ending::Crash << QList<int>{100}
            << false;
        QTest::newRow("garbage and an error exit")
            << QByteArray("\xff\xfe%%% -5% 12a% 99%x\n\x01\x00\x01%\n", 25) << 3 << Ending::Exit
            << QList<int>{} << false;
    }
    void flashOutcome()
    {
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);
        QFETCH(Ending, ending);
        QFETCH(QList<int>, progress);
        QFETCH(bool, succeeds);
        StandIn standIn(output, exitCode, ending);
        if (!succeeds && ending == Ending::Crash)
            QTest::ignoreMessage(QtWarningMsg,
                                 "Cannot start dfu-util for firmware update! Error: Crashed");
        else if (!succeeds)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^Firmware upgrade failed! dfu-util exit "
                                                    "code: [0-9]+ - Exit status: NormalExit "
                                                    "StdErr:\n stand-in complaint"));
        Outcome o;
        flash(RMDFUDevice(standIn.path(), "2b75", "0003", "ZK1"),
              QStringLiteral("/tmp/firmware.dfu"), o);
        QCOMPARE(o.progress, progress);
        QCOMPARE(o.successes, succeeds ? 1 : 0);
        QCOMPARE(o.errors, succeeds ? 0 : 1);
    }

    void flashWithoutDfuUtil()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             "Cannot start dfu-util for firmware update! Error: FailedToStart");
        Outcome o;
        flash(RMDFUDevice("/nonexistent/dfu-util", "2b75", "0003", "ZK1"),
              QStringLiteral("/tmp/firmware.dfu"), o);
        QCOMPARE(o.errors, 1);
        QCOMPARE(o.successes, 0);
    }

    void deletingARunningFlashStopsDfuUtil()
    {
        StandIn standIn(" 10% \x01 20% \x01 30% \x01 40% \x01 50% \x01 60% \n", 0);
        RMDFUUpdate* update =
            RMDFUDevice(standIn.path(), "2b75", "0003", "ZK1").startUpdate("/tmp/f.dfu", nullptr);
        QSignalSpy progress(update, &RMDFUUpdate::progressChanged);
        QVERIFY(progress.wait(5000));
        delete update; // no signal may reach the deleted handle
        QTest::qWait(300);
    }

    void outputTailKeepsTheLast1024Bytes_data()
    {
        QTest::addColumn<QList<int>>("chunks");
        QTest::newRow("less than full") << QList<int>{10, 20};
        QTest::newRow("exactly full") << QList<int>{1000, 24};
        QTest::newRow("wrapping") << QList<int>{1000, 100, 7};
        QTest::newRow("one huge chunk") << QList<int>{5000};
        QList<int> small;
        for (int i = 0; i < 700; ++i)
            small << 3;
        QTest::newRow("many small") << small;
    }
    void outputTailKeepsTheLast1024Bytes()
    {
        QFETCH(QList<int>, chunks);
        RMOutputTail tail;
        QByteArray all;
        char next = 0;
        for (int size : chunks) {
            QByteArray chunk;
            for (int i = 0; i < size; ++i)
                chunk.append(next++);
            tail.append(chunk);
            all += chunk;
        }
        QCOMPARE(tail.contents(), all.right(RMOutputTail::CAPACITY));
    }

    void trustedOverride_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<QString>("why");
        QTest::newRow("missing") << "none" << false << "";
        QTest::newRow("own, 0644") << "file 0644" << true << "";
        QTest::newRow("own, 0600, in a sticky shared directory")
            << "sticky file 0600" << true << "";
        QTest::newRow("writable by the group") << "file 0664" << false << "other users can write";
        QTest::newRow("writable by everyone") << "file 0666" << false << "other users can write";
        QTest::newRow("a link to an own file") << "link" << false << "symbolic link";
        QTest::newRow("a directory") << "dir" << false << "not a regular file";
        QTest::newRow("a named pipe") << "fifo" << false << "not a regular file";
        QTest::newRow("shared directory without sticky bit")
            << "open file 0644" << false << "replace files in its directory";
        if (::geteuid() == 0) { // only root can give files away
            QTest::newRow("another user's file")
                << "foreign file 0644" << false << "belongs to user id 4321";
            QTest::newRow("another user's sticky directory")
                << "foreign-sticky file 0644" << false << "replace files in its directory";
        }
    }
    void trustedOverride()
    {
        QFETCH(QString, setup);
        QFETCH(bool, trusted);
        QFETCH(QString, why);
        QTemporaryDir base(QStringLiteral("/tmp/zelk-override-XXXXXX"));
        const QString dir = base.path();
        const QString path = dir + QStringLiteral("/firmware_zelk_override.dfu");
        const QByteArray p = QFile::encodeName(path), d = QFile::encodeName(dir);
        const QStringList words = setup.split(' ');
        ::chmod(d.constData(), 0700);
        if (words.contains("sticky") || words.contains("foreign-sticky"))
            ::chmod(d.constData(), 01777);
        if (words.contains("open"))
            ::chmod(d.constData(), 0777);
        if (words.contains("file")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("image");
            f.close();
            ::chmod(p.constData(), static_cast<mode_t>(words.last().toInt(nullptr, 8)));
        } else if (words.contains("link")) {
            QFile f(dir + "/real.dfu");
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.close();
            QVERIFY(QFile::link(dir + "/real.dfu", path));
        } else if (words.contains("dir")) {
            QVERIFY(QDir().mkdir(path));
        } else if (words.contains("fifo")) {
            QCOMPARE(::mkfifo(p.constData(), 0600), 0);
        }
        if (words.contains("foreign"))
            QCOMPARE(::chown(p.constData(), 4321, 4321), 0);
        if (words.contains("foreign-sticky"))
            QCOMPARE(::chown(d.constData(), 4321, 4321), 0);

        QString reason;
        QCOMPARE(RMFirmwareFile::isTrustedOverride(path, &reason), trusted);
        if (why.isEmpty())
            QVERIFY2(reason.isEmpty(), qPrintable(reason));
        else
            QVERIFY2(reason.contains(why), qPrintable(reason));

        // The choice follows, and says why an override was passed over.
        const QString bundled = RMFirmwareFile::bundledPath(QStringLiteral("/opt/zelk/bin"));
        QCOMPARE(bundled, QStringLiteral("/opt/zelk/bin/../Resources/firmware.dfu"));
        if (!why.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Ignoring firmware override "
                                                                  "file .* because .*" +
                                                                  QRegularExpression::escape(why)));
        QCOMPARE(RMFirmwareFile::choose(QStringLiteral("/opt/zelk/bin"), path),
                 trusted ? path : bundled);
        ::chmod(d.constData(), 0700);
    }
};

QTEST_GUILESS_MAIN(RMDFUDeviceTest)
#include "RMDFUDeviceTest.moc"
