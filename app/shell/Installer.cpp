#include "Installer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDirIterator>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <unistd.h>

namespace {

const QLatin1String ExecutablePath("Contents/bin/zelk");
const QLatin1String ResourcesPath("Contents/Resources");
const QLatin1String UdevRuleName("70-zelk.rules");
const QLatin1String EntryName("zelk.desktop");
const QLatin1String UpdatePrefix("zelk-update-");
const QLatin1String DefaultUdevRules("/etc/udev/rules.d");
const QLatin1String InstallHelperPath("Contents/bin/zelk-install");
// Where the Debian package puts the helper; its polkit action names this path.
const QLatin1String PackagedHelper("/usr/lib/zelk/Contents/bin/zelk-install");

// What a copy runs, as root through the privilege helper or as the user: the
// bundle's install helper (packaging/zelk-install), the paths as its
// arguments. Its exit codes:
enum CopyExit {
    Copied = 0,
    Refused = 2,
    CopyFailed = 3,
    MoveAsideFailed = 4,
    RuleFailed = 5,
    // pkexec: the user dismissed the password dialog / is not authorised.
    HelperDismissed = 126,
    HelperNotAuthorized = 127,
};

// The privilege helper, the packaged install helper and the udev directory:
// set by tests on the GUI thread, read by copies on worker threads.
QMutex configMutex; // guards helperProgram, helperSet, packagedHelper, udevDirectory
QString helperProgram;
bool helperSet = false;
QString packagedHelper = PackagedHelper;
QString udevDirectory = DefaultUdevRules;

QString clean(const QDir& dir)
{
    return QDir::cleanPath(dir.absolutePath());
}

bool isSameOrInside(const QString& path, const QString& directory)
{
    return path == directory || path.startsWith(directory + QLatin1Char('/'));
}

// What the caller can check before anything runs; the script checks again.
bool mayCopy(const QDir& sourceDir, const QDir& destinationDir)
{
    // A relative path would be taken against whatever the working directory
    // happens to be.
    if (sourceDir.isRelative() || destinationDir.isRelative()) {
        qWarning() << "Not copying" << sourceDir.path() << "to" << destinationDir.path()
                   << "- both need an absolute path";
        return false;
    }
    const QString source = clean(sourceDir);
    const QString destination = clean(destinationDir);
    if (!Installer::isInstallation(source)) {
        qWarning() << "Not copying" << source << "- it holds no installation of this program";
        return false;
    }
    if (QFileInfo::exists(destination) && !Installer::isInstallation(destination)) {
        qWarning() << "Not replacing" << destination
                   << "- it exists and is no installation of this program";
        return false;
    }
    const QString from = QFileInfo(source).canonicalFilePath();
    const QFileInfo to(destination);
    const QString toPath = to.exists() ? to.canonicalFilePath() : destination;
    if (isSameOrInside(toPath, from) || isSameOrInside(from, toPath)) {
        qWarning() << "Not copying" << source << "to" << destination
                   << "- one lies inside the other";
        return false;
    }
    return true;
}

QString commandLine(const QString& program, const QStringList& arguments)
{
    return (QStringList{program} + arguments).join(QLatin1Char(' '));
}

// Runs the copy script and returns its exit code, or -1 when it did not run
// to its end.
int runCopy(const QString& program, const QStringList& arguments)
{
    qDebug().noquote() << "Running" << commandLine(program, arguments);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    // No time limit: the privilege helper waits for the user's password.
    if (!process.waitForStarted(-1) || !process.waitForFinished(-1)) {
        qWarning() << "Cannot run" << program << process.errorString();
        return -1;
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        qWarning() << program << "crashed";
        return -1;
    }
    return process.exitCode();
}

bool copyResult(int code)
{
    switch (code) {
    case Copied:
        return true;
    case RuleFailed:
        // The program is in place; only the printer may need root to open.
        qWarning() << "Installed, but the udev rule for the printer could not be installed";
        return true;
    case Refused:
        qWarning() << "The copy refused its source or destination";
        return false;
    case MoveAsideFailed:
        qWarning() << "Error deleting previous directory";
        return false;
    case HelperDismissed:
    case HelperNotAuthorized:
        qWarning() << "Error acquiring rights:" << code;
        return false;
    default:
        qWarning() << "Error copying app" << code;
        return false;
    }
}

// A desktop entry string value: backslash and line breaks escaped.
QString escapeString(const QString& value)
{
    QString out;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else
            out += c;
    }
    return out;
}

