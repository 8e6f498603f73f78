#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QStringList>

// Installing, updating and starting the program at login.
//
// The program lives in an application directory, "the bundle", laid out the
// same wherever it is (an unpacked archive, /opt/zelk, ~/.local/lib/zelk, the
// lib/zelk of an installation prefix or of the Debian package):
//
//   <bundle>/Contents/bin/zelk          the program
//   <bundle>/Contents/bin/dfu-util      the flasher it runs
//   <bundle>/Contents/bin/zelk-install  the copy, run as root through pkexec
//   <bundle>/Contents/lib/libtrel.so.1  its link library
//   <bundle>/Contents/Resources/        firmware image, test print, icon, udev rule
//
// so that the program finds everything relative to its executable's
// directory: "dfu-util" beside it, "../Resources/..." next to that, and the
// bundle two levels up. A build tree has bin/ and Resources/ the same way,
// but its "bundle" is the folder above the build directory, which is not an
// installation: it is never copied anywhere.

// Replaces destination with a copy of the bundle source, with administrator
// rights obtained through the privilege helper (pkexec: the desktop asks for
// a password), which runs the install helper (systemInstallHelper()). False
// when the rights are refused, a helper is missing, or the copy fails; the
// previous installation is then left as it was. Also installs the bundle's
// udev rule, so that the logged-in user may open the printer, unless the
// system already has one from the package.
bool copyToSystem(const QDir& source, const QDir& destination);
// The same with the user's own rights: the source's install helper, no pkexec.
bool copyToUser(const QDir& source, const QDir& destination);
// Unpacks a .tar.bz2 holding one bundle into a private temporary directory
// and starts the program in it with "--update=" and the running bundle, which
// the new program then replaces. True when the new program started; the
// caller quits so that the installation can be replaced.
bool runInstaller(const QFileInfo& archive);
// The same for a named installation instead of the running bundle.
bool runInstaller(const QFileInfo& archive, const QString& installation);
// Adds or removes the XDG autostart entry that starts this program, with
// "--silent", when the user logs in. Only an entry for this program is
// removed. False when the entry could not be written or removed.
bool setRunAtStartup(bool enable);

namespace Installer {

// The running program's bundle: two levels above its executable's directory.
QString bundleDirectory();
// The program inside a bundle.
QString executableIn(const QString& bundle);
// Whether path is an installation of this program that may be replaced: an
// absolute directory holding the program, and never "/", the home directory
// or one of its parents, however it is spelled (symbolic links resolved).
bool isInstallation(const QString& path);

// Where the installation window puts the program.
QString systemDirectory(); // "/opt/zelk"
QString userDirectory();   // "~/.local/lib/zelk"

// The desktop launcher of a bundle installed by copy (the package brings its
// own): "zelk.desktop" in the user's applications directory, starting that
// bundle's program. False when it could not be written.
bool writeDesktopEntry(const QString& bundle);
QString desktopEntryPath();
QString autostartEntryPath();

// The Exec value of a desktop entry that runs program with arguments: every
// word quoted and escaped as the desktop entry format wants. Empty when the
// program cannot be written there (a line break in it).
QString desktopExec(const QString& program, const QStringList& arguments = {});
// The program and arguments of an Exec value; empty when it does not parse.
QStringList parseDesktopExec(const QString& exec);

// The program that runs a command as root after asking the user: pkexec from
// PATH unless set. Tests put in a stand-in; an empty or missing program makes
// every system copy fail as a refusal does.
QString privilegeHelper();
void setPrivilegeHelper(const QString& program);
// The copy program of a bundle: "Contents/bin/zelk-install".
QString installHelperIn(const QString& bundle);
// The install helper of the Debian package ("/usr/lib/zelk/Contents/bin/
// zelk-install"), the program its polkit action com.corvane.zelk.install
// names, so that the password dialog says what it is for. Tests point it
// elsewhere.
QString packagedInstallHelper();
void setPackagedInstallHelper(const QString& path);
// What a system copy from `source` runs as root: the packaged helper when it
// is there and root's alone (whatever bundle is copied: then the dialog is
// the action's), else the source's own, which the dialog names by its path.
QString systemInstallHelper(const QString& source);
// Where a system copy installs the udev rule ("/etc/udev/rules.d"). Tests
// point it elsewhere; udev is asked to reload only for the real directory.
QString udevRulesDirectory();
void setUdevRulesDirectory(const QString& directory);

} // namespace Installer
