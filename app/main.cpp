// Zelk printer tool: start-up, the single-instance decision, the main window
// and the ordered teardown.
#include <IPCApp.h>
#include <LogCategories.h>
#include <Logging.h>
#include <MacInstallWindow.h>
#include <MainWindow.h>
#include <RMDeviceRegistry.h>
#include <RMSentry.h>
#include <StartModes.h>
#include <StreamCapture.h>
#include <TerminationSignals.h>

#include <QDebug>
#include <QIcon>
#include <QLocale>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSysInfo>
#include <QThreadPool>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

namespace {

const char Version[] = "1.5.5";
const char BuildDescription[] = "1.5.4-42-gdec7a2d";
const char Commit[] = "dec7a2d";
const QString InstanceName = QStringLiteral("Zelk printer tool");

// How long the end of the program waits for work still running on the global
// thread pool: a listing of printers in firmware-update mode (dfu-util -l ends
// within a second unless a device hangs it; its own limit is a minute), or an
// installer copy that waits for the password dialog. Three seconds lets a
// listing end; what is still running then is abandoned rather than waited for
// without end (the application object's destructor would), so that a logout
// or systemd's stop is not held up.
constexpr int PoolDrainMs = 3000;

void writeBanner(const QCoreApplication& app)
{
    qDebug() << "Application:" << app.applicationName() << app.applicationVersion();
    qDebug() << "Commit version:" << Commit;
    qDebug() << "Executable:" << QCoreApplication::applicationFilePath();
    qDebug() << "Arguments:" << QCoreApplication::arguments();
    qDebug() << "Pid:" << QCoreApplication::applicationPid();
    qDebug() << "Operating system:"
             << QStringLiteral("%1 (%2 %3 %4)")
                    .arg(QSysInfo::prettyProductName(), QSysInfo::productType(),
                         QSysInfo::kernelType(), QSysInfo::kernelVersion());
    qDebug() << "CPU:" << QSysInfo::currentCpuArchitecture();
}

// The last well-formed "--pos=XxY" wins; malformed ones are ignored.
void placeWindow(QWidget* window, const QStringList& arguments)
{
    static const QRegularExpression pattern(QStringLiteral("^--pos=(-?[0-9]+)x(-?[0-9]+)$"));
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1String("--pos=")))
            continue;
        const QRegularExpressionMatch match = pattern.match(argument);
        if (match.hasMatch())
            window->move(match.captured(1).toInt(), match.captured(2).toInt());
    }
}

