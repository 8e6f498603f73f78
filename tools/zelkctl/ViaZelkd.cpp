#include "ViaZelkd.h"

#include "Console.h"

#include <Settings.h>

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <functional>

namespace zelkctl {

namespace {

constexpr int AskMs = 3000;        // a local zelkd answers at once
constexpr int PollMs = 500;        // how often a waiting command asks again
constexpr int TakeFileMs = 120000; // until the printer has the file
constexpr int ProcedureMs = 30000; // until a pause, an abort, a filament change shows

struct Reply
{
    int status = 0; // 0: no answer
    QJsonObject json;
    QString error() const
    {
        const QString e = json.value(QLatin1String("error")).toString();
        return e.isEmpty() ? QStringLiteral("zelkd answered %1").arg(status) : e;
    }
};

class Zelkd
{
public:
    QUrl base;
    QByteArray key;

    Reply send(const QString& method, const QString& path, const QByteArray& body = QByteArray(),
               QHttpMultiPart* form = nullptr, int timeoutMs = AskMs)
    {
        QNetworkRequest request(base.resolved(QUrl(path)));
        request.setRawHeader("X-Api-Key", key);
        QNetworkReply* reply = nullptr;
        if (form) {
            reply = manager.post(request, form);
            form->setParent(reply);
        } else if (method == QLatin1String("POST")) {
            request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArrayLiteral("application/json"));
            reply = manager.post(request, body);
        } else {
            reply = manager.get(request);
        }
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, reply, &QNetworkReply::abort);
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        timer.start(timeoutMs);
        loop.exec();
        Reply r;
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.json = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        return r;
    }

private:
    QNetworkAccessManager manager;
};

