#include "LogCategories.h"

Q_LOGGING_CATEGORY(Device, "RMDevice")
Q_LOGGING_CATEGORY(DeviceRegistry, "RMDeviceRegistry")
Q_LOGGING_CATEGORY(DFU, "DFUUpdate")
Q_LOGGING_CATEGORY(PrinterLog, "RMPrinterLog")
Q_LOGGING_CATEGORY(StdOut, "cout")
Q_LOGGING_CATEGORY(StdErr, "cerr")
