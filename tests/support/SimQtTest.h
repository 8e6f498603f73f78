#pragma once

// main() for a Qt Test binary that runs against virtual printers: it
// re-executes itself under umockdev's preload library when needed and builds
// the bus before the test object (and with it libusb) exists.

#include "SimBus.h"

#include <VirtualBus.h>

#include <QCoreApplication>
#include <QTest>

#define ZELK_SIM_QTEST_MAIN(TestObject)                                                            \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        zelksim::VirtualBus::ensurePreloaded(argv);                                                \
        zelksim::VirtualBus bus;                                                                   \
        zelktest::setSimBus(&bus);                                                                 \
        int status;                                                                                \
        {                                                                                          \
            QCoreApplication app(argc, argv);                                                      \
            TestObject test;                                                                       \
            status = QTest::qExec(&test, argc, argv);                                              \
        }                                                                                          \
        zelktest::setSimBus(nullptr);                                                              \
        return status;                                                                             \
    }