// zelkd's address and key by its settings; `systemService` picks the set.
bool fromSettings(bool systemService, Zelkd& z)
{
    QCommandLineParser parser;
    zelkd::addSettingsOptions(parser);
    parser.parse({QStringLiteral("zelkctl"),
                  systemService ? QStringLiteral("--system") : QStringLiteral("--user")});
    zelkd::Settings settings;
    QString error;
    if (!zelkd::loadSettings(parser, settings, error))
        return false;
    QFile keyFile(settings.apiKeyFile);
    if (!keyFile.open(QIODevice::ReadOnly))
        return false;
    z.key = keyFile.readLine().trimmed();
    QString host = settings.listenAddress.toString();
    if (settings.listenAddress == QHostAddress::AnyIPv4 || settings.listenAddress.isNull())
        host = QStringLiteral("127.0.0.1");
    else if (settings.listenAddress == QHostAddress::AnyIPv6)
        host = QStringLiteral("[::1]");
    else if (settings.listenAddress.protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    z.base =
        QUrl(QStringLiteral("%1://%2:%3/")
                 .arg(settings.useTls() ? QStringLiteral("https") : QStringLiteral("http"), host)
                 .arg(settings.port));
    return true;
}

bool answers(Zelkd& z)
{
    const Reply r = z.send(QStringLiteral("GET"), QStringLiteral("api/version"));
    return r.status == 200 &&
           r.json.value(QLatin1String("text")).toString().contains(QLatin1String("zelkd"));
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// One printer of zelkd's, as its printer list shows it.
struct Printer
{
    QJsonObject json;
    QString id() const { return json.value(QLatin1String("printer")).toString(); }
    QString address() const { return json.value(QLatin1String("address")).toString(); }
    QJsonObject state() const { return json.value(QLatin1String("state")).toObject(); }
    QString zelkState() const
    {
        return state()
            .value(QLatin1String("zelk"))
            .toObject()
            .value(QLatin1String("state"))
            .toString();
    }
    QString statusLine() const
    {
        return state()
            .value(QLatin1String("zelk"))
            .toObject()
            .value(QLatin1String("statusLine"))
            .toString();
    }
    QString phase() const
    {
        return json.value(QLatin1String("job"))
            .toObject()
            .value(QLatin1String("zelk"))
            .toObject()
            .value(QLatin1String("phase"))
            .toString();
    }
    QString reason() const
    {
        return json.value(QLatin1String("job"))
            .toObject()
            .value(QLatin1String("zelk"))
            .toObject()
            .value(QLatin1String("reason"))
            .toString();
    }
    QString prefix() const { return QStringLiteral("printers/") + id() + QLatin1Char('/'); }
};

class Remote
{
public:
    Remote(const Invocation& inv, Zelkd& zelkd) : invocation(inv), z(zelkd) {}

    // The printer the command means among zelkd's; nothing (with `code`
    // unset) when zelkd serves none that it could mean.
    std::optional<Printer> pick(int& code)
    {
        code = -1;
        const QVector<Printer> all = printers();
        QVector<Printer> attached;
        for (const Printer& p : all)
            if (p.json.value(QLatin1String("attached")).toBool())
                attached.append(p);
        const QString wanted = invocation.value("--printer");
        if (!wanted.isEmpty()) {
            for (const Printer& p : attached)
                if (p.address() == wanted)
                    return p;
            return std::nullopt;
        }
        if (attached.size() > 1) {
            QStringList names;
            for (const Printer& p : attached)
                names << p.address();
            code = invocation.fail(UsageError,
                                   QStringLiteral("several printers are attached (%1): choose "
                                                  "one with --printer BUS:ADDRESS")
                                       .arg(names.join(QStringLiteral(", "))));
            return std::nullopt;
        }
        if (attached.isEmpty())
            return std::nullopt;
        return attached.first();
    }

    QVector<Printer> printers()
    {
        QVector<Printer> out;
        const Reply r = z.send(QStringLiteral("GET"), QStringLiteral("api/zelkd/printers"));
        for (const QJsonValue& v : r.json.value(QLatin1String("printers")).toArray())
            out.append(Printer{v.toObject()});
        return out;
    }

    Printer refresh(const Printer& p)
    {
        for (const Printer& q : printers())
            if (q.id() == p.id())
                return q;
        Printer gone = p;
        gone.json.insert(QStringLiteral("attached"), false);
        return gone;
    }

    // Waits (asking every PollMs) until `reached`; false on a timeout, an
    // interruption or a printer gone (each said).
    bool waitFor(Printer& p, const std::function<bool(const Printer&)>& reached, int timeoutMs,
                 const std::function<void(const Printer&)>& shown = nullptr)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            p = refresh(p);
            if (shown)
                shown(p);
            if (reached(p))
                return true;
            if (!p.json.value(QLatin1String("attached")).toBool()) {
                exitCode = invocation.fail(PrinterFailure, QStringLiteral("the printer went away"));
                return false;
            }
            if (Interrupt::signal()) {
                exitCode = invocation.fail(Interrupted + Interrupt::signal(),
                                           QStringLiteral("interrupted"));
                return false;
            }
            if (timeoutMs >= 0 && clock.elapsed() > timeoutMs) {
                exitCode = invocation.fail(PrinterFailure,
                                           QStringLiteral("the printer did not answer in time: it "
                                                          "says %1")
                                               .arg(quoted(p.statusLine())));
                return false;
            }
            QThread::msleep(PollMs);
        }
    }

    int refused(const Reply& r)
    {
        if (r.status == 0)
            return invocation.fail(NoPrinter, QStringLiteral("zelkd did not answer"));
        if (r.status == 401 || r.status == 403)
            return invocation.fail(NoPrinter,
                                   QStringLiteral("zelkd refused the key: %1").arg(r.error()));
        if (r.status == 404)
            return invocation.fail(NoPrinter, r.error());
        return invocation.fail(PrinterFailure, r.error());
    }

    const Invocation& invocation;
    Zelkd& z;
    int exitCode = Success;
};

QByteArray statusJson(const Printer& p)
{
    const QJsonObject tool = p.json.value(QLatin1String("temperature"))
                                 .toObject()
                                 .value(QLatin1String("tool0"))
                                 .toObject();
    return QJsonDocument(
               QJsonObject{
                   {QStringLiteral("printer"), p.address()},
                   {QStringLiteral("state"), p.zelkState()},
                   {QStringLiteral("text"), p.statusLine()},
                   {QStringLiteral("temperature"), tool.value(QLatin1String("actual"))},
                   {QStringLiteral("progress"), p.json.value(QLatin1String("progress"))},
                   {QStringLiteral("minutes_left"), p.json.value(QLatin1String("minutesLeft"))},
                   {QStringLiteral("model"), p.json.value(QLatin1String("model"))},
                   {QStringLiteral("firmware"), p.json.value(QLatin1String("firmware"))},
                   {QStringLiteral("error"), p.state()
                                                 .value(QLatin1String("zelk"))
                                                 .toObject()
                                                 .value(QLatin1String("error"))},
                   {QStringLiteral("serial"), p.id()},
               })
        .toJson(QJsonDocument::Compact);
}

