#pragma once

// What the main-window tests and the screenshot programs share: a main()
// that gives them a QApplication on the virtual bus, hands that answer the file dialog and the
// print preview, and the G-code they print (TestGcode.h).

#include "SimBus.h"
#include "TestGcode.h"

#include <VirtualBus.h>

#include <RMDeviceRegistry.h>

#include <QApplication>
#include <QFileDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <functional>

// main() of a test object that drives widgets on the virtual bus.
#define ZELK_SIM_WIDGETS_TEST_MAIN(TestObject)                                                     \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        return zelktest::runWidgetsOnVirtualBus(argc, argv, [&] {                                  \
            TestObject test;                                                                       \
            return QTest::qExec(&test, argc, argv);                                                \
        });                                                                                        \
    }

namespace zelktest {

// Runs `run` in a QApplication on a virtual bus of its own (re-executing the
// program under the preload library first), with Qt's paths in test mode so
// that nothing touches the user's settings. Returns what `run` returns.
// QApplication keeps a reference to `argc`: main()'s own has to be passed.
inline int runWidgetsOnVirtualBus(int& argc, char** argv, const std::function<int()>& run)
{
    zelksim::VirtualBus::ensurePreloaded(argv);
    zelksim::VirtualBus bus;
    setSimBus(&bus);
    QStandardPaths::setTestModeEnabled(true);
    int status;
    {
        QApplication app(argc, argv);
        status = run();
    }
    setSimBus(nullptr);
    return status;
}

// main() of the screenshot programs: `shoot` on the virtual bus with
// high-resolution pixmaps, then the printers let go before the bus goes.
inline int screenshotMain(int& argc, char** argv, const std::function<int()>& shoot)
{
    return runWidgetsOnVirtualBus(argc, argv, [&] {
        QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
        const int status = shoot();
        RMDeviceRegistry::shutdown();
        return status;
    });
}

// Picks `path` in the next file dialog that opens (or cancels it when `path`
// is empty). The dialog runs its own event loop inside the click, so the
// answer has to come from a timer.
inline void answerFileDialog(const QString& path)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, path] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer->deleteLater();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(path);
        // QFileDialog::accept() is protected; QDialog::accept() dispatches to it.
        static_cast<QDialog*>(dialog)->accept();
    });
    timer->start();
}

// The print preview that opens after the file dialog, if it is open.
inline QDialog* printPreview()
{
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    return dialog && dialog->objectName() == QLatin1String("PrintPreviewDialog") ? dialog : nullptr;
}

// Done with the analysis and the optimizer.
inline bool printPreviewIdle(const QDialog* preview)
{
    return !preview->property("analyzing").toBool() && !preview->property("optimizing").toBool();
}

// Presses Print (or Cancel, when `print` is false) in the next print
// preview, once its analysis and optimizer have ended and `ready` holds.
inline void answerPrintPreview(bool print, std::function<bool()> ready = {})
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, print, ready] {
        QDialog* preview = printPreview();
        if (!preview || !printPreviewIdle(preview) || (ready && !ready()))
            return;
        timer->deleteLater();
        preview->findChild<QPushButton*>(print ? "printButton" : "cancelButton")->click();
    });
    timer->start();
}

} // namespace zelktest