bool writeEntry(const QString& path, const QStringList& lines)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        qWarning() << "Cannot create the directory of" << path;
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qWarning() << "Cannot write" << path << file.errorString();
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    for (const QString& line : lines)
        out << line << '\n';
    out.flush();
    if (!file.commit()) {
        qWarning() << "Cannot write" << path << file.errorString();
        return false;
    }
    return true;
}

// The Exec value of the desktop entry file at path; empty when there is none.
QString readExec(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QTextStream in(&file);
    in.setCodec("UTF-8");
    bool inMainGroup = false;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inMainGroup = line == QLatin1String("[Desktop Entry]");
        else if (inMainGroup && line.startsWith(QLatin1String("Exec")) &&
                 line.mid(4).trimmed().startsWith(QLatin1Char('=')))
            return line.mid(line.indexOf(QLatin1Char('=')) + 1).trimmed();
    }
    return QString();
}

// Unpacked updates that an earlier run left behind: ours only.
void removeLeftoverUpdates(const QString& temp)
{
    const QFileInfoList entries =
        QDir(temp).entryInfoList({UpdatePrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoSymLinks);
    for (const QFileInfo& entry : entries) {
        if (entry.ownerId() != ::getuid())
            continue;
        qDebug() << "Removing the unpacked update" << entry.absoluteFilePath();
        QDir(entry.absoluteFilePath()).removeRecursively();
    }
}

} // namespace

bool copyToSystem(const QDir& source, const QDir& destination)
{
    const QString from = clean(source);
    const QString to = clean(destination);
    qDebug() << "Copying app from" << from << "to system directory" << to;
    const QString helper = Installer::privilegeHelper();
    if (helper.isEmpty() || !QFileInfo(helper).isExecutable()) {
        qWarning() << "Error acquiring rights: no privilege helper (pkexec) to ask for them";
        return false;
    }
    if (!mayCopy(source, destination))
        return false;
    // pkexec names the program it runs in its password dialog (the polkit
    // action's message where the package installed one): never a shell.
    const QString program = Installer::systemInstallHelper(from);
    if (!QFileInfo(program).isExecutable()) {
        qWarning() << "Cannot copy" << from << "- no install helper" << program;
        return false;
    }
    const QString rules = Installer::udevRulesDirectory();
    const QString reload = rules == DefaultUdevRules ? QStringLiteral("reload") : QString();
    return copyResult(runCopy(helper, {program, from, to, rules, reload}));
}

bool copyToUser(const QDir& source, const QDir& destination)
{
    const QString from = clean(source);
    const QString to = clean(destination);
    qDebug() << "Copying app from" << from << "to user directory" << to;
    if (!mayCopy(source, destination))
        return false;
    const QString program = Installer::installHelperIn(from);
    if (!QFileInfo(program).isExecutable()) {
        qWarning() << "Cannot copy" << from << "- no install helper" << program;
        return false;
    }
    return copyResult(runCopy(program, {from, to, QString(), QString()}));
}

bool runInstaller(const QFileInfo& archive)
{
    return runInstaller(archive, Installer::bundleDirectory());
}