int status(Remote& remote, Printer p)
{
    const bool json = remote.invocation.has("--json");
    if (!remote.invocation.has("--watch")) {
        print(stdout, json ? QString::fromUtf8(statusJson(p)) : p.statusLine());
        return Success;
    }
    Interrupt::install();
    StatusFollower follower;
    QByteArray shown;
    remote.waitFor(
        p, [](const Printer&) { return false; }, -1,
        [&](const Printer& now) {
            if (!json)
                return follower.show(now.statusLine(), int(qHash(now.zelkState())));
            const QByteArray text = statusJson(now);
            if (text != shown)
                print(stdout, QString::fromUtf8(text));
            shown = text;
        });
    return remote.exitCode >= Interrupted ? Success : remote.exitCode;
}

int printFile(Remote& remote, Printer p)
{
    const Invocation& inv = remote.invocation;
    const QString path = inv.arguments.first();
    auto* file = new QFile(path);
    if (!QFileInfo(path).isFile() || !file->open(QIODevice::ReadOnly)) {
        delete file;
        return inv.fail(FileError, QStringLiteral("cannot read %1").arg(path));
    }
    auto* form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    file->setParent(form);
    auto field = [form](const char* name, const QByteArray& value) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"%1\"").arg(QLatin1String(name)));
        part.setBody(value);
        form->append(part);
    };
    QHttpPart filePart;
    filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"file\"; filename=\"%1\"")
                           .arg(QFileInfo(path).fileName()));
    filePart.setBodyDevice(file);
    form->append(filePart);
    field("print", "true");
    field("optimize", inv.has("--optimize") ? "true" : "false");
    print(stdout, QStringLiteral("Uploading %1 to zelkd").arg(QFileInfo(path).fileName()));
    const Reply r =
        remote.z.send(QStringLiteral("POST"), p.prefix() + QStringLiteral("api/files/local"),
                      QByteArray(), form, 600000);
    if (r.status != 201)
        return remote.refused(r);
    if (!r.json.value(QLatin1String("effectivePrint")).toBool())
        return inv.fail(PrinterFailure, QStringLiteral("stored, but not printed: %1")
                                            .arg(r.json.value(QLatin1String("zelk"))
                                                     .toObject()
                                                     .value(QLatin1String("notPrinted"))
                                                     .toString()));
    Interrupt::install();
    if (!remote.waitFor(
            p,
            [](const Printer& now) {
                return now.phase() != QLatin1String("sending") &&
                       now.phase() != QLatin1String("sent");
            },
            TakeFileMs))
        return remote.exitCode;
    if (p.phase() == QLatin1String("failed") || p.phase() == QLatin1String("cancelled"))
        return inv.fail(PrinterFailure,
                        QStringLiteral("the printer did not take the file: %1").arg(p.reason()));
    if (!inv.has("--wait")) {
        print(stdout, p.statusLine());
        return Success;
    }
    StatusFollower follower;
    if (!remote.waitFor(
            p,
            [](const Printer& now) {
                const QString ph = now.phase();
                return ph == QLatin1String("finished") || ph == QLatin1String("failed") ||
                       ph == QLatin1String("cancelled");
            },
            -1,
            [&follower](const Printer& now) {
                follower.show(now.statusLine(), int(qHash(now.zelkState())));
            }))
        return remote.exitCode;
    follower.end();
    if (p.phase() == QLatin1String("finished")) {
        print(stdout, QStringLiteral("Print finished."));
        return Success;
    }
    return inv.fail(PrinterFailure,
                    QStringLiteral("the print %1: %2")
                        .arg(p.phase() == QLatin1String("failed") ? QStringLiteral("failed")
                                                                  : QStringLiteral("was aborted"),
                             p.reason()));
}

int jobCommand(Remote& remote, Printer p, const QJsonObject& command,
               const std::function<bool(const Printer&, const Printer&)>& done)
{
    const Printer before = p;
    const Reply r =
        remote.z.send(QStringLiteral("POST"), p.prefix() + QStringLiteral("api/job"),
                      QJsonDocument(command).toJson(QJsonDocument::Compact), nullptr, 30000);
    if (r.status != 204)
        return remote.refused(r);
    Interrupt::install();
    if (!remote.waitFor(
            p, [&](const Printer& now) { return done(before, now); }, ProcedureMs))
        return remote.exitCode;
    print(stdout, p.statusLine());
    return Success;
}

