// The installer window offscreen: its pages and texts, the way between them,
// the close confirmation, and the installation with the privilege helper
// granting, refusing, and everything failing. Scratch home and bundles; a
// stand-in plays the privilege helper.
#include "TestFiles.h"

#include <Installer.h>
#include <MacInstallWindow.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using zelktest::addInstallHelper;
using zelktest::readFile;
using zelktest::writeFile;

namespace {} // namespace

class MacInstallWindowTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QString work;
    QString helper;
    std::unique_ptr<MacInstallWindow> window;

    // Message boxes that come up are answered with this button and noted.
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    QStringList boxes; // "objectName|text" of every box answered
    QTimer* poll = nullptr;

    QStackedWidget* stack() const { return window->findChild<QStackedWidget*>("mainStack"); }
    QPushButton* next() const { return window->findChild<QPushButton*>("nextButton"); }
    QPushButton* prev() const { return window->findChild<QPushButton*>("prevButton"); }
    QString page() const { return stack()->currentWidget()->objectName(); }
    QString text(const char* name) const { return window->findChild<QLabel*>(name)->text(); }
    QWidget* overlay() const { return window->findChild<QWidget*>("busyOverlay"); }
    QStringList boldSteps() const
    {
        QStringList bold;
        for (const char* name : {"introStep", "installStep", "summaryStep"})
            if (window->findChild<QLabel*>(name)->font().bold())
                bold << name;
        return bold;
    }

    void setHelper(const QByteArray& body)
    {
        QVERIFY(writeFile(helper, "#!/bin/sh\n" + body + "\n", true));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toLocal8Bit());
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName("Zelk printer tool");
        QCoreApplication::setApplicationVersion("1.5.5-1.5.4-42-gdec7a2d");
    }

    void init()
    {
        static int n = 0;
        work = home.path() + QString("/t%1").arg(++n);
        QVERIFY(QDir().mkpath(work));
        helper = work + "/helper";
        setHelper("exec \"$@\"");
        Installer::setPrivilegeHelper(helper);
        Installer::setUdevRulesDirectory(work + "/rules.d");
        Installer::setPackagedInstallHelper(work + "/no-package/zelk-install");

        QVERIFY(
            writeFile(work + "/Install Zelk printer tool/Contents/bin/zelk", "#!/bin/sh\n", true));
        QVERIFY(addInstallHelper(work + "/Install Zelk printer tool"));
        QVERIFY(writeFile(work + "/Install Zelk printer tool/Contents/Resources/marker", "new"));
        window = std::make_unique<MacInstallWindow>();
        window->setSource(work + "/Install Zelk printer tool");
        window->setSystemDestination(work + "/opt/zelk");
        window->setUserDestination(work + "/home/.local/lib/zelk");
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));

        answer = QMessageBox::Ok;
        boxes.clear();
        poll = new QTimer;
        poll->setInterval(20);
        connect(poll, &QTimer::timeout, this, [this] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(top);
                if (!box || !box->isVisible() || !box->button(answer))
                    continue;
                boxes << box->objectName() + "|" + box->text();
                box->button(answer)->click();
                return;
            }
        });
        poll->start();
    }

    void cleanup()
    {
        delete poll;
        poll = nullptr;
        window.reset();
        QFile::remove(Installer::desktopEntryPath());
    }

    void pagesAndTexts()
    {
        QCOMPARE(window->windowTitle(), QString("Install the Zelk - 1.5.5-1.5.4-42-gdec7a2d"));
        QVERIFY(!window->findChild<QLabel*>("headerImage")->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(next()->text(), QString("Continue"));
        QCOMPARE(prev()->text(), QString("Go Back"));

        QCOMPARE(page(), QString("introPage"));
        QCOMPARE(text("introTitle"), QString("Welcome to your Corvane 3D Printer"));
        QCOMPARE(text("introText"),
                 QString("Welcome to the Corvane Software installer for Linux."));
        QCOMPARE(boldSteps(), QStringList{"introStep"});
        QVERIFY(!prev()->isEnabled());
        QVERIFY(next()->isEnabled());

        QTest::mouseClick(next(), Qt::LeftButton);
        QCOMPARE(page(), QString("installPage"));
        QCOMPARE(text("installTitle"), QString("Install Zelk printer software"));
        QCOMPARE(text("installText"), QString("Click Continue to instsall the Zelk Utility app"));
        // Said before the system's password dialog, which can name only the
        // program it runs: until now that was /bin/sh, and nothing said why.
        QCOMPARE(text("privilegeText"),
                 "Continue installs the program in " + work +
                     "/opt/zelk for everyone on this computer, with the rule that lets you use "
                     "the printer. The system then asks for an administrator's password to run " +
                     work +
                     "/Install Zelk printer tool/Contents/bin/zelk-install, which makes the copy. "
                     "Without the password the program is installed for you alone, in " +
                     work + "/home/.local/lib/zelk.");
        QCOMPARE(boldSteps(), QStringList{"installStep"});
        QVERIFY(prev()->isEnabled());

        QTest::mouseClick(prev(), Qt::LeftButton);
        QCOMPARE(page(), QString("introPage"));
        QCOMPARE(boldSteps(), QStringList{"introStep"});
        QTest::mouseClick(prev(), Qt::LeftButton); // disabled: nothing before the first page
        QCOMPARE(page(), QString("introPage"));

        stack()->setCurrentWidget(window->findChild<QWidget*>("summaryPage"));
        QCOMPARE(text("summaryTitle"), QString("Summary"));
        QCOMPARE(text("summaryHeading"), QString("The installation was completed successfully."));
        QCOMPARE(text("summaryText"), QString("The installation was successful."));
        QCOMPARE(boldSteps(), QStringList{"summaryStep"});
        QVERIFY(!prev()->isEnabled());
    }

    void closingAsksBeforeTheSummary_data()
    {
        QTest::addColumn<QString>("onPage");
        QTest::addColumn<int>("reply");
        QTest::addColumn<bool>("closes");
        QTest::newRow("introduction, no") << "introPage" << int(QMessageBox::No) << false;
        QTest::newRow("introduction, yes") << "introPage" << int(QMessageBox::Yes) << true;
        QTest::newRow("installation, no") << "installPage" << int(QMessageBox::No) << false;
        QTest::newRow("installation, yes") << "installPage" << int(QMessageBox::Yes) << true;
        QTest::newRow("summary: no question") << "summaryPage" << int(QMessageBox::No) << true;
    }
    void closingAsksBeforeTheSummary()
    {
        QFETCH(QString, onPage);
        QFETCH(int, reply);
        QFETCH(bool, closes);
        stack()->setCurrentWidget(window->findChild<QWidget*>(onPage));
        answer = QMessageBox::StandardButton(reply);
        window->close();
        QCOMPARE(window->isVisible(), !closes);
        const QString question =
            "|The Zelk configuration is not complete yet.\nAre you sure you want to exit?";
        QCOMPARE(boxes, onPage == "summaryPage" ? QStringList() : QStringList{question});
    }

    void continueOnTheSummaryCloses()
    {
        stack()->setCurrentWidget(window->findChild<QWidget*>("summaryPage"));
        QTest::mouseClick(next(), Qt::LeftButton);
        QVERIFY(!window->isVisible());
        QCOMPARE(boxes, QStringList());
    }

    // With administrator rights: into the system directory, spinner while it
    // runs, then the summary and a launcher in the menu.
    void installsIntoTheSystemDirectory()
    {
        // The helper holds the copy until the test lets it go.
        const QString gate = work + "/go";
        setHelper("while [ ! -e '" + gate.toLocal8Bit() + "' ]; do sleep 0.02; done\nexec \"$@\"");
        QSignalSpy installed(window.get(), &MacInstallWindow::installed);

        QTest::mouseClick(next(), Qt::LeftButton);
        QTest::mouseClick(next(), Qt::LeftButton);
        QVERIFY(window->isBusy());
        QVERIFY(overlay()->isVisible());
        QCOMPARE(overlay()->geometry(), window->rect());
        QVERIFY(!next()->isEnabled());
        QVERIFY(!prev()->isEnabled());
        window->close(); // a running copy is not called back
        QVERIFY(window->isVisible());
        QCOMPARE(boxes, QStringList());

        QVERIFY(writeFile(gate, ""));
        QVERIFY(installed.wait(20000));
        QCOMPARE(installed.at(0).at(0).toString(), work + "/opt/zelk");
        QCOMPARE(page(), QString("summaryPage"));
        QVERIFY(!overlay()->isVisible());
        QVERIFY(next()->isEnabled());
        QCOMPARE(readFile(work + "/opt/zelk/Contents/Resources/marker"), QByteArray("new"));
        QVERIFY(!QFile::exists(work + "/home/.local/lib/zelk"));
        QCOMPARE(boxes, QStringList());
        const QString entry = QString::fromUtf8(readFile(Installer::desktopEntryPath()));
        QVERIFY(entry.contains("Exec=\"" + work + "/opt/zelk/Contents/bin/zelk\"\n"));
    }

    void refusedRightsFallBackToTheUserDirectory()
    {
        setHelper("exit 126");
        QSignalSpy installed(window.get(), &MacInstallWindow::installed);
        QTest::mouseClick(next(), Qt::LeftButton);
        QTest::mouseClick(next(), Qt::LeftButton);
        QVERIFY(installed.wait(20000));
        QCOMPARE(installed.at(0).at(0).toString(), work + "/home/.local/lib/zelk");
        QCOMPARE(boxes, QStringList{"fallbackMessage|Cannot acquire admin rights; the application "
                                    "will be installed in the user directory."});
        QCOMPARE(page(), QString("summaryPage"));
        QCOMPARE(readFile(work + "/home/.local/lib/zelk/Contents/Resources/marker"),
                 QByteArray("new"));
        QVERIFY(!QFile::exists(work + "/opt/zelk"));
        const QString entry = QString::fromUtf8(readFile(Installer::desktopEntryPath()));
        QVERIFY(entry.contains("Exec=\"" + work + "/home/.local/lib/zelk/Contents/bin/zelk\"\n"));
    }

    // Nothing installed is never reported as installed.
    void nothingInstalledStaysOnTheInstallationPage()
    {
        setHelper("exit 126");
        window->setSource(work + "/not a bundle");
        QSignalSpy installed(window.get(), &MacInstallWindow::installed);
        QTest::mouseClick(next(), Qt::LeftButton);
        QTest::mouseClick(next(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), 2, 20000);
        QCOMPARE(boxes.at(1), "failureMessage|The application could not be installed in " + work +
                                  "/home/.local/lib/zelk.");
        QTRY_VERIFY(!window->isBusy());
        QCOMPARE(installed.count(), 0);
        QCOMPARE(page(), QString("installPage"));
        QVERIFY(next()->isEnabled());
        QVERIFY(prev()->isEnabled());
        QVERIFY(!QFile::exists(Installer::desktopEntryPath()));
    }
};

QTEST_MAIN(MacInstallWindowTest)
#include "MacInstallWindowTest.moc"
