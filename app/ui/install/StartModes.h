#pragma once

#include <Installer.h>

#include <QString>
#include <QStringList>

// The start modes of the self-installing program, in the order main() gives
// them their turn: the self-update hand-over ("--update=PATH"), right after
// the start-up banner; the update confirmation ("--updated"); and, when the
// first window is made, the installation mode ("--install", or a bundle whose
// folder name begins with "Install").
namespace StartModes {

// The path after the first argument that starts with "--update=" and has at
// least one character after it; empty when there is none (start normally).
QString updateTarget(const QStringList& arguments);

struct HandOver
{
    int exitCode = -1; // what main() returns: always -1
    bool copied = false;
    int startAttempts = 0;
    bool started = false;
};

// Replaces the installation target with this bundle (source), then starts
// the replaced program with "--updated". A target that is no installation of
// this program is refused. A failed copy is reported in a message box; a
// failed start is tried again, up to 10 times, and not reported. The boot log
// is flushed either way: the process ends here.
HandOver handOver(const QString& target, const QString& source = Installer::bundleDirectory());

// With "--updated", tells the user that the update worked and waits until
// the message is closed. True when it was shown.
bool confirmUpdate(const QStringList& arguments);

// Whether the first window is the installation window.
bool isInstallationMode(const QStringList& arguments,
                        const QString& bundle = Installer::bundleDirectory());

// The pause after a failed start of the updated program (one second). Tests
// shorten it.
void setRetryInterval(int milliseconds);

} // namespace StartModes
