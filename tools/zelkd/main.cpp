// zelkd: the printers on the network. Serves the printers attached to this
// machine over HTTP with the printer-host API that slicers speak, an event
// stream and a web page; one process holds its printers the way zelkctl
// does, so it is meant for a machine that serves printers.
//
//   zelkd [--config FILE] [--system|--user] [OPTIONS]    run in the foreground
//   zelkd --show-key                                       print the API key (and a QR code)
#include "Announcer.h"
#include "Api.h"
#include "ApiKey.h"
#include "DeviceAdapter.h"
#include "EventBus.h"
#include "FarmPublisher.h"
#include "FileStore.h"
#include "History.h"
#include "HttpServer.h"
#include "PrinterHub.h"
#include "Settings.h"

#include <Logging.h>
#include <TerminationSignals.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QScopeGuard>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(Main, "zelkd")

using namespace zelkd;

namespace {

constexpr int HeartbeatMs = 15000;
// How long the printers attached at start get to answer before the start-up
// lines say what was found.
constexpr int DiscoveryMs = 3000;

int fail(const QString& text)
{
    std::fprintf(stderr, "zelkd: %s\n", text.toLocal8Bit().constData());
    return 1;
}

// The page's address as a phone on the network reaches it, with the key in
// the fragment (which a browser never sends, so it stays out of every log):
// the listening address, or with every address the machine's first one on
// an interface that is up. `warning` says why a phone cannot reach it.
QString phoneUrl(const Settings& settings, const QByteArray& key, QString& warning)
{
    QHostAddress host = settings.listenAddress;
    const bool any =
        host == QHostAddress::Any || host == QHostAddress::AnyIPv4 || host == QHostAddress::AnyIPv6;
    if (any) {
        host = QHostAddress::LocalHost;
        for (const QNetworkInterface& i : QNetworkInterface::allInterfaces()) {
            const auto flags = i.flags();
            if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning) ||
                (flags & QNetworkInterface::IsLoopBack))
                continue;
            for (const QNetworkAddressEntry& e : i.addressEntries())
                if (e.ip().protocol() == QAbstractSocket::IPv4Protocol && host.isLoopback())
                    host = e.ip();
        }
    }
    if (host.isLoopback())
        warning = any ? QStringLiteral("this machine has no network address that is up: a "
                                       "phone cannot reach zelkd yet")
                      : QStringLiteral("zelkd listens on %1 only: a phone cannot reach it (set "
                                       "listen_address, e.g. 0.0.0.0)")
                            .arg(settings.listenAddress.toString());
    QString name = host.toString();
    if (host.protocol() == QAbstractSocket::IPv6Protocol)
        name = QLatin1Char('[') + name + QLatin1Char(']');
    return QStringLiteral("%1://%2:%3/#key=%4")
        .arg(settings.useTls() ? QStringLiteral("https") : QStringLiteral("http"), name)
        .arg(settings.port)
        .arg(QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(key))));
}

void scheduleRotation(QTimer& timer)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime next(now.date().addDays(1), QTime(0, 0, 1));
    timer.start(int(qBound<qint64>(1000, now.msecsTo(next), 24ll * 3600 * 1000)));
}

} // namespace

