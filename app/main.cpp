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

#include <QDebug>
#include <QIcon>
#include <QLocale>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTranslator>

#include <iostream>
#include <memory>

namespace {

const char Version[] = "1.5.5";
const char BuildDescription[] = "1.5.4-42-gdec7a2d";
const char Commit[] = "dec7a2d";
const QString InstanceName = QStringLiteral("Zelk printer tool");

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

} // namespace

int main(int argc, char** argv)
{
    Logging::setupBoot();
    StreamCapture capturedOut(std::cout, StdOut(), QtDebugMsg);
    StreamCapture capturedErr(std::cerr, StdErr(), QtWarningMsg);
    qDebug() << "Started";

    IPCApp app(argc, argv, InstanceName);
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

    const int result = app.exec();

    qDebug() << "Exiting";
    Logging::unsetup();
    delete window;
    guard.reset();
    return result;
}