int filament(Remote& remote, Printer p, bool load)
{
    const Reply r = remote.z.send(
        QStringLiteral("POST"), p.prefix() + QStringLiteral("api/zelkd/filament"),
        QJsonDocument(QJsonObject{{QStringLiteral("command"),
                                   load ? QStringLiteral("load") : QStringLiteral("unload")}})
            .toJson(QJsonDocument::Compact),
        nullptr, 30000);
    if (r.status != 204)
        return remote.refused(r);
    Interrupt::install();
    const QString prefix = load ? QStringLiteral("Load") : QStringLiteral("Unload");
    auto busy = [prefix](const Printer& now) { return now.zelkState().startsWith(prefix); };
    // A refusal shows as an error in the printer's status.
    const QString refusal =
        load ? QStringLiteral("FilamentAlreadyLoaded") : QStringLiteral("FilamentAlreadyUnloaded");
    auto error = [](const Printer& now) {
        return now.state()
            .value(QLatin1String("zelk"))
            .toObject()
            .value(QLatin1String("error"))
            .toString();
    };
    if (!remote.waitFor(
            p, [&](const Printer& now) { return busy(now) || error(now) == refusal; }, ProcedureMs))
        return remote.exitCode;
    if (!busy(p))
        return remote.invocation.fail(PrinterFailure,
                                      load ? QStringLiteral("filament is already loaded")
                                           : QStringLiteral("no filament is loaded"));
    StatusFollower follower;
    if (!remote.waitFor(
            p, [&busy](const Printer& now) { return !busy(now); }, -1,
            [&follower](const Printer& now) {
                follower.show(now.statusLine(), int(qHash(now.zelkState())));
            }))
        return remote.exitCode;
    follower.end();
    if (error(p) != QLatin1String("NoError"))
        return remote.invocation.fail(PrinterFailure,
                                      QStringLiteral("the printer reported %1").arg(error(p)));
    print(stdout, load ? QStringLiteral("Filament loaded.") : QStringLiteral("Filament unloaded."));
    return Success;
}

} // namespace

std::optional<int> viaZelkd(const Invocation& invocation)
{
    Zelkd z;
    const QByteArray url = qgetenv("ZELKD_URL");
    if (!url.isEmpty()) {
        z.base = QUrl(QString::fromUtf8(url.endsWith('/') ? url : url + '/'));
        z.key = qgetenv("ZELKD_API_KEY");
        if (!answers(z))
            return std::nullopt;
    } else if (!((fromSettings(false, z) && answers(z)) || (fromSettings(true, z) && answers(z)))) {
        return std::nullopt;
    }

    Remote remote(invocation, z);
    const QString& command = invocation.command;
    if (command == QLatin1String("list")) {
        const QVector<Printer> printers = remote.printers();
        if (printers.isEmpty())
            return std::nullopt;
        if (invocation.has("--json")) {
            QJsonArray array;
            for (const Printer& p : printers)
                array.append(QJsonObject{
                    {QStringLiteral("printer"), p.address()},
                    {QStringLiteral("mode"), QStringLiteral("normal")},
                    {QStringLiteral("model"), p.json.value(QLatin1String("model"))},
                    {QStringLiteral("firmware"), p.json.value(QLatin1String("firmware"))},
                    {QStringLiteral("state"), p.zelkState()},
                    {QStringLiteral("text"), p.statusLine()},
                    {QStringLiteral("serial"), p.id()},
                    {QStringLiteral("heldBy"), QStringLiteral("zelkd")}});
            print(stdout, QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
            return Success;
        }
        print(stdout, QStringLiteral("ADDRESS  SERIAL          STATE (held by zelkd at %1)")
                          .arg(z.base.toString()));
        for (const Printer& p : printers)
            print(stdout, p.address().leftJustified(7) + QLatin1String("  ") +
                              p.id().leftJustified(14) + QLatin1String("  ") + p.statusLine());
        return Success;
    }

    int code = -1;
    const std::optional<Printer> p = remote.pick(code);
    if (!p)
        return code >= 0 ? std::optional<int>(code) : std::nullopt;
    if (command == QLatin1String("status"))
        return status(remote, *p);
    if (command == QLatin1String("print"))
        return printFile(remote, *p);
    if (command == QLatin1String("pause"))
        return jobCommand(remote, *p,
                          {{QStringLiteral("command"), QStringLiteral("pause")},
                           {QStringLiteral("action"), QStringLiteral("toggle")}},
                          [](const Printer& before, const Printer& now) {
                              return now.zelkState() != before.zelkState();
                          });
    if (command == QLatin1String("abort"))
        return jobCommand(remote, *p, {{QStringLiteral("command"), QStringLiteral("cancel")}},
                          [](const Printer&, const Printer& now) {
                              return now.zelkState() == QLatin1String("Idle");
                          });
    if (command == QLatin1String("load") || command == QLatin1String("unload"))
        return filament(remote, *p, command == QLatin1String("load"));
    if (command == QLatin1String("version")) {
        print(stdout, p->json.value(QLatin1String("firmware")).toString());
        return Success;
    }
    if (command == QLatin1String("serial")) {
        print(stdout, p->id());
        return Success;
    }
    return std::nullopt;
}

} // namespace zelkctl
