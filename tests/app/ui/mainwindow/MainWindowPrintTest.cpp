// The road of one print through the main window, on printers of the virtual
// bus that receive and queue files: chosen in the file dialog, seen in the
// preview (and optimized there when asked), uploaded with progress after
// Print, and the failures the user has to hear of.
#include "MainWindowTestSupport.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <MainWindow.h>
#include <RMDeviceRegistry.h>
#include <RMOptimizeTask.h>

#include <trel/TrelUsb.h>

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <memory>

using namespace zelktest;
using zelksim::PrintJobModel;
using zelksim::VirtualPrinter;

namespace {

VirtualPrinter::Options at(uint8_t address)
{
    VirtualPrinter::Options o;
    o.address = address;
    return o;
}

bool entered(const VirtualPrinter& printer, PrintJobModel::State state)
{
    VirtualPrinter& p = const_cast<VirtualPrinter&>(printer);
    const auto h = p.printModel().history();
    return std::find(h.begin(), h.end(), state) != h.end();
}

std::string received(const VirtualPrinter& printer)
{
    const std::vector<uint8_t> bytes = printer.jobBytes();
    return std::string(bytes.begin(), bytes.end());
}

// A small print: a square outline, layer by layer.
QByteArray squareGcode()
{
    return squareOutlineGcode(3, "; square\n", false);
}

QStringList leftovers()
{
    return QDir::temp().entryList({"zelk-*.gcode"});
}

} // namespace

class MainWindowPrintTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void twoPrintersAreNotFollowed();
    void printsAFile_data();
    void printsAFile();
    void cancelSendsNothing_data();
    void cancelSendsNothing();
    void failedUploadIsReportedAndPrintingComesBack();
    void fileTheOptimizerRejectsIsNotSent();

private:
    QString write(const QString& name, const QByteArray& content);
    QString statusText() const { return window->findChild<QLabel*>("statusLabel")->text(); }
    QPushButton* printButton() const { return window->findChild<QPushButton*>("printFileButton"); }
    void startWindow(VirtualPrinter& printer);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<MainWindow> window;
};

void MainWindowPrintTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void MainWindowPrintTest::cleanup()
{
    if (window)
        if (QDialog* dialog = window->activeDialog())
            dialog->close();
    window.reset();
    RMDeviceRegistry::shutdown();
    TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
}

QString MainWindowPrintTest::write(const QString& name, const QByteArray& content)
{
    QFile file(dir->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return file.fileName();
}

void MainWindowPrintTest::startWindow(VirtualPrinter& printer)
{
    window = std::make_unique<MainWindow>();
    window->show();
    printer.plug();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Idle"), 10000);
    QVERIFY(printButton()->isEnabled());
}

void MainWindowPrintTest::twoPrintersAreNotFollowed()
{
    VirtualPrinter first(simBus(), at(5));
    VirtualPrinter second(simBus(), at(6));
    startWindow(first);
    second.plug();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("More than one printer connected"), 10000);
    QVERIFY(!printButton()->isEnabled());
    QVERIFY(!window->findChild<QPushButton*>("updateFirmwareButton")->isEnabled());
    first.unplug();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Idle"), 10000);
    QCOMPARE(RMDeviceRegistry::instance()->activePorts(),
             QVector<TrelDeviceAddress>{TrelDeviceAddress(1, 6)});
}

void MainWindowPrintTest::printsAFile_data()
{
    QTest::addColumn<bool>("optimize");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("expectedStart"); // of what the printer received

    QTest::newRow("as chosen") << false << squareGcode() << QByteArray("; square\nG21\n");
    QTest::newRow("optimized") << true << squareGcode()
                               << QByteArray("; Optimized with Corvane optimizer (c++)\n");
    // Nothing to read: the progress must not divide by the size.
    QTest::newRow("empty, optimized")
        << true << QByteArray() << QByteArray("; Optimized with Corvane optimizer (c++)\n");
}

void MainWindowPrintTest::printsAFile()
{
    QFETCH(bool, optimize);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expectedStart);

    VirtualPrinter printer(simBus());
    startWindow(printer);
    window->findChild<QCheckBox*>("optimizeCheckbox")->setChecked(optimize);
    const QString path = write("part.gcode", content);
    QVERIFY(!path.isEmpty());

    answerFileDialog(path);
    answerPrintPreview(true);
    printButton()->click();

    QTRY_VERIFY_WITH_TIMEOUT(entered(printer, PrintJobModel::State::JobQueued), 10000);
    QVERIFY(entered(printer, PrintJobModel::State::FileRx));
    QVERIFY(received(printer).find(expectedStart.toStdString()) != std::string::npos);
    // The window polls right after the upload: no 10-second wait.
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Press button to start printing"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->activeDialog(), 5000);
    QVERIFY(!printButton()->isEnabled());
    // The optimized copy goes with its upload.
    QTRY_VERIFY_WITH_TIMEOUT(leftovers().isEmpty(), 5000);
}

