// Installing by copy, unpacking updates and the desktop entries, in scratch
// directories: a throw-away home, QStandardPaths' test mode, and stand-ins
// for the privilege helper (no pkexec asks anybody for a password here) and
// for the tools the copy runs, to make it fail at chosen steps.
#include "TestFiles.h"

#include <Installer.h>

#include <QCoreApplication>
#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using zelktest::addInstallHelper;
using zelktest::readFile;
using zelktest::writeFile;

namespace {

// A bundle as the build installs it, small: the program, a versioned library
// behind its link, and resources whose "marker" tells copies apart.
bool makeBundle(const QString& dir, const QByteArray& marker)
{
    const QString contents = dir + "/Contents";
    return writeFile(contents + "/bin/zelk", "#!/bin/sh\nexit 0\n", true) &&
           writeFile(contents + "/lib/libtrel.so.1.5.5", "library " + marker) &&
           QFile::link("libtrel.so.1.5.5", contents + "/lib/libtrel.so.1") &&
           writeFile(contents + "/Resources/marker", marker) &&
           writeFile(contents + "/Resources/70-zelk.rules", "# rule\n") && addInstallHelper(dir);
}

// Everything under dir, as relative paths, for "nothing changed" checks.
QStringList tree(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

// Half-made copies and moved-aside installations beside a destination.
QStringList leftovers(const QString& destination)
{
    const QFileInfo info(destination);
    return QDir(info.absolutePath())
        .entryList({info.fileName() + ".new-*", info.fileName() + ".old-*"},
                   QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

QString validate(const QString& entry)
{
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start("desktop-file-validate", {entry});
    if (!validator.waitForFinished(30000))
        return "desktop-file-validate did not run";
    if (validator.exitCode() != 0)
        return QString::fromLocal8Bit(validator.readAll());
    return QString();
}

bool packagedRuleInstalled()
{
    return QFile::exists("/usr/lib/udev/rules.d/70-zelk.rules") ||
           QFile::exists("/lib/udev/rules.d/70-zelk.rules");
}

} // namespace

class InstallerTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QString work;   // per test, under home
    QString helper; // stand-in for pkexec: records its use, then runs the command
    QString helperLog;
    QByteArray searchPath; // PATH as the test started

    void useFailingTool(const QString& tool, const QByteArray& pattern)
    {
        const QString bin = work + "/fakebin";
        QVERIFY(writeFile(bin + "/" + tool,
                          "#!/bin/sh\nfor a in \"$@\"; do case $a in " + pattern +
                              ") exit 1;; esac; done\nexec /bin/" + tool.toLatin1() + " \"$@\"\n",
                          true));
        qputenv("PATH", bin.toLocal8Bit() + ":" + searchPath);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toLocal8Bit());
        QStandardPaths::setTestModeEnabled(true);
        searchPath = qgetenv("PATH");
        QVERIFY2(!QStandardPaths::findExecutable("desktop-file-validate").isEmpty(),
                 "desktop-file-validate is missing (scripts/setup-deps installs it)");
        QVERIFY2(!QStandardPaths::findExecutable("bzip2").isEmpty(),
                 "bzip2 is missing (scripts/setup-deps installs it)");
    }

    void init()
    {
        static int n = 0;
        work = home.path() + QString("/t%1").arg(++n);
        QVERIFY(QDir().mkpath(work));
        helperLog = work + "/helper.log";
        helper = work + "/helper";
        QVERIFY(writeFile(
            helper, "#!/bin/sh\necho \"$@\" > '" + helperLog.toLocal8Bit() + "'\nexec \"$@\"\n",
            true));
        Installer::setPrivilegeHelper(helper);
        Installer::setPackagedInstallHelper(work + "/no-package/zelk-install");
        Installer::setUdevRulesDirectory(work + "/rules.d");
        qputenv("TMPDIR", work.toLocal8Bit());
    }

    void cleanup() { qputenv("PATH", searchPath); }

    void isInstallation_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("expected");
        QTest::newRow("a bundle") << "bundle" << true;
        QTest::newRow("a bundle, trailing slash") << "bundle/" << true;
        QTest::newRow("an empty folder") << "empty" << false;
        QTest::newRow("a missing folder") << "missing" << false;
        QTest::newRow("a bundle's program") << "bundle/Contents/bin/zelk" << false;
        QTest::newRow("relative") << "REL:bundle" << false;
        QTest::newRow("empty path") << "REL:" << false;
        QTest::newRow("root") << "ABS:/" << false;
        QTest::newRow("root, spelled otherwise") << "ABS:/tmp/.." << false;
        QTest::newRow("home, even holding the program") << "HOME" << false;
        QTest::newRow("home through a link") << "homelink" << false;
        QTest::newRow("above home") << "ABOVEHOME" << false;
    }
    void isInstallation()
    {
        QFETCH(QString, path);
        QFETCH(bool, expected);
        QVERIFY(makeBundle(work + "/bundle", "b"));
        QVERIFY(QDir().mkpath(work + "/empty"));
        QVERIFY(writeFile(home.path() + "/Contents/bin/zelk", "#!/bin/sh\n", true));
        QVERIFY(QFile::link(home.path(), work + "/homelink"));
        QString full;
        if (path.startsWith("REL:"))
            full = path.mid(4);
        else if (path.startsWith("ABS:"))
            full = path.mid(4);
        else if (path == "HOME")
            full = home.path();
        else if (path == "ABOVEHOME")
            full = QFileInfo(home.path()).absolutePath();
        else
            full = work + "/" + path;
        QCOMPARE(Installer::isInstallation(full), expected);
        QFile::remove(home.path() + "/Contents/bin/zelk");
    }