bool runInstaller(const QFileInfo& archive, const QString& installation)
{
    const QString target = QDir::cleanPath(installation);
    if (!Installer::isInstallation(target)) {
        qWarning() << "Not updating" << target << "- it is no installation of this program";
        return false;
    }
    const QString tar = QStandardPaths::findExecutable(QStringLiteral("tar"));
    if (tar.isEmpty()) {
        qWarning() << "Cannot unpack the update: no tar";
        return false;
    }

    // A directory of our own, not a fixed name in a shared /tmp that another
    // user could have made first: what is unpacked here is run next.
    const QString temp = QDir::tempPath();
    removeLeftoverUpdates(temp);
    QTemporaryDir unpacked(temp + QLatin1Char('/') + UpdatePrefix + QStringLiteral("XXXXXX"));
    if (!unpacked.isValid()) {
        qWarning() << "Cannot make a directory for the update in" << temp << unpacked.errorString();
        return false;
    }

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList arguments{QStringLiteral("xjvf"), archive.absoluteFilePath(),
                                QStringLiteral("-C"), unpacked.path(),
                                QStringLiteral("--no-same-owner")};
    qDebug().noquote() << "Running" << commandLine(tar, arguments);
    process.start(tar, arguments);
    const bool finished = process.waitForFinished(-1);
    const QByteArray output = process.readAll();
    if (!output.isEmpty())
        qDebug().noquote() << QString::fromLocal8Bit(output).trimmed();
    if (!finished || process.exitStatus() != QProcess::NormalExit) {
        qWarning() << "Cannot unpack" << archive.absoluteFilePath() << process.errorString();
        return false;
    }
    if (process.exitCode() != 0) {
        qWarning() << "Cannot unpack" << archive.absoluteFilePath() << "- tar ended with"
                   << process.exitCode();
        return false;
    }

    // The archive holds one bundle, whatever its folder is called.
    const QFileInfoList top =
        QDir(unpacked.path()).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    if (top.size() != 1 || !Installer::isInstallation(top.first().absoluteFilePath())) {
        qWarning() << "The update" << archive.absoluteFilePath() << "holds no program";
        return false;
    }
    const QString program = Installer::executableIn(top.first().absoluteFilePath());
    const QStringList handOver{QStringLiteral("--update=") + target};
    qDebug() << "Starting" << program << handOver;
    if (!QProcess::startDetached(program, handOver)) {
        qWarning() << "Cannot start the update" << program;
        return false;
    }
    // The new program copies itself from here; the directory goes with the
    // next update, or with the system's cleaning of the temporary directory.
    unpacked.setAutoRemove(false);
    return true;
}

bool setRunAtStartup(bool enable)
{
    const QString path = Installer::autostartEntryPath();
    const QString program = QCoreApplication::applicationFilePath();
    if (enable) {
        const QString exec = Installer::desktopExec(program, {QStringLiteral("--silent")});
        if (exec.isEmpty()) {
            qWarning() << "Cannot start" << program << "at login: its path cannot be written";
            return false;
        }
        return writeEntry(path, {
                                    QStringLiteral("[Desktop Entry]"),
                                    QStringLiteral("Type=Application"),
                                    QStringLiteral("Name=Zelk printer tool"),
                                    QStringLiteral("Comment=Zelk printer tool, started at login"),
                                    QStringLiteral("Exec=") + exec,
                                    QStringLiteral("Terminal=false"),
                                    QStringLiteral("NoDisplay=true"),
                                    QStringLiteral("X-GNOME-Autostart-enabled=true"),
                                });
    }
    if (!QFileInfo::exists(path))
        return true;
    // Another installation of the program may have put its own entry there.
    const QStringList command = Installer::parseDesktopExec(readExec(path));
    if (command.isEmpty() || command.first() != program)
        return true;
    if (!QFile::remove(path)) {
        qWarning() << "Cannot remove" << path;
        return false;
    }
    return true;
}

namespace Installer {

QString bundleDirectory()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../.."));
}

QString executableIn(const QString& bundle)
{
    return QDir::cleanPath(bundle) + QLatin1Char('/') + ExecutablePath;
}

bool isInstallation(const QString& path)
{
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return false;
    const QFileInfo info(path);
    if (!info.isDir())
        return false;
    const QString canonical = info.canonicalFilePath();
    const QString home = QDir(QDir::homePath()).canonicalPath();
    if (canonical.isEmpty() || canonical == QLatin1String("/") || isSameOrInside(home, canonical))
        return false;
    const QFileInfo program(executableIn(path));
    return program.isFile() && program.isExecutable();
}

QString systemDirectory()
{
    return QStringLiteral("/opt/zelk");
}

QString userDirectory()
{
    return QDir::homePath() + QStringLiteral("/.local/lib/zelk");
}

QString desktopEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/applications/") + EntryName;
}

QString autostartEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/") + EntryName;
}