void MainWindowPrintTest::cancelSendsNothing_data()
{
    QTest::addColumn<bool>("chosen"); // a file, or the file dialog cancelled
    QTest::addColumn<bool>("optimize");
    QTest::addColumn<bool>("early"); // the preview cancelled as soon as it shows

    QTest::newRow("no file chosen") << false << false << false;
    QTest::newRow("preview cancelled") << true << false << false;
    QTest::newRow("preview cancelled, optimized") << true << true << false;
    QTest::newRow("preview cancelled while reading") << true << true << true;
}

void MainWindowPrintTest::cancelSendsNothing()
{
    QFETCH(bool, chosen);
    QFETCH(bool, optimize);
    QFETCH(bool, early);

    VirtualPrinter printer(simBus());
    startWindow(printer);
    window->findChild<QCheckBox*>("optimizeCheckbox")->setChecked(optimize);
    // Large enough to be read for a while.
    const QString path = write("part.gcode", squareOutlineGcode(early ? 100000 : 3));
    answerFileDialog(chosen ? path : QString());
    // The preview is there before anything goes to the printer.
    bool sentBeforeThePreview = true;
    const auto seen = [&] {
        sentBeforeThePreview = entered(printer, PrintJobModel::State::FileRx);
        return true;
    };
    if (early) {
        auto* timer = new QTimer(this);
        timer->setInterval(1);
        connect(timer, &QTimer::timeout, timer, [timer, seen] {
            if (QDialog* preview = printPreview()) {
                timer->deleteLater();
                QVERIFY(preview->property("analyzing").toBool());
                seen();
                preview->findChild<QPushButton*>("cancelButton")->click();
            }
        });
        timer->start();
    } else if (chosen) {
        answerPrintPreview(false, seen);
    }
    printButton()->click();

    QVERIFY(!window->activeDialog());
    QVERIFY(printButton()->isEnabled());
    QCOMPARE(sentBeforeThePreview, !chosen);
    QTest::qWait(200); // an upload would have begun by now
    QVERIFY(!entered(printer, PrintJobModel::State::FileRx));
    QVERIFY(leftovers().isEmpty());
}

void MainWindowPrintTest::failedUploadIsReportedAndPrintingComesBack()
{
    VirtualPrinter printer(simBus());
    startWindow(printer);
    window->findChild<QCheckBox*>("optimizeCheckbox")->setChecked(false);
    const QString path = write("part.gcode", squareGcode());
    // The printer stops taking data on the job channel.
    TrelUsb::set_write_timeout(100);
    printer.timeoutWrites(VirtualPrinter::Job, 1000);

    answerFileDialog(path);
    answerPrintPreview(true);
    printButton()->click();
    QMessageBox* box = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(box = qobject_cast<QMessageBox*>(window->activeDialog()), 15000);
    QVERIFY2(box->text().startsWith("The file could not be sent to the printer."),
             qPrintable(box->text()));
    QVERIFY(!box->text().endsWith("\n\n")); // the device layer's reason follows
    QCOMPARE(box->icon(), QMessageBox::Warning);
    box->accept();

    printer.timeoutWrites(VirtualPrinter::Job, 0);
    TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(printButton()->isEnabled(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->activeDialog(), 5000);
}

void MainWindowPrintTest::fileTheOptimizerRejectsIsNotSent()
{
    VirtualPrinter printer(simBus());
    startWindow(printer);
    window->findChild<QCheckBox*>("optimizeCheckbox")->setChecked(true);
    // One line longer than any printer runs.
    const QString path = write(
        "long-line.gcode", "G1 X1 ; " + QByteArray(RMOptimizeTask::MaxLineLength + 16, 'x') + "\n");
    answerFileDialog(path);
    // The preview says why, and Print does nothing.
    QString reason;
    bool printable = true;
    answerPrintPreview(false, [&] {
        reason = printPreview()->findChild<QLabel*>("optimizeLabel")->text();
        auto* print = printPreview()->findChild<QPushButton*>("printButton");
        printable = print->isEnabled();
        print->click();
        return true;
    });
    printButton()->click();

    QVERIFY(!printable);
    QVERIFY2(reason.startsWith("The file could not be optimized"), qPrintable(reason));
    QVERIFY2(reason.contains("longer than 1048576 bytes"), qPrintable(reason));
    QTest::qWait(200); // an upload would have begun by now
    QVERIFY(!entered(printer, PrintJobModel::State::FileRx));
    QVERIFY(printButton()->isEnabled());
    QVERIFY(leftovers().isEmpty());
}

ZELK_SIM_WIDGETS_TEST_MAIN(MainWindowPrintTest)
#include "MainWindowPrintTest.moc"