int main(int argc, char** argv)
{
    // The link library writes its diagnostics to standard output; they join
    // the other messages on standard error.
    std::cout.rdbuf(std::cerr.rdbuf());
    // What zelkd writes (uploads, history, logs) is for its own account and
    // group; the API key is tightened further.
    ::umask(027);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelkd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZELK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves the Zelk printers attached to this machine on the network: the printer-host "
        "API that slicers speak (OctoPrint's REST API), an event stream and a web page.\n"
        "Every setting may be given in the settings file (key = value) and overridden by "
        "the option of the same name."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("show-key"),
                      QStringLiteral("Print the API key, then the page's address with the key "
                                     "as a QR code for a phone's camera, and exit.")});
    addSettingsOptions(parser);
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1 (see zelkd --help)")
                        .arg(parser.positionalArguments().first()));

    Settings settings;
    QString error;
    if (!loadSettings(parser, settings, error))
        return fail(error);

    if (parser.isSet(QStringLiteral("show-key"))) {
        ApiKey key;
        if (!key.load(settings.apiKeyFile, error))
            return fail(error + (::geteuid() != 0 && settings.systemService
                                     ? QStringLiteral(" (sudo zelkd --show-key)")
                                     : QString()));
        // The key alone on the first line (for scripts); then the page's
        // address with the key, and its QR code for a phone's camera.
        const bool terminal = ::isatty(STDOUT_FILENO) == 1;
        QString warning;
        const QString url = phoneUrl(settings, key.value(), warning);
        std::printf("%s\n\nScan this with a phone's camera to open the page with the key, or "
                    "open\n%s\n\n%s",
                    key.value().constData(), url.toUtf8().constData(),
                    ApiKey::qrCode(url.toUtf8(), terminal).toUtf8().constData());
        if (!warning.isEmpty())
            std::fprintf(stderr, "zelkd: %s\n", warning.toLocal8Bit().constData());
        return 0;
    }

    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    Logging::setLogDirectory(settings.dataFolder + QStringLiteral("/log"));
    Logging::rotateLogs();
    Logging::setupFile();

    ApiKey key;
    if (!key.loadOrCreate(settings.apiKeyFile, error))
        return fail(error);

    FileStore files(settings.uploadFolder, settings.maxUploadSize);
    if (!files.open(error))
        return fail(error);

    History history(settings.dataFolder + QStringLiteral("/history.sqlite"));
    if (!history.open(error))
        qCWarning(Main).noquote() << "no print history:" << error;

    EventBus bus;
    DeviceAdapter adapter;
    PrinterHub hub(&adapter, &files, history.isOpen() ? &history : nullptr, &bus,
                   settings.pollIntervalMs);
    // A file's analysis ends on the store's pool: the page hears of it, and
    // the jobs printing the file take its figures on the main thread. The
    // analyses stop before the hub and the bus go, on every way out.
    files.startAnalyses([&hub, &bus](const StoredFile& f) {
        bus.publish(
            {"upload",
             QJsonDocument(QJsonObject{{QStringLiteral("file"), f.name},
                                       {QStringLiteral("phase"), QStringLiteral("analysed")},
                                       {QStringLiteral("gcodeAnalysis"), f.analysis}})
                 .toJson(QJsonDocument::Compact)});
        hub.post([&hub, f] { hub.fileAnalysed(f); });
    });
    const auto analysesEnd = qScopeGuard([&files] { files.stopAnalyses(); });
    // The farm's broker, when one is configured: it hears the hub from the
    // first printer on, and says the host is offline before the hub goes.
    std::unique_ptr<FarmPublisher> farm;
    if (settings.useMqtt())
        farm = std::make_unique<FarmPublisher>(settings, &hub, &files, &bus);
    const auto farmEnd = qScopeGuard([&farm] {
        if (farm)
            farm->stop();
    });
    Api api(settings, key, &hub, &files, history.isOpen() ? &history : nullptr, &bus);
    api.setFarm(farm.get());
    HttpServer server(settings, &api, &bus);
    if (!server.start(error))
        return fail(error);

    // On the local network as printer hosts are, for slicers' "Browse".
    Announcer announcer(settings);
    QString notAnnounced;
    if (!announcer.start(notAnnounced))
        qCInfo(Main).noquote() << "not announced on the local network:" << notAnnounced;
    QObject::connect(&hub, &PrinterHub::printerAttached, &app, [&announcer](const QString& id) {
        // A printer that never said its serial number has no lasting URL.
        if (!id.contains(QLatin1Char(':')))
            announcer.addPrinter(id);
    });

    // SIGINT, SIGTERM and SIGHUP (a closed terminal) end zelkd through its
    // event loop, so that the printers are let go and the log written out.
    TerminationSignals termination;
    if (!termination.isActive())
        return fail(QStringLiteral("cannot watch for signals"));
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &app, [&app] {
        qCInfo(Main) << "stopping";
        app.quit();
    });
    std::signal(SIGPIPE, SIG_IGN);

    qCInfo(Main).noquote() << QStringLiteral("zelkd %1 (%2), listening on %3/")
                                  .arg(QStringLiteral(ZELK_VERSION),
                                       settings.systemService ? QStringLiteral("system service")
                                                              : QStringLiteral("user"),
                                       settings.baseUrl());
    qCInfo(Main).noquote() << QStringLiteral("settings: %1%2")
                                  .arg(settings.configFile,
                                       QFileInfo::exists(settings.configFile)
                                           ? QString()
                                           : QStringLiteral(" (absent: defaults)"));
    qCInfo(Main).noquote()
        << QStringLiteral("API key in %1 (zelkd --show-key prints it)").arg(settings.apiKeyFile);
    qCInfo(Main).noquote() << QStringLiteral("uploads in %1 (at most %2 each), printer log in "
                                             "%3/log")
                                  .arg(files.folder(), formatSize(settings.maxUploadSize),
                                       settings.dataFolder);
    for (const QString& warning : settings.warnings)
        qCWarning(Main).noquote() << warning;
    if (farm) {
        qCInfo(Main).noquote() << QStringLiteral("farm: broker %1://%2:%3 as %4%5, topics %6/%7/")
                                      .arg(settings.mqttTlsCa.isEmpty() ? "mqtt" : "mqtts",
                                           settings.mqttHost)
                                      .arg(settings.mqttPort)
                                      .arg(
                                          settings.mqttClientId,
                                          settings.mqttUser.isEmpty()
                                              ? QString()
                                              : QStringLiteral(" (user %1)").arg(settings.mqttUser),
                                          settings.mqttTopicPrefix, settings.farmName);
        farm->start();
    }

    adapter.start();
    hub.start();
    QTimer::singleShot(DiscoveryMs, &app, [&hub, &adapter] {
        int attached = 0;
        for (const PrinterSnapshot& p : hub.snapshots())
            attached += p.attached ? 1 : 0;
        if (attached == 0)
            qCInfo(Main) << "no printer attached yet; waiting for one";
        if (const int held = adapter.heldElsewhere())
            qCWarning(Main).noquote()
                << QStringLiteral("%1 printer(s) attached but held by another program (the "
                                  "desktop program or zelkctl)")
                       .arg(held);
    });

    // Push streams carry a heartbeat so that no proxy or client takes a
    // quiet printer for a dead connection.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, &app, [&bus] {
        bus.publish({"heartbeat", QByteArray()});
    });
    heartbeat.start(HeartbeatMs);

    // The logs are rotated daily, as the window's are at its start.
    QTimer rotation;
    rotation.setSingleShot(true);
    QObject::connect(&rotation, &QTimer::timeout, &app, [&rotation] {
        Logging::rotateLogs();
        scheduleRotation(rotation);
    });
    scheduleRotation(rotation);

    const int status = app.exec();
    server.stop();
    // An optimizer still running reports to the hub; it ends first.
    QThreadPool::globalInstance()->waitForDone();
    Logging::unsetup();
    return status;
}