    void systemCopy_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::addColumn<bool>("packaged"); // the system has the package's install helper
        QTest::newRow("fresh") << false << false;
        QTest::newRow("over an installation") << true << false;
        QTest::newRow("the package's helper") << false << true;
    }
    void systemCopy()
    {
        QFETCH(bool, replace);
        QFETCH(bool, packaged);
        const QString source = work + "/Install Zelk printer tool";
        const QString destination = work + "/opt/zelk";
        QVERIFY(makeBundle(source, "new"));
        if (replace) {
            QVERIFY(makeBundle(destination, "old"));
            QVERIFY(writeFile(destination + "/Contents/Resources/stale", "gone after the copy"));
        }
        const QString package = work + "/usr/lib/zelk";
        if (packaged) {
            QVERIFY(addInstallHelper(package));
            Installer::setPackagedInstallHelper(package + "/Contents/bin/zelk-install");
        }

        QVERIFY(copyToSystem(QDir(source), QDir(destination)));
        QVERIFY2(QFile::exists(helperLog), "the copy did not go through the privilege helper");
        // The password dialog names the program that pkexec runs: it was
        // /bin/sh. The package's helper, which its polkit action names, only
        // when it is root's alone (CI runs as root).
        const QString program =
            (packaged && ::geteuid() == 0 ? package : source) + "/Contents/bin/zelk-install";
        QCOMPARE(Installer::systemInstallHelper(source), program);
        QVERIFY2(readFile(helperLog).startsWith((program + " " + source + " ").toLocal8Bit()),
                 readFile(helperLog).constData());
        QCOMPARE(tree(destination), tree(source));
        QCOMPARE(readFile(destination + "/Contents/Resources/marker"), QByteArray("new"));
        QVERIFY(QFileInfo(destination + "/Contents/lib/libtrel.so.1").isSymLink());
        QVERIFY(QFileInfo(destination + "/Contents/bin/zelk").isExecutable());
        QCOMPARE(leftovers(destination), QStringList());
        // The rule that lets the user open the printer, unless the system has
        // the packaged one.
        QCOMPARE(QFile::exists(work + "/rules.d/70-zelk.rules"), !packagedRuleInstalled());
    }

    void refusedRights_data()
    {
        QTest::addColumn<QString>("helperKind");
        QTest::newRow("password dialog dismissed") << "exit 126";
        QTest::newRow("not authorised") << "exit 127";
        QTest::newRow("no helper installed") << "missing";
        QTest::newRow("no helper at all") << "";
    }
    void refusedRights()
    {
        QFETCH(QString, helperKind);
        if (helperKind == "missing") {
            Installer::setPrivilegeHelper(work + "/no-such-helper");
        } else if (helperKind.isEmpty()) {
            Installer::setPrivilegeHelper(QString());
        } else {
            QVERIFY(writeFile(helper, "#!/bin/sh\n" + helperKind.toLatin1() + "\n", true));
        }
        const QString source = work + "/source";
        const QString destination = work + "/opt/zelk";
        QVERIFY(makeBundle(source, "new"));
        QVERIFY(makeBundle(destination, "old"));
        const QStringList before = tree(destination);

        QVERIFY(!copyToSystem(QDir(source), QDir(destination)));
        QCOMPARE(tree(destination), before);
        QCOMPARE(readFile(destination + "/Contents/Resources/marker"), QByteArray("old"));
        QVERIFY(!QFile::exists(work + "/rules.d/70-zelk.rules"));

        // Where the rights are refused the user's own copy still works.
        const QString user = work + "/home/.local/lib/zelk";
        QVERIFY(copyToUser(QDir(source), QDir(user)));
        QCOMPARE(readFile(user + "/Contents/Resources/marker"), QByteArray("new"));
    }

    void userCopy()
    {
        const QString source = work + "/source";
        const QString destination = work + "/local/lib/zelk";
        QVERIFY(makeBundle(source, "one"));
        QVERIFY(copyToUser(QDir(source), QDir(destination)));
        QCOMPARE(tree(destination), tree(source));

        // An update replaces it whole.
        QVERIFY(writeFile(destination + "/Contents/Resources/stale", "x"));
        QVERIFY(QDir(source).removeRecursively());
        QVERIFY(makeBundle(source, "two"));
        QVERIFY(copyToUser(QDir(source), QDir(destination)));
        QCOMPARE(tree(destination), tree(source));
        QCOMPARE(readFile(destination + "/Contents/Resources/marker"), QByteArray("two"));
        QVERIFY(!QFile::exists(helperLog));
        QVERIFY(!QFile::exists(work + "/rules.d/70-zelk.rules"));
        QCOMPARE(leftovers(destination), QStringList());
    }

    // Nothing but an installation of ours is ever replaced, whatever the
    // caller passes; the helper is not even asked.
    void guardedCopies_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("destination");
        QTest::newRow("root") << "source"
                              << "ABS:/";
        QTest::newRow("home") << "source"
                              << "HOME";
        QTest::newRow("above home") << "source"
                                    << "ABOVEHOME";
        QTest::newRow("a folder of other things") << "source"
                                                  << "documents";
        QTest::newRow("a file") << "source"
                                << "documents/letter.txt";
        QTest::newRow("relative") << "source"
                                  << "REL:zelk";
        QTest::newRow("onto itself") << "source"
                                     << "source";
        QTest::newRow("into itself") << "source"
                                     << "source/Contents/zelk";
        QTest::newRow("over its own folder") << "outer/inner"
                                             << "outer";
        QTest::newRow("from something that is no bundle") << "documents"
                                                          << "opt/zelk";
    }
    void guardedCopies()
    {
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QVERIFY(makeBundle(work + "/source", "new"));
        QVERIFY(makeBundle(work + "/outer/inner", "new"));
        QVERIFY(writeFile(work + "/outer/Contents/bin/zelk", "#!/bin/sh\n", true));
        QVERIFY(writeFile(work + "/documents/letter.txt", "Dear printer,"));
        auto resolve = [this](const QString& p) -> QString {
            if (p.startsWith("ABS:") || p.startsWith("REL:"))
                return p.mid(4);
            if (p == "HOME")
                return home.path();
            if (p == "ABOVEHOME")
                return QFileInfo(home.path()).absolutePath();
            return work + "/" + p;
        };
        const QString from = resolve(source), to = resolve(destination);
        const QStringList before = tree(work);

        QVERIFY(!copyToSystem(QDir(from), QDir(to)));
        QVERIFY(!copyToUser(QDir(from), QDir(to)));
        QVERIFY(!QFile::exists(helperLog));
        QCOMPARE(tree(work), before);
    }

    // A copy that fails part-way leaves the previous installation in place
    // and nothing half-made beside it.
    void failedCopyKeepsThePrevious_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QByteArray>("failOn");
        QTest::newRow("copying fails") << "cp" << QByteArray("*");
        QTest::newRow("moving the old one aside fails") << "mv" << QByteArray("*.old-*");
        QTest::newRow("moving the new one in fails") << "mv" << QByteArray("*.new-*");
    }
    void failedCopyKeepsThePrevious()
    {
        QFETCH(QString, tool);
        QFETCH(QByteArray, failOn);
        const QString source = work + "/source";
        const QString destination = work + "/lib/zelk";
        QVERIFY(makeBundle(source, "new"));
        QVERIFY(makeBundle(destination, "old"));
        const QStringList before = tree(destination);
        useFailingTool(tool, failOn);

        QVERIFY(!copyToUser(QDir(source), QDir(destination)));
        QVERIFY(!copyToSystem(QDir(source), QDir(destination)));
        QCOMPARE(tree(destination), before);
        QCOMPARE(readFile(destination + "/Contents/Resources/marker"), QByteArray("old"));
        QCOMPARE(leftovers(destination), QStringList());
    }

    void runInstallerStartsTheUnpackedProgram()
    {
        // The update: one bundle whose program writes down how it was started.
        const QString stage = work + "/stage";
        const QString record = work + "/started-with";
        QVERIFY(makeBundle(stage + "/Zelk printer tool", "update"));
        QVERIFY(writeFile(stage + "/Zelk printer tool/Contents/bin/zelk",
                          "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record.toLocal8Bit() +
                              ".part'\n"
                              "mv '" +
                              record.toLocal8Bit() + ".part' '" + record.toLocal8Bit() + "'\n",
                          true));
        const QString archive = work + "/update 1.5.6.tar.bz2";
        QCOMPARE(QProcess::execute("tar", {"cjf", archive, "-C", stage, "Zelk printer tool"}), 0);

        const QString installation = work + "/Installed Zelk";
        QVERIFY(makeBundle(installation, "installed"));
        // What an earlier update left behind goes now.
        QVERIFY(QDir().mkpath(work + "/zelk-update-AbC123/Zelk printer tool"));

        QVERIFY(runInstaller(QFileInfo(archive), installation));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
        QCOMPARE(readFile(record), QByteArray("--update=" + installation.toLocal8Bit() + "\n"));
        QVERIFY(!QFile::exists(work + "/zelk-update-AbC123"));
        const QStringList unpacked = QDir(work).entryList({"zelk-update-*"}, QDir::Dirs);
        QCOMPARE(unpacked.size(), 1);
        QVERIFY(Installer::isInstallation(work + "/" + unpacked.first() + "/Zelk printer tool"));
    }

    void runInstallerRefuses_data()
    {
        QTest::addColumn<QString>("archiveKind");
        QTest::addColumn<QString>("installation");
        QTest::newRow("not an archive") << "garbage"
                                        << "installed";
        QTest::newRow("no program in it") << "empty bundle"
                                          << "installed";
        QTest::newRow("two folders in it") << "two bundles"
                                           << "installed";
        QTest::newRow("missing archive") << "missing"
                                         << "installed";
        QTest::newRow("target is no installation") << "good"
                                                   << "documents";
        QTest::newRow("target is home") << "good"
                                        << "HOME";
    }
    void runInstallerRefuses()
    {
        QFETCH(QString, archiveKind);
        QFETCH(QString, installation);
        const QString stage = work + "/stage";
        const QString archive = work + "/update.tar.bz2";
        const QString record = work + "/started";
        QVERIFY(makeBundle(work + "/installed", "installed"));
        QVERIFY(QDir().mkpath(work + "/documents"));
        auto bundle = [&](const QString& name) {
            QVERIFY(makeBundle(stage + "/" + name, "x"));
            QVERIFY(writeFile(stage + "/" + name + "/Contents/bin/zelk",
                              "#!/bin/sh\ntouch '" + record.toLocal8Bit() + "'\n", true));
        };
        if (archiveKind == "garbage") {
            QVERIFY(writeFile(archive, "this is not bzip2"));
        } else if (archiveKind == "empty bundle") {
            QVERIFY(QDir().mkpath(stage + "/Zelk printer tool/Contents/Resources"));
        } else if (archiveKind == "two bundles") {
            bundle("Zelk printer tool");
            bundle("Zelk printer tool 2");
        } else if (archiveKind == "good") {
            bundle("Zelk printer tool");
        }
        if (QDir(stage).exists())
            QCOMPARE(QProcess::execute("tar", {"cjf", archive, "-C", stage, "."}), 0);

        const QString target = installation == "HOME" ? home.path() : work + "/" + installation;
        QVERIFY(!runInstaller(QFileInfo(archive), target));
        // Nothing was started and nothing unpacked stays behind.
        QTest::qWait(200);
        QVERIFY(!QFile::exists(record));
        QCOMPARE(QDir(work).entryList({"zelk-update-*"}, QDir::Dirs), QStringList());
    }

    // The running test binary lives in a build tree, which is no installation.
    void theBuildTreeIsNotUpdated()
    {
        QVERIFY(!Installer::isInstallation(Installer::bundleDirectory()));
        QVERIFY(!runInstaller(QFileInfo(work + "/whatever.tar.bz2")));
    }

    void startAtLogin()
    {
        const QString entry = Installer::autostartEntryPath();
        QVERIFY(entry.startsWith(home.path()));
        QVERIFY(entry.endsWith("/autostart/zelk.desktop"));
        QVERIFY(setRunAtStartup(true));
        QVERIFY(QFile::exists(entry));
        QCOMPARE(validate(entry), QString());
        const QString text = QString::fromUtf8(readFile(entry));
        const QString exec = text.section("\nExec=", 1).section('\n', 0, 0);
        QCOMPARE(Installer::parseDesktopExec(exec),
                 (QStringList{QCoreApplication::applicationFilePath(), "--silent"}));

        QVERIFY(setRunAtStartup(true)); // again: still one entry
        QVERIFY(setRunAtStartup(false));
        QVERIFY(!QFile::exists(entry));
        QVERIFY(setRunAtStartup(false)); // nothing to remove is fine
    }

    void startAtLoginLeavesOtherProgramsAlone()
    {
        const QString entry = Installer::autostartEntryPath();
        const QByteArray other = "[Desktop Entry]\nType=Application\nName=Zelk printer tool\n"
                                 "Exec=\"/opt/zelk/Contents/bin/zelk\" --silent\n";
        QVERIFY(writeFile(entry, other));
        QVERIFY(setRunAtStartup(false));
        QCOMPARE(readFile(entry), other);
        QVERIFY(QFile::remove(entry));
    }

    void execQuoting_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("plain") << "/opt/zelk/Contents/bin/zelk";
        QTest::newRow("spaces") << "/home/ada/Install Zelk printer tool/Contents/bin/zelk";
        QTest::newRow("shell characters") << "/home/ada/a$b`c`\"d\"'e'(f)&g;h|i<j>k*l?m#n~/zelk";
        QTest::newRow("backslashes") << "/home/ada/back\\slash\\\\/zelk";
        QTest::newRow("percent") << "/home/ada/100%/%f %U/zelk";
        QTest::newRow("tab and unicode") << "/home/ada/é\tß/Drucker/zelk";
    }
    void execQuoting()
    {
        QFETCH(QString, program);
        const QString exec = Installer::desktopExec(program, {"--silent"});
        QCOMPARE(Installer::parseDesktopExec(exec), (QStringList{program, "--silent"}));

        // The format's own checker agrees.
        const QString entry = work + "/check.desktop";
        QVERIFY(writeFile(
            entry, "[Desktop Entry]\nType=Application\nName=Check\nExec=" + exec.toUtf8() + "\n"));
        QCOMPARE(validate(entry), QString());
    }

    void execRefusesLineBreaks()
    {
        QCOMPARE(Installer::desktopExec("/home/ada/two\nlines/zelk"), QString());
        QVERIFY(!Installer::writeDesktopEntry(work + "/two\nlines"));
    }

    void launcherOfACopiedBundle()
    {
        const QString bundle = work + "/my apps/zelk";
        QVERIFY(Installer::writeDesktopEntry(bundle));
        const QString entry = Installer::desktopEntryPath();
        QVERIFY(entry.startsWith(home.path()));
        QVERIFY(entry.endsWith("/applications/zelk.desktop"));
        QCOMPARE(validate(entry), QString());
        const QString text = QString::fromUtf8(readFile(entry));
        QCOMPARE(Installer::parseDesktopExec(text.section("\nExec=", 1).section('\n', 0, 0)),
                 QStringList{bundle + "/Contents/bin/zelk"});
        QVERIFY(text.contains("\nIcon=" + bundle + "/Contents/Resources/zelk.png\n"));
    }
};

QTEST_GUILESS_MAIN(InstallerTest)
#include "InstallerTest.moc"
