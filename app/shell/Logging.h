#pragma once

#include <QString>

// The program's message handlers. main() installs them in this order:
//   setupBoot()   first thing: messages are kept in memory, because until the
//                 single-instance decision nobody knows who owns the log files;
//   rotateLogs()  master instance only, before it takes the files;
//   setupFile()   master instance: "RMConfig.log" / "RMPrinter.log" from here
//                 on; writes out what the boot handler kept;
//   unsetup()     at the end of main(): Qt's default handler again.
// A second instance never takes the files; it calls flushBoot() before it
// exits so that its messages still reach the application log.
namespace Logging {

void setupBoot();
void flushBoot();
void rotateLogs();
void setupFile();
void unsetup();

// "log" in the per-user application data location; where both logs and
// their rotated copies live. A service sets its own before the first message.
QString logDirectory();
void setLogDirectory(const QString& directory);

} // namespace Logging
