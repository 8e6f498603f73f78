#pragma once

// The parts of the message handlers that tests drive directly. Not for use by
// the rest of the program.

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

class QTextStream;

namespace Logging {

// Replaces the value of every JSON member whose name ends in key or password
// (any case, any spacing around the colon) with "********", when that value
// is a string or an array. Also understands the form the debug stream gives a
// quoted QString, where every quote of the JSON text reads \".
QString maskSecrets(const QString& text);

// Writes one application-log line for a message to out (if not null) and
// passes the masked message on to previous (if not null).
void writeLine(QTextStream* out, const QDateTime& time, QtMsgType type,
               const QMessageLogContext& context, const QString& message,
               QtMessageHandler previous);

// rotateLogs() for a given directory and day.
void rotateLogsIn(const QString& directory, const QDate& today);

} // namespace Logging
