#pragma once

#include <QLoggingCategory>

// The program's logging categories, one per part that logs; use these rather
// than defining a category of the same name again. Messages without a category
// go to "default" (QLoggingCategory::defaultCategory()). The optimizer's
// "RMOptimizeTask" (Optimizer()) belongs to app/gcode.
Q_DECLARE_LOGGING_CATEGORY(Device)         // "RMDevice"
Q_DECLARE_LOGGING_CATEGORY(DeviceRegistry) // "RMDeviceRegistry"
Q_DECLARE_LOGGING_CATEGORY(DFU)            // "DFUUpdate"
Q_DECLARE_LOGGING_CATEGORY(PrinterLog)     // "RMPrinterLog": the printer's own text, own file
Q_DECLARE_LOGGING_CATEGORY(StdOut)         // "cout": lines written to std::cout
Q_DECLARE_LOGGING_CATEGORY(StdErr)         // "cerr": lines written to std::cerr
