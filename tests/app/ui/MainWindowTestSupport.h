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

// A print of a square outline, 20 mm a side, `layers` layers 0.2 mm apart:
// `heading` first, then the set-up (with M109, which waits for the hot end,
// when `waitForHeat`).
inline QByteArray squareOutlineGcode(int layers, const QByteArray& heading = QByteArray(),
                                     bool waitForHeat = true)
{
    QByteArray g = heading + "G21\nG90\nM82\nM104 S210\nG28\n";
    if (waitForHeat)
        g += "M109 S210\n";
    g += "G92 E0\n";
    double e = 0;
    for (int layer = 1; layer <= layers; ++layer) {
        g += "G1 Z" + QByteArray::number(0.2 * layer, 'f', 2) + " F600\n";
        for (int side = 0; side < 4; ++side) {
            const int x = (side == 1 || side == 2) ? 40 : 20;
            const int y = side >= 2 ? 40 : 20;
            e += 0.8;
            g += "G1 X" + QByteArray::number(x) + " Y" + QByteArray::number(y) + " E" +
                 QByteArray::number(e, 'f', 3) + " F1800\n";
        }
    }
    return g + "M104 S0\n";
}

} // namespace zelktest