// --help and --version answer on standard output and end the program before
// anything starts: no log, no single-instance channel (which could wait for a
// running window), no display. The help is laid out as GNU tools do; help2man
// makes the manual page from it.
bool answeredInformationOption(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zelk %s\n", Version);
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(
                "Usage: zelk [OPTION]...\n"
                "Zelk printer tool, the desktop companion of the Zelk 3D printer: shows the\n"
                "state of the printer attached by USB, prints G-code files on it (optionally\n"
                "rewritten with fewer moves first), guides filament loading and unloading and\n"
                "test prints, and updates the printer's firmware. One window runs per user: a\n"
                "second start brings it to the front.\n"
                "\n"
                "Options:\n"
                "  --silent        start without showing the window, as the start at login does\n"
                "  --pos=XxY       place the window at screen position X,Y (either may be\n"
                "                  negative)\n"
                "  --install       open the installer window, which copies this program to\n"
                "                  /opt/zelk, or to ~/.local/lib/zelk without the\n"
                "                  administrator password\n"
                "  --help          show this help and exit\n"
                "  --version       show the version and exit\n"
                "\n"
                "--update=FOLDER and --updated are steps of the program's own update, which\n"
                "it runs itself.\n",
                stdout);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (answeredInformationOption(argc, argv))
        return 0;
    Logging::setupBoot();
    StreamCapture capturedOut(std::cout, StdOut(), QtDebugMsg);
    StreamCapture capturedErr(std::cerr, StdErr(), QtWarningMsg);
    qDebug() << "Started";

    IPCApp app(argc, argv, InstanceName);
    // From here on SIGINT, SIGTERM and SIGHUP end the program as its window's
    // Quit does: through the event loop and the teardown below, so that the
    // log is written out and the printers are let go. (Before this point the
    // default action still ends a process that has started nothing.)
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &app, [](int number) {
        qDebug() << "Signal" << number << "received; quitting";
        QCoreApplication::quit();
    });
    QTranslator translator;
    QCoreApplication::setApplicationName(InstanceName);
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1-%2").arg(QLatin1String(Version), QLatin1String(BuildDescription)));
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
    QLoggingCategory::setFilterRules(QStringLiteral("WiFiClient.debug=false"));
    writeBanner(app);

    // A copy that was started to replace an installation does that and ends.
    const QStringList arguments = QCoreApplication::arguments();
    const QString updateTarget = StartModes::updateTarget(arguments);
    if (!updateTarget.isEmpty())
        return StartModes::handOver(updateTarget).exitCode;
    StartModes::confirmUpdate(arguments);

    if (!app.isMaster()) {
        qDebug() << "Second instance; raising master.";
        Logging::flushBoot();
        if (app.raiseMaster()) {
            qDebug() << "Master raised; exiting";
            qDebug() << "Exiting";
            Logging::flushBoot();
            return 0;
        }
        qDebug() << "Master not responsive; trying to become master";
        app.restartIPC();
        if (!app.isMaster()) {
            qDebug() << "Cannot become master. Exiting";
            Logging::flushBoot();
            return -1;
        }
    }

    // Asked to end while the single-instance channel waited: nothing has
    // started that needs a teardown.
    if (TerminationSignals::received()) {
        qDebug() << "Exiting";
        Logging::flushBoot();
        return 0;
    }

    qDebug() << "Master instance; rotating logs.";
    Logging::rotateLogs();
    Logging::setupFile();

    // A missing translation leaves the texts as they are written.
    translator.load(QLocale(QLocale::English, QLocale::AnyCountry), QStringLiteral("rmapp"),
                    QStringLiteral("."), QStringLiteral(":/translations"), QStringLiteral(".qm"));
    QCoreApplication::installTranslator(&translator);

    const QIcon icon(QStringLiteral(":/images/logo.png"));
    QApplication::setWindowIcon(icon);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);

    auto guard = std::make_unique<RMSentry>();
    QObject::connect(RMDeviceRegistry::instance(), &RMDeviceRegistry::devicesChanged, guard.get(),
                     &RMSentry::logDevices);

    QMainWindow* window = StartModes::isInstallationMode(arguments)
                              ? static_cast<QMainWindow*>(new MacInstallWindow())
                              : new MainWindow();
    placeWindow(window, arguments);
    if (arguments.contains(QStringLiteral("--silent"))) {
        // Hidden would end a program that quits with its last window.
        if (QApplication::quitOnLastWindowClosed())
            window->showMinimized();
    } else {
        window->show();
    }
    window->setWindowIcon(icon);
    QObject::connect(&app, &IPCApp::raise, window, [window] {
        window->showNormal();
        window->raise();
        window->activateWindow();
    });

    // A signal that arrived before the event loop (while the single-instance
    // channel waited, say) was taken by a loop of its own: quit() is lost on
    // a loop that has not started yet.
    const int result = TerminationSignals::received() ? 0 : app.exec();

    qDebug() << "Exiting";
    const bool drained = QThreadPool::globalInstance()->waitForDone(PoolDrainMs);
    if (!drained)
        qWarning() << "Not waiting for" << QThreadPool::globalInstance()->activeThreadCount()
                   << "background tasks still running after" << PoolDrainMs << "ms";
    Logging::unsetup();
    delete window;
    guard.reset();
    if (!drained) {
        // The printers are let go and the log is closed; only the abandoned
        // tasks are left, which the application object would wait for.
        std::fflush(nullptr);
        std::_Exit(result);
    }
    return result;
}