bool writeDesktopEntry(const QString& bundle)
{
    const QString exec = desktopExec(executableIn(bundle));
    if (exec.isEmpty()) {
        qWarning() << "No launcher for" << bundle << "- its path cannot be written";
        return false;
    }
    const QString icon =
        QDir::cleanPath(bundle) + QLatin1Char('/') + ResourcesPath + QStringLiteral("/zelk.png");
    return writeEntry(desktopEntryPath(),
                      {
                          QStringLiteral("[Desktop Entry]"),
                          QStringLiteral("Type=Application"),
                          QStringLiteral("Name=Zelk printer tool"),
                          QStringLiteral("GenericName=3D printer tool"),
                          QStringLiteral("Comment=Print on the Zelk 3D printer, load filament "
                                         "and update its firmware"),
                          QStringLiteral("Exec=") + exec,
                          QStringLiteral("Icon=") + escapeString(icon),
                          QStringLiteral("Terminal=false"),
                          QStringLiteral("Categories=Graphics;3DGraphics;"),
                          QStringLiteral("Keywords=3D;printer;G-code;firmware;"),
                          QStringLiteral("StartupWMClass=zelk"),
                      });
}

QString desktopExec(const QString& program, const QStringList& arguments)
{
    QStringList words;
    for (const QString& word : QStringList{program} + arguments) {
        if (word.contains(QLatin1Char('\n')) || word.contains(QLatin1Char('\r')))
            return QString();
        // Quoting first (", `, $ and \ take a backslash inside the quotes),
        // then the escaping of every string value (the backslash doubles),
        // then the field codes (a literal % doubles).
        QString quoted;
        for (const QChar c : word) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                quoted += QLatin1Char('\\');
            quoted += c;
        }
        quoted.replace(QLatin1Char('%'), QLatin1String("%%"));
        words << QLatin1Char('"') + escapeString(quoted) + QLatin1Char('"');
    }
    return words.join(QLatin1Char(' '));
}

QStringList parseDesktopExec(const QString& exec)
{
    // Undo the string escapes first, then split the quoted words.
    QString text;
    for (int i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (c != QLatin1Char('\\') || i + 1 == exec.size()) {
            text += c;
            continue;
        }
        const QChar next = exec.at(++i);
        if (next == QLatin1Char('s'))
            text += QLatin1Char(' ');
        else if (next == QLatin1Char('t'))
            text += QLatin1Char('\t');
        else if (next == QLatin1Char('n'))
            text += QLatin1Char('\n');
        else if (next == QLatin1Char('r'))
            text += QLatin1Char('\r');
        else if (next == QLatin1Char('\\'))
            text += QLatin1Char('\\');
        else
            text += QLatin1Char('\\') + QString(next);
    }

    QStringList words;
    QString word;
    bool inWord = false, quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == QLatin1Char('"')) {
                quoted = false;
            } else if (c == QLatin1Char('\\') && i + 1 < text.size() &&
                       QStringLiteral("\"`$\\").contains(text.at(i + 1))) {
                word += text.at(++i);
            } else {
                word += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = inWord = true;
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted)
        return {};
    if (inWord)
        words << word;
    // Field codes are expanded in the unquoted words: "%%" is a literal "%".
    for (QString& w : words)
        w.replace(QLatin1String("%%"), QLatin1String("%"));
    return words;
}

QString privilegeHelper()
{
    QMutexLocker lock(&configMutex);
    if (helperSet)
        return helperProgram;
    return QStandardPaths::findExecutable(QStringLiteral("pkexec"));
}

void setPrivilegeHelper(const QString& program)
{
    QMutexLocker lock(&configMutex);
    helperProgram = program;
    helperSet = true;
}

QString installHelperIn(const QString& bundle)
{
    return QDir::cleanPath(bundle) + QLatin1Char('/') + InstallHelperPath;
}

QString packagedInstallHelper()
{
    QMutexLocker lock(&configMutex);
    return packagedHelper;
}

void setPackagedInstallHelper(const QString& path)
{
    QMutexLocker lock(&configMutex);
    packagedHelper = path;
}

QString systemInstallHelper(const QString& source)
{
    // Run as root, the packaged helper must be root's alone: a file that
    // someone else could change would run their commands.
    const QFileInfo packaged(packagedInstallHelper());
    if (packaged.isFile() && !packaged.isSymLink() && packaged.isExecutable() &&
        packaged.ownerId() == 0 &&
        !(packaged.permissions() & (QFileDevice::WriteGroup | QFileDevice::WriteOther)))
        return packaged.filePath();
    return installHelperIn(source);
}

QString udevRulesDirectory()
{
    QMutexLocker lock(&configMutex);
    return udevDirectory;
}

void setUdevRulesDirectory(const QString& directory)
{
    QMutexLocker lock(&configMutex);
    udevDirectory = directory;
}

} // namespace Installer
