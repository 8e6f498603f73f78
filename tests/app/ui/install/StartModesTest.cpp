// The start modes as main() calls them: which argument starts a self-update,
// what the hand-over copies, refuses and starts, the update confirmation and
// the installation mode. Scratch home and bundles; message boxes are answered
// by the test.
#include "TestFiles.h"

#include <StartModes.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

using zelktest::addInstallHelper;
using zelktest::readFile;
using zelktest::writeFile;

namespace {

// A bundle whose program writes the arguments it was started with to record.
bool makeBundle(const QString& dir, const QByteArray& marker, const QString& record)
{
    return writeFile(dir + "/Contents/bin/zelk",
                     "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record.toLocal8Bit() + ".part'\n" +
                         "mv '" + record.toLocal8Bit() + ".part' '" + record.toLocal8Bit() + "'\n",
                     true) &&
           writeFile(dir + "/Contents/Resources/marker", marker) && addInstallHelper(dir);
}

// The next application-modal message box, answered with OK.
struct SeenBox
{
    bool seen = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
};

// Answers every application-modal message box with OK, recording the last.
QTimer* answerBoxes(SeenBox* seen)
{
    auto* poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, [seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        seen->seen = true;
        seen->icon = box->icon();
        seen->title = box->windowTitle();
        seen->text = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    poll->start();
    return poll;
}

} // namespace

class StartModesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QString work;
    QString helperLog;
    SeenBox box;
    QTimer* boxes = nullptr;

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toLocal8Bit());
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName("Zelk printer tool");
        StartModes::setRetryInterval(1);
    }

    void init()
    {
        static int n = 0;
        work = home.path() + QString("/t%1").arg(++n);
        QVERIFY(QDir().mkpath(work));
        helperLog = work + "/helper.log";
        const QString helper = work + "/helper";
        QVERIFY(writeFile(helper,
                          "#!/bin/sh\necho used > '" + helperLog.toLocal8Bit() + "'\nexec \"$@\"\n",
                          true));
        Installer::setPrivilegeHelper(helper);
        Installer::setPackagedInstallHelper(work + "/no-package/zelk-install");
        Installer::setUdevRulesDirectory(work + "/rules.d");
        box = SeenBox();
        boxes = answerBoxes(&box);
    }

    void cleanup()
    {
        delete boxes;
        boxes = nullptr;
    }

    void updateTarget_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("target");
        QTest::newRow("none") << QStringList{"zelk"} << "";
        QTest::newRow("no arguments at all") << QStringList{} << "";
        QTest::newRow("a path") << QStringList{"zelk", "--update=/opt/zelk"} << "/opt/zelk";
        QTest::newRow("nothing after it") << QStringList{"zelk", "--update="} << "";
        QTest::newRow("an empty one is skipped")
            << QStringList{"zelk", "--update=", "--update=/b"} << "/b";
        QTest::newRow("the first one wins")
            << QStringList{"zelk", "--update=/a", "--update=/b"} << "/a";
        QTest::newRow("the executable's own path takes part")
            << QStringList{"--update=/x", "--silent"} << "/x";
        QTest::newRow("case matters") << QStringList{"zelk", "--UPDATE=/a"} << "";
        QTest::newRow("prefix only") << QStringList{"zelk", "x--update=/a", "-update=/a"} << "";
        QTest::newRow("among others")
            << QStringList{"zelk", "--silent", "--update=/home/ada/My Apps/zelk=1", "--pos=1x1"}
            << "/home/ada/My Apps/zelk=1";
        QTest::newRow("the confirmation is not an update")
            << QStringList{"zelk", "--updated"} << "";
    }
    void updateTarget()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, target);
        QCOMPARE(StartModes::updateTarget(arguments), target);
    }

    void handOverReplacesAndStarts()
    {
        const QString record = work + "/started";
        const QString source = work + "/zelk-update-x/Zelk printer tool";
        const QString target = work + "/lib/zelk";
        QVERIFY(makeBundle(source, "new", record));
        QVERIFY(makeBundle(target, "old", work + "/old-program-ran"));

        const StartModes::HandOver result = StartModes::handOver(target + "/", source);
        QCOMPARE(result.exitCode, -1);
        QVERIFY(result.copied);
        QVERIFY(result.started);
        QCOMPARE(result.startAttempts, 1);
        QVERIFY(!box.seen);
        QCOMPARE(readFile(target + "/Contents/Resources/marker"), QByteArray("new"));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(record), QByteArray("--updated\n"), 10000);
        QVERIFY(!QFile::exists(work + "/old-program-ran"));
        // The user's own installation is replaced with the user's rights.
        QVERIFY(!QFile::exists(helperLog));
    }

    // An installation the user does not own is replaced with administrator
    // rights, through the privilege helper.
    void handOverToAnotherOwnersInstallation()
    {
        const QString record = work + "/started";
        const QString source = work + "/unpacked/Zelk printer tool";
        const QString parent = work + "/opt";
        const QString target = parent + "/zelk";
        QVERIFY(makeBundle(source, "new", record));
        QVERIFY(makeBundle(target, "old", record));
        const bool root = ::getuid() == 0;
        if (root)
            QCOMPARE(::chown(QFile::encodeName(target).constData(), 65534, 65534), 0);
        else
            QVERIFY(QFile::setPermissions(parent, QFileDevice::ReadOwner | QFileDevice::ExeOwner));

        const StartModes::HandOver result = StartModes::handOver(target, source);
        QFile::setPermissions(parent, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner);
        QVERIFY(QFile::exists(helperLog));
        QCOMPARE(result.exitCode, -1);
        // Only root can play the administrator here: for anybody else the
        // stand-in grants nothing, the user copy fails too, and that is said.
        QCOMPARE(result.copied, root);
        QCOMPARE(box.seen, !root);
        if (root)
            QTRY_COMPARE_WITH_TIMEOUT(readFile(record), QByteArray("--updated\n"), 10000);
        QApplication::processEvents();
    }

    // "--update=" names what is deleted and replaced: only an installation
    // of this program, never anything else, however it is written.
    void handOverRefusesWhatIsNoInstallation_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("root") << "/";
        QTest::newRow("root, spelled otherwise") << "/tmp/../";
        QTest::newRow("home") << "HOME";
        QTest::newRow("above home") << "ABOVEHOME";
        QTest::newRow("someone's documents") << "documents";
        QTest::newRow("a file") << "documents/letter.txt";
        QTest::newRow("missing") << "nowhere";
        QTest::newRow("relative") << "REL:lib/zelk";
    }
    void handOverRefusesWhatIsNoInstallation()
    {
        QFETCH(QString, target);
        if (target == "HOME") {
            target = home.path();
            // Even a home that happens to hold a program of that name.
            QVERIFY(makeBundle(home.path(), "home", work + "/x"));
        } else if (target == "ABOVEHOME") {
            target = QFileInfo(home.path()).absolutePath();
        } else if (target.startsWith("REL:")) {
            target = target.mid(4);
        } else if (!target.startsWith('/')) {
            target = work + "/" + target;
        }
        const QString record = work + "/started";
        QVERIFY(makeBundle(work + "/source", "new", record));
        QVERIFY(writeFile(work + "/documents/letter.txt", "Dear printer,"));

        const StartModes::HandOver result = StartModes::handOver(target, work + "/source");
        QDir(home.path() + "/Contents").removeRecursively();
        QCOMPARE(result.exitCode, -1);
        QVERIFY(!result.copied);
        QCOMPARE(result.startAttempts, 0);
        QVERIFY(box.seen);
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.title, QString("Zelk printer tool"));
        QCOMPARE(box.text, QString("The update failed. Please install the application again."));
        QCOMPARE(readFile(work + "/documents/letter.txt"), QByteArray("Dear printer,"));
        QVERIFY(!QFile::exists(helperLog));
        QVERIFY(!QFile::exists(record));
    }

    void handOverFromSomethingThatIsNoBundle()
    {
        const QString target = work + "/lib/zelk";
        QVERIFY(makeBundle(target, "old", work + "/started"));
        QVERIFY(QDir().mkpath(work + "/empty"));
        const StartModes::HandOver result = StartModes::handOver(target, work + "/empty");
        QVERIFY(!result.copied);
        QVERIFY(box.seen);
        QCOMPARE(readFile(target + "/Contents/Resources/marker"), QByteArray("old"));
    }

    // A copy that cannot be started is tried ten times, silently.
    void handOverGivesUpStartingAfterTenAttempts()
    {
        const QString source = work + "/source";
        const QString target = work + "/lib/zelk";
        QVERIFY(makeBundle(target, "old", work + "/started"));
        QVERIFY(writeFile(source + "/Contents/bin/zelk", "#!/nonexistent/interpreter\n", true));
        QVERIFY(addInstallHelper(source));
        const StartModes::HandOver result = StartModes::handOver(target, source);
        QCOMPARE(result.exitCode, -1);
        QVERIFY(result.copied);
        QVERIFY(!result.started);
        QCOMPARE(result.startAttempts, 10);
        QTest::qWait(100);
        QVERIFY(!box.seen);
        QApplication::processEvents();
    }

    void confirmation()
    {
        QVERIFY(!StartModes::confirmUpdate({"zelk", "--silent", "--update="}));
        QTest::qWait(100);
        QVERIFY(!box.seen);

        QVERIFY(StartModes::confirmUpdate({"zelk", "--updated"}));
        QVERIFY(box.seen);
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.title, QString("Zelk printer tool"));
        QCOMPARE(box.text, QString("The Zelk software has been updated correctly."));
    }

    void installationMode_data()
    {
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("installing");
        const QStringList plain{"zelk"};
        QTest::newRow("unpacked installer")
            << "/home/ada/Downloads/Install Zelk printer tool" << plain << true;
        QTest::newRow("any name beginning so") << "/tmp/Installer" << plain << true;
        QTest::newRow("trailing slash") << "/tmp/Install Zelk/" << plain << true;
        QTest::newRow("installed") << "/opt/zelk" << plain << false;
        QTest::newRow("lower case") << "/tmp/install zelk" << plain << false;
        QTest::newRow("only a parent so named") << "/tmp/Install/zelk" << plain << false;
        QTest::newRow("asked for") << "/opt/zelk" << QStringList{"zelk", "--install"} << true;
        QTest::newRow("asked for wrongly")
            << "/opt/zelk" << QStringList{"zelk", "--install=yes", "--INSTALL"} << false;
    }
    void installationMode()
    {
        QFETCH(QString, bundle);
        QFETCH(QStringList, arguments);
        QFETCH(bool, installing);
        QCOMPARE(StartModes::isInstallationMode(arguments, bundle), installing);
    }

    void theBuildTreeStartsNormally() { QVERIFY(!StartModes::isInstallationMode({"zelk"})); }
};

QTEST_MAIN(StartModesTest)
#include "StartModesTest.moc"
