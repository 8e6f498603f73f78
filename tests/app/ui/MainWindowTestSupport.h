#pragma once

// What the main-window tests share: a main() that gives the tests a
// QApplication on the virtual bus, and a hand that answers the file dialog.

#include "SimBus.h"

#include <VirtualBus.h>

#include <QApplication>
#include <QFileDialog>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#define ZELK_SIM_WIDGETS_TEST_MAIN(TestObject)                                                     \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        zelksim::VirtualBus::ensurePreloaded(argv);                                                \
        zelksim::VirtualBus bus;                                                                   \
        zelktest::setSimBus(&bus);                                                                 \
        QStandardPaths::setTestModeEnabled(true);                                                  \
        int status;                                                                                \
        {                                                                                          \
            QApplication app(argc, argv);                                                          \
            TestObject test;                                                                       \
            status = QTest::qExec(&test, argc, argv);                                              \
        }                                                                                          \
        zelktest::setSimBus(nullptr);                                                              \
        return status;                                                                             \
    }

namespace zelktest {

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

} // namespace zelktest
