#include "Api.h"

#include "ApiKey.h"
#include "FarmPublisher.h"
#include "FileStore.h"
#include "History.h"
#include "OctoJson.h"
#include "PrinterHub.h"
#include "Settings.h"

#include <RMOptimizeTask.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QThreadPool>
#include <QUrl>

#include <cstring>

Q_LOGGING_CATEGORY(ApiLog, "zelkd.api")

namespace zelkd {

namespace {

const QString Version = QStringLiteral(ZELK_VERSION);

QByteArray compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

HttpResponse ok(const QJsonObject& o, int status = 200)
{
    return HttpResponse::json(status, compact(o));
}

HttpResponse fail(int status, const QString& message)
{
    return HttpResponse::error(status, message);
}

HttpResponse fromResult(const Result& r)
{
    switch (r.code) {
    case Result::Ok:
        return HttpResponse::empty(204);
    case Result::NoPrinter:
        return fail(404, r.message);
    case Result::Conflict:
        return fail(409, r.message);
    case Result::Failed:
        return fail(500, r.message);
    case Result::Timeout:
        return fail(503, r.message);
    }
    return fail(500, r.message);
}

bool isTrue(const QByteArray& value)
{
    const QByteArray v = value.trimmed().toLower();
    return v == "true" || v == "1" || v == "yes" || v == "on";
}

// --- the upload's multipart body

struct UploadSink : FormSink
{
    std::unique_ptr<FileStore::Upload> upload;
    EventBus* bus = nullptr;
    qint64 expected = -1; // Content-Length
    QString name;         // sanitised
    QString clientName;
    QHash<QByteArray, QByteArray> fields;
    bool sawFile = false;
    int status = 0; // the refusal, once there is one
    QString error;
    QElapsedTimer sincePublished;

    void end(bool complete) override
    {
        // A body cut short delivers a file cut short: never stored.
        if (!complete)
            refuse(400, QStringLiteral("the multipart body ended before its closing boundary"));
    }

    bool refused() const override { return status != 0; }

    void refuse(int code, const QString& why)
    {
        if (status == 0) {
            status = code;
            error = why;
            upload.reset(); // the partial file goes at once
        }
    }

    bool part(const char* key, const char* filename, const char* data, size_t length,
              uint64_t offset) override
    {
        if (status != 0)
            return false;
        if (std::strcmp(key, "file") == 0) {
            if (!sawFile) {
                sawFile = true;
                if (!filename || !*filename) {
                    refuse(400, QStringLiteral("the part \"file\" needs a file name"));
                    return false;
                }
                clientName = QString::fromUtf8(filename);
                FileStore::Error why = FileStore::Error::None;
                name = FileStore::sanitise(clientName, why);
                if (why == FileStore::Error::NotGcode) {
                    refuse(415, QStringLiteral("%1 is not a G-code file (.gcode, .gco, .g)")
                                    .arg(clientName));
                    return false;
                }
                if (name.isEmpty()) {
                    refuse(400, QStringLiteral("the file name %1 is not usable").arg(clientName));
                    return false;
                }
                sincePublished.start();
            } else if (offset == 0 && upload->size() > 0) {
                refuse(400, QStringLiteral("more than one part \"file\""));
                return false;
            }
            if (length > 0 && !upload->write(data, length)) {
                switch (upload->error()) {
                case FileStore::Error::TooLarge:
                    refuse(413, QStringLiteral("the file is larger than %1")
                                    .arg(formatSize(upload->size())));
                    break;
                case FileStore::Error::NoSpace:
                    refuse(507, QStringLiteral("no space left for the file"));
                    break;
                default:
                    refuse(500, QStringLiteral("the file could not be stored"));
                    break;
                }
                return false;
            }
            if (sincePublished.elapsed() >= 250) {
                sincePublished.restart();
                QJsonObject o{{QStringLiteral("file"), name},
                              {QStringLiteral("phase"), QStringLiteral("receiving")},
                              {QStringLiteral("bytes"), double(upload->size())}};
                if (expected > 0)
                    o.insert(QStringLiteral("percent"),
                             int(qMin<qint64>(100, upload->size() * 100 / expected)));
                bus->publish({"upload", compact(o)});
            }
            return true;
        }
        // The small fields: print, select, path, optimize; the rest is
        // read and dropped.
        QByteArray& value = fields[QByteArray(key)];
        if (value.size() + qint64(length) > 1024) {
            refuse(400, QStringLiteral("the field %1 is too long").arg(QLatin1String(key)));
            return false;
        }
        if (fields.size() > 32) {
            refuse(400, QStringLiteral("too many fields"));
            return false;
        }
        value.append(data, int(length));
        return true;
    }
};

} // namespace

// What a request asked for, kept between begin() and finish().
struct Api::Call
{
    const Route* route = nullptr;
    QString prefix;    // "" or "/printers/<id>"
    QString printerId; // the printer the call is for (Printer routes)
    QString tail;      // after "/api/files/local/"
    std::unique_ptr<UploadSink> upload;
};

struct Api::Route
{
    enum Scope { Any, Printer };
    const char* method;
    const char* path; // after "/api"; "/files/local/*" takes a name
    Scope scope;
    Exchange::Body body;
    void (*run)(Api& api, Exchange& ex, Call& call);
};

namespace {

// Why a request names no single printer: 409 with the URLs that exist.
HttpResponse which(const QVector<PrinterSnapshot>& printers, const QString& base)
{
    QJsonArray urls;
    for (const PrinterSnapshot& p : printers)
        urls.append(QJsonObject{{QStringLiteral("printer"), p.id},
                                {QStringLiteral("attached"), p.attached},
                                {QStringLiteral("url"), base + QStringLiteral("/printers/") + p.id +
                                                            QStringLiteral("/")}});
    int attached = 0;
    for (const PrinterSnapshot& p : printers)
        attached += p.attached ? 1 : 0;
    const QString text = printers.isEmpty()
                             ? QStringLiteral("no printer is attached")
                             : QStringLiteral("%1 printers are attached: address one as "
                                              "/printers/<serial>/api/...")
                                   .arg(attached);
    return ok(QJsonObject{{QStringLiteral("error"), text}, {QStringLiteral("printers"), urls}},
              409);
}

// The printer a plain /api call addresses: the one attached printer, or,
// with none attached, the one printer seen in this run.
std::optional<PrinterSnapshot> single(const QVector<PrinterSnapshot>& printers)
{
    std::optional<PrinterSnapshot> only;
    int attached = 0;
    for (const PrinterSnapshot& p : printers)
        if (p.attached) {
            ++attached;
            only = p;
        }
    if (attached == 1)
        return only;
    if (attached == 0 && printers.size() == 1)
        return printers.first();
    return std::nullopt;
}

std::optional<PrinterSnapshot> byId(const QVector<PrinterSnapshot>& printers, const QString& id)
{
    for (const PrinterSnapshot& p : printers)
        if (p.id == id || p.serial == id || (p.attached && p.address == id))
            return p;
    return std::nullopt;
}

// "http://host:port" as the client reached us (the Host header, when it is
// a plain host name), else as configured.
QString origin(const Exchange& ex, const Settings& settings)
{
    static const QRegularExpression host(QStringLiteral("^[A-Za-z0-9.:\\[\\]_-]{1,255}$"));
    const QString h = ex.header("Host");
    if (host.match(h).hasMatch())
        return ex.scheme() + QStringLiteral("://") + h;
    return settings.baseUrl();
}

QString apiBase(const Exchange& ex, const Settings& settings, const Api::Call& call)
{
    return origin(ex, settings) + call.prefix + QStringLiteral("/api");
}

// The JSON object of a request's body; otherwise `refusal` is set.
QJsonObject parseBody(Exchange& ex, std::optional<HttpResponse>& refusal)
{
    if (ex.bodyTooLarge()) {
        refusal = HttpResponse::error(413, QStringLiteral("the request body is too large"));
        return {};
    }
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(ex.body(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        refusal = HttpResponse::error(400, QStringLiteral("the body is not a JSON object"));
        return {};
    }
    return doc.object();
}

std::optional<PrinterSnapshot> current(PrinterHub* hub, const QString& id)
{
    return byId(hub->snapshots(), id);
}

} // namespace

// --- the calls

struct Calls
{
    static void version(Api&, Exchange& ex, Api::Call&)
    {
        ex.respond(ok(QJsonObject{
            {QStringLiteral("api"), QStringLiteral("0.1")},
            {QStringLiteral("server"), Version},
            {QStringLiteral("text"), QStringLiteral("OctoPrint (zelkd %1)").arg(Version)}}));
    }

    static void server(Api&, Exchange& ex, Api::Call&)
    {
        ex.respond(ok(QJsonObject{{QStringLiteral("version"), Version},
                                  {QStringLiteral("safemode"), QJsonValue()}}));
    }

    static void settings(Api&, Exchange& ex, Api::Call&)
    {
        ex.respond(ok(QJsonObject{
            {QStringLiteral("api"), QJsonObject{{QStringLiteral("allowCrossOrigin"), false}}},
            {QStringLiteral("appearance"),
             QJsonObject{{QStringLiteral("name"), QHostInfo::localHostName()}}},
            {QStringLiteral("feature"), QJsonObject{{QStringLiteral("sdSupport"), false}}},
            {QStringLiteral("gcodeAnalysis"),
             QJsonObject{{QStringLiteral("runAt"), QStringLiteral("never")}}},
            {QStringLiteral("webcam"), QJsonObject{{QStringLiteral("webcamEnabled"), false},
                                                   {QStringLiteral("streamUrl"), QString()}}},
            {QStringLiteral("plugins"), QJsonObject()},
        }));
    }

    static QJsonObject profile()
    {
        auto axis = [](int speed) {
            return QJsonObject{{QStringLiteral("speed"), speed},
                               {QStringLiteral("inverted"), false}};
        };
        return QJsonObject{
            {QStringLiteral("id"), QStringLiteral("_default")},
            {QStringLiteral("name"), QStringLiteral("Zelk")},
            {QStringLiteral("model"), QStringLiteral("Zelk")},
            {QStringLiteral("color"), QStringLiteral("default")},
            {QStringLiteral("current"), true},
            {QStringLiteral("default"), true},
            {QStringLiteral("heatedBed"), false},
            {QStringLiteral("heatedChamber"), false},
            {QStringLiteral("extruder"), QJsonObject{{QStringLiteral("count"), 1}}},
            {QStringLiteral("axes"), QJsonObject{{QStringLiteral("x"), axis(6000)},
                                                 {QStringLiteral("y"), axis(6000)},
                                                 {QStringLiteral("z"), axis(200)},
                                                 {QStringLiteral("e"), axis(300)}}},
        };
    }

    static void profiles(Api&, Exchange& ex, Api::Call&)
    {
        ex.respond(ok(QJsonObject{
            {QStringLiteral("profiles"), QJsonObject{{QStringLiteral("_default"), profile()}}}}));
    }

    static QJsonObject user()
    {
        return QJsonObject{
            {QStringLiteral("name"), QStringLiteral("zelkd")},
            {QStringLiteral("active"), true},
            {QStringLiteral("admin"), true},
            {QStringLiteral("user"), true},
            {QStringLiteral("groups"), QJsonArray{QStringLiteral("admins")}},
            {QStringLiteral("permissions"), QJsonArray()},
            {QStringLiteral("roles"), QJsonArray{QStringLiteral("user"), QStringLiteral("admin")}}};
    }

    static void login(Api&, Exchange& ex, Api::Call&)
    {
        // The key was checked: it is the one login there is.
        ex.respond(ok(user()));
    }

    static void currentUser(Api&, Exchange& ex, Api::Call&) { ex.respond(ok(user())); }

    static void connection(Api& api, Exchange& ex, Api::Call& call)
    {
        const std::optional<PrinterSnapshot> p = current(api.hub, call.printerId);
        QJsonArray ports;
        for (const PrinterSnapshot& s : api.hub->snapshots())
            if (s.attached)
                ports.append(s.address);
        const bool attached = p && p->attached;
        ex.respond(ok(QJsonObject{
            {QStringLiteral("current"),
             QJsonObject{
                 {QStringLiteral("state"),
                  p ? QLatin1String(octoState(*p).text) : QLatin1String("Closed")},
                 {QStringLiteral("port"), attached ? QJsonValue(p->address) : QJsonValue()},
                 {QStringLiteral("baudrate"), QJsonValue()},
                 {QStringLiteral("printerProfile"), QStringLiteral("_default")},
             }},
            {QStringLiteral("options"),
             QJsonObject{
                 {QStringLiteral("ports"), ports},
                 {QStringLiteral("baudrates"), QJsonArray()},
                 {QStringLiteral("printerProfiles"),
                  QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("_default")},
                                         {QStringLiteral("name"), QStringLiteral("Zelk")}}}},
                 {QStringLiteral("portPreference"), QJsonValue()},
                 {QStringLiteral("baudratePreference"), QJsonValue()},
                 {QStringLiteral("printerProfilePreference"), QStringLiteral("_default")},
                 {QStringLiteral("autoconnect"), true},
             }},
        }));
    }

    static void connectionCommand(Api& api, Exchange& ex, Api::Call& call)
    {
        std::optional<HttpResponse> refusal;
        const QJsonObject body = parseBody(ex, refusal);
        if (refusal)
            return ex.respond(*refusal);
        const QString command = body.value(QLatin1String("command")).toString();
        const std::optional<PrinterSnapshot> p = current(api.hub, call.printerId);
        if (command == QLatin1String("connect")) {
            // zelkd holds its printers from the moment they are plugged in.
            if (p && p->attached)
                return ex.respond(HttpResponse::empty(204));
            return ex.respond(fail(409, QStringLiteral("the printer is not attached")));
        }
        if (command == QLatin1String("disconnect") || command == QLatin1String("fake_ack"))
            return ex.respond(fail(400, QStringLiteral("zelkd keeps its printers connected")));
        ex.respond(fail(400, QStringLiteral("unknown command %1").arg(command)));
    }

    static void printerState(Api& api, Exchange& ex, Api::Call& call)
    {
        const std::optional<PrinterSnapshot> p = current(api.hub, call.printerId);
        if (!p || !octoState(*p).operational)
            return ex.respond(fail(409, QStringLiteral("Printer is not operational")));
        QJsonObject temperature = temperatureJson(*p);
        if (isTrue(ex.query("history").toUtf8())) {
            bool limited = false;
            const int limit = ex.query("limit").toInt(&limited);
            const QVector<TemperatureSample> samples = api.hub->temperatures(p->id);
            QJsonArray history;
            const int from = limited && limit > 0 ? std::max(0, samples.size() - limit) : 0;
            for (int i = samples.size() - 1; i >= from; --i)
                history.append(
                    QJsonObject{{QStringLiteral("time"), double(samples[i].timeMs / 1000)},
                                {QStringLiteral("tool0"),
                                 QJsonObject{{QStringLiteral("actual"), samples[i].actual},
                                             {QStringLiteral("target"), samples[i].target}}}});
            temperature.insert(QStringLiteral("history"), history);
        }
        ex.respond(
            ok(QJsonObject{{QStringLiteral("temperature"), temperature},
                           {QStringLiteral("sd"), QJsonObject{{QStringLiteral("ready"), false}}},
                           {QStringLiteral("state"), stateJson(*p)}}));
    }

    // After a printer command: the hub's answer as HTTP.
    static void command(Api& api, Exchange& ex,
                        std::function<void(PrinterHub*, PrinterHub::Reply)> work)
    {
        Exchange::Later later = ex.later();
        PrinterHub* hub = api.hub;
        hub->post(
            [hub, later, work] { work(hub, [later](const Result& r) { later(fromResult(r)); }); });
    }

    static void printerCommand(Api& api, Exchange& ex, Api::Call& call)
    {
        std::optional<HttpResponse> refusal;
        const QJsonObject body = parseBody(ex, refusal);
        if (refusal)
            return ex.respond(*refusal);
        if (body.contains(QLatin1String("script")))
            return ex.respond(fail(400, QStringLiteral("scripts are not supported")));
        QStringList lines;
        if (body.value(QLatin1String("command")).isString())
            lines << body.value(QLatin1String("command")).toString();
        for (const QJsonValue& v : body.value(QLatin1String("commands")).toArray())
            lines << v.toString();
        lines.removeAll(QString());
        if (lines.isEmpty() || lines.size() > 100)
            return ex.respond(fail(400, QStringLiteral("want \"command\" or \"commands\" (at "
                                                       "most 100 G-code lines)")));
        const std::optional<PrinterSnapshot> p = current(api.hub, call.printerId);
        if (!p || !octoState(*p).operational)
            return ex.respond(fail(409, QStringLiteral("Printer is not operational")));
        const QString id = call.printerId;
        command(api, ex, [id, lines](PrinterHub* hub, PrinterHub::Reply reply) {
            hub->gcode(id, lines, reply);
        });
    }

    static void jobState(Api& api, Exchange& ex, Api::Call& call)
    {
        const std::optional<PrinterSnapshot> p = current(api.hub, call.printerId);
        if (!p)
            return ex.respond(fail(404, QStringLiteral("no printer %1").arg(call.printerId)));
        const QString name = jobFileName(*p);
        ex.respond(ok(jobJson(*p, name.isEmpty() ? std::nullopt : api.files->find(name))));
    }

    static void jobCommand(Api& api, Exchange& ex, Api::Call& call)
    {
        std::optional<HttpResponse> refusal;
        const QJsonObject body = parseBody(ex, refusal);
        if (refusal)
            return ex.respond(*refusal);
        const QString cmd = body.value(QLatin1String("command")).toString();
        const QString id = call.printerId;
        if (cmd == QLatin1String("start")) {
            command(api, ex, [id](PrinterHub* hub, PrinterHub::Reply reply) {
                hub->startSelected(id, reply);
            });
        } else if (cmd == QLatin1String("cancel")) {
            command(api, ex,
                    [id](PrinterHub* hub, PrinterHub::Reply reply) { hub->cancel(id, reply); });
        } else if (cmd == QLatin1String("pause")) {
            const QString action =
                body.value(QLatin1String("action")).toString(QStringLiteral("toggle"));
            if (action != QLatin1String("pause") && action != QLatin1String("resume") &&
                action != QLatin1String("toggle"))
                return ex.respond(fail(400, QStringLiteral("unknown action %1").arg(action)));
            command(api, ex, [id, action](PrinterHub* hub, PrinterHub::Reply reply) {
                hub->pause(id, action, reply);
            });
        } else if (cmd == QLatin1String("restart")) {
            ex.respond(fail(409, QStringLiteral("the printer cannot restart a print")));
        } else {
            ex.respond(fail(400, QStringLiteral("unknown command %1").arg(cmd)));
        }
    }

    static void fileList(Api& api, Exchange& ex, Api::Call& call)
    {
        const QString base = apiBase(ex, api.settings, call);
        QJsonArray list;
        for (const StoredFile& f : api.files->list())
            list.append(fileJson(f, api.history ? api.history->stats(f.name) : PrintStats(), base));
        ex.respond(ok(QJsonObject{{QStringLiteral("files"), list},
                                  {QStringLiteral("free"), double(api.files->freeSpace())}}));
    }

    static void fileInfo(Api& api, Exchange& ex, Api::Call& call)
    {
        const std::optional<StoredFile> f = api.files->find(call.tail);
        if (!f)
            return ex.respond(fail(404, QStringLiteral("no file %1").arg(call.tail)));
        ex.respond(ok(fileJson(*f, api.history ? api.history->stats(f->name) : PrintStats(),
                               apiBase(ex, api.settings, call))));
    }

    static void fileDelete(Api& api, Exchange& ex, Api::Call& call)
    {
        FileStore::Error error = FileStore::Error::None;
        if (api.files->remove(call.tail, error))
            return ex.respond(HttpResponse::empty(204));
        if (error == FileStore::Error::NotFound)
            return ex.respond(fail(404, QStringLiteral("no file %1").arg(call.tail)));
        if (error == FileStore::Error::InUse)
            return ex.respond(fail(409, QStringLiteral("%1 is being printed").arg(call.tail)));
        ex.respond(fail(500, QStringLiteral("%1 could not be removed").arg(call.tail)));
    }

    static void fileCommand(Api& api, Exchange& ex, Api::Call& call)
    {
        std::optional<HttpResponse> refusal;
        const QJsonObject body = parseBody(ex, refusal);
        if (refusal)
            return ex.respond(*refusal);
        const std::optional<StoredFile> f = api.files->find(call.tail);
        if (!f)
            return ex.respond(fail(404, QStringLiteral("no file %1").arg(call.tail)));
        const QString cmd = body.value(QLatin1String("command")).toString();
        if (cmd != QLatin1String("select"))
            return ex.respond(fail(400, QStringLiteral("unsupported command %1").arg(cmd)));
        const bool print = body.value(QLatin1String("print")).toBool(false);
        const QString id = call.printerId;
        const StoredFile file = *f;
        command(api, ex, [id, file, print](PrinterHub* hub, PrinterHub::Reply reply) {
            if (print)
                hub->print(id, file, reply);
            else
                hub->select(id, file.name, reply);
        });
    }

    static void uploadBegin(Api& api, Exchange& ex, Api::Call& call)
    {
        const QString type = ex.header("Content-Type").toLower();
        if (!type.startsWith(QLatin1String("multipart/form-data")))
            return ex.respond(fail(400, QStringLiteral("an upload is multipart/form-data")));
        const qint64 length = ex.contentLength();
        // Refused before the body is sent (no "100 Continue"): too large, or
        // no room for it.
        // The form's own lines and small fields add at most this much.
        constexpr qint64 FormOverhead = 64 * 1024;
        if (length > api.files->maxUploadSize() + FormOverhead)
            return ex.respond(fail(413, QStringLiteral("the upload is larger than %1")
                                            .arg(formatSize(api.files->maxUploadSize()))));
        if (length > 0 && !api.files->fits(length))
            return ex.respond(
                fail(507, QStringLiteral("no space left for %1").arg(formatSize(length))));
        FileStore::Error error = FileStore::Error::None;
        call.upload = std::make_unique<UploadSink>();
        call.upload->upload = api.files->beginUpload(error);
        if (!call.upload->upload)
            return ex.respond(fail(500, QStringLiteral("the upload folder is not writable")));
        call.upload->bus = api.bus;
        call.upload->expected = length;
        if (!ex.expectForm(call.upload.get()))
            return ex.respond(fail(400, QStringLiteral("malformed multipart/form-data header")));
    }

    static void upload(Api& api, Exchange& ex, Api::Call& call)
    {
        UploadSink& sink = *call.upload;
        if (sink.status != 0)
            return ex.respond(fail(sink.status, sink.error));
        if (!sink.sawFile || sink.name.isEmpty())
            return ex.respond(fail(400, QStringLiteral("no file: the upload needs a part "
                                                       "\"file\" with a file name")));
        const bool optimize = sink.fields.contains("optimize")
                                  ? isTrue(sink.fields.value("optimize"))
                                  : api.settings.optimizeByDefault;
        FileStore::Error error = FileStore::Error::None;
        // A file to optimize is analysed as the optimizer leaves it.
        const std::optional<StoredFile> stored =
            api.files->commit(*sink.upload, sink.name, error, !optimize);
        sink.upload.reset(); // a file that could not be stored goes at once
        if (!stored) {
            switch (error) {
            case FileStore::Error::InUse:
                return ex.respond(fail(409, QStringLiteral("%1 is being printed and cannot be "
                                                           "replaced")
                                                .arg(sink.name)));
            case FileStore::Error::NoSpace:
                return ex.respond(fail(507, QStringLiteral("no space left for the file")));
            case FileStore::Error::TooLarge:
                return ex.respond(fail(413, QStringLiteral("the file is too large")));
            default:
                return ex.respond(fail(500, QStringLiteral("the file could not be stored")));
            }
        }
        qCInfo(ApiLog).noquote()
            << QStringLiteral("stored %1 (%2 bytes)").arg(stored->name).arg(stored->size);
        api.bus->publish(
            {"upload", compact(QJsonObject{{QStringLiteral("file"), stored->name},
                                           {QStringLiteral("phase"), QStringLiteral("stored")},
                                           {QStringLiteral("bytes"), double(stored->size)},
                                           {QStringLiteral("percent"), 100}})});
        const bool print = isTrue(sink.fields.value("print"));
        const bool select = print || isTrue(sink.fields.value("select"));
        UploadOrder order{&api,   ex.later(), origin(ex, api.settings), call.prefix, call.printerId,
                          select, print};
        if (!optimize)
            return stored_(order, *stored);
        // The optimizer takes seconds on a big file: a worker runs it, and
        // the answer waits for it without holding an HTTP thread.
        const StoredFile file = *stored;
        QThreadPool::globalInstance()->start([order, file] { optimizeThen(order, file); });
    }

    struct UploadOrder
    {
        Api* api;
        Exchange::Later later;
        QString origin;
        QString prefix;
        QString printerId;
        bool select;
        bool print;
    };

    static void optimizeThen(const UploadOrder& order, const StoredFile& file)
    {
        QFile input(file.path);
        const QString temporary = order.api->files->temporaryPath();
        QFile output(temporary);
        if (!input.open(QIODevice::ReadOnly) || !output.open(QIODevice::WriteOnly)) {
            QFile::remove(temporary);
            order.api->files->analyse(file.name); // stored as it came
            return order.later(fail(500, QStringLiteral("the optimizer cannot start")));
        }
        RMOptimizeTask task(&input, &output);
        task.optimize();
        output.close();
        if (task.error() != RMOptimizeTask::NoError) {
            QFile::remove(temporary);
            order.api->files->analyse(file.name);
            // The file stays as it came; nothing of it is printed.
            return order.later(fail(422, QStringLiteral("the optimizer failed: %1 (the file "
                                                        "is stored as it came)")
                                             .arg(task.errorString())));
        }
        FileStore::Error error = FileStore::Error::None;
        const std::optional<StoredFile> optimized =
            order.api->files->replace(file.name, temporary, error);
        if (!optimized) {
            order.api->files->analyse(file.name); // as it came
            return order.later(fail(error == FileStore::Error::InUse ? 409 : 500,
                                    QStringLiteral("the optimized file could not be stored")));
        }
        qCInfo(ApiLog).noquote() << QStringLiteral("optimized %1: %2 -> %3 bytes")
                                        .arg(file.name)
                                        .arg(file.size)
                                        .arg(optimized->size);
        stored_(order, *optimized);
    }

    // The file is in the store: answer, after selecting or printing it.
    static void stored_(const UploadOrder& order, const StoredFile& file)
    {
        const QString resource = order.origin + order.prefix + QStringLiteral("/api/files/local/") +
                                 QString::fromUtf8(QUrl::toPercentEncoding(file.name));
        auto answer = [order, file, resource](bool selected, bool printing, const QString& note) {
            QJsonObject local{
                {QStringLiteral("name"), file.name},
                {QStringLiteral("display"), file.name},
                {QStringLiteral("path"), file.name},
                {QStringLiteral("origin"), QStringLiteral("local")},
                {QStringLiteral("refs"), QJsonObject{{QStringLiteral("resource"), resource}}}};
            QJsonObject body{
                {QStringLiteral("files"), QJsonObject{{QStringLiteral("local"), local}}},
                {QStringLiteral("done"), true},
                {QStringLiteral("effectiveSelect"), selected},
                {QStringLiteral("effectivePrint"), printing},
            };
            if (!note.isEmpty())
                body.insert(QStringLiteral("zelk"),
                            QJsonObject{{QStringLiteral("notPrinted"), note}});
            HttpResponse r = ok(body, 201);
            r.headers.append(qMakePair(QByteArrayLiteral("Location"), resource.toUtf8()));
            order.later(r);
        };
        if (!order.select)
            return answer(false, false, QString());
        Api& api = *order.api;
        QString id = order.printerId;
        if (id.isEmpty()) {
            const QVector<PrinterSnapshot> printers = api.hub->snapshots();
            const std::optional<PrinterSnapshot> p = single(printers);
            if (!p) {
                // Stored for all printers; which one prints it is for the
                // client to say.
                HttpResponse r = which(printers, order.origin);
                QJsonObject o = QJsonDocument::fromJson(r.body).object();
                o.insert(QStringLiteral("error"),
                         QStringLiteral("stored as %1, but not printed: %2")
                             .arg(file.name, o.value(QLatin1String("error")).toString()));
                r.body = compact(o);
                return order.later(r);
            }
            id = p->id;
        }
        const bool print = order.print;
        api.hub->post([hub = api.hub, id, file, print, answer] {
            auto reply = [answer, print](const Result& r) {
                // As printer hosts answer: the file is stored either way; a
                // printer that is busy or gone just does not select or print.
                if (r.code == Result::Ok)
                    answer(true, print, QString());
                else
                    answer(false, false, r.message);
            };
            if (print)
                hub->print(id, file, reply);
            else
                hub->select(id, file.name, reply);
        });
    }

    static void filament(Api& api, Exchange& ex, Api::Call& call)
    {
        std::optional<HttpResponse> refusal;
        const QJsonObject body = parseBody(ex, refusal);
        if (refusal)
            return ex.respond(*refusal);
        const QString cmd = body.value(QLatin1String("command")).toString();
        if (cmd != QLatin1String("load") && cmd != QLatin1String("unload"))
            return ex.respond(fail(400, QStringLiteral("want \"command\": \"load\" or "
                                                       "\"unload\"")));
        const QString id = call.printerId;
        const bool load = cmd == QLatin1String("load");
        command(api, ex, [id, load](PrinterHub* hub, PrinterHub::Reply reply) {
            hub->filament(id, load, reply);
        });
    }

    static void printers(Api& api, Exchange& ex, Api::Call&)
    {
        const QString base = origin(ex, api.settings);
        QJsonArray list;
        for (const PrinterSnapshot& p : api.hub->snapshots()) {
            QJsonObject o = printerJson(p);
            o.insert(QStringLiteral("url"),
                     base + QStringLiteral("/printers/") + p.id + QStringLiteral("/"));
            list.append(o);
        }
        ex.respond(ok(QJsonObject{{QStringLiteral("printers"), list}}));
    }

    static void events(Api& api, Exchange& ex, Api::Call&)
    {
        // What a page opened now must show at once: every printer, its last
        // 30 minutes of temperatures, today's printer log.
        QByteArray first;
        auto frame = [&first](const char* type, const QJsonObject& o) {
            first += "event: " + QByteArray(type) + "\ndata: " + compact(o) + "\n\n";
        };
        for (const PrinterSnapshot& p : api.hub->snapshots()) {
            frame("printer", printerJson(p));
            QJsonArray samples;
            for (const TemperatureSample& s : api.hub->temperatures(p.id))
                samples.append(QJsonArray{double(s.timeMs), s.actual, s.target});
            frame("temperatures", QJsonObject{{QStringLiteral("printer"), p.id},
                                              {QStringLiteral("samples"), samples}});
        }
        QJsonArray lines;
        for (const LogLine& l : api.hub->todaysLog())
            lines.append(QJsonObject{{QStringLiteral("printer"), l.printer},
                                     {QStringLiteral("time"), double(l.timeMs)},
                                     {QStringLiteral("text"), l.text}});
        frame("logs", QJsonObject{{QStringLiteral("lines"), lines}});
        if (api.farm)
            frame("farm", api.farm->farmJson());
        ex.stream(first);
    }

    static void farm(Api& api, Exchange& ex, Api::Call&)
    {
        ex.respond(ok(api.farm ? api.farm->farmJson()
                               : QJsonObject{{QStringLiteral("enabled"), false},
                                             {QStringLiteral("printers"), QJsonArray()}}));
    }

    static void historyList(Api& api, Exchange& ex, Api::Call&)
    {
        bool given = false;
        int limit = ex.query("limit").toInt(&given);
        if (!given || limit <= 0 || limit > 1000)
            limit = 100;
        History* history = api.history;
        Exchange::Later later = ex.later();
        api.hub->post([history, limit, later] {
            QJsonArray list;
            if (history)
                for (const PrintRecord& r : history->recent(limit))
                    list.append(QJsonObject{
                        {QStringLiteral("id"), double(r.id)},
                        {QStringLiteral("file"), r.file},
                        {QStringLiteral("checksum"), r.checksum},
                        {QStringLiteral("printer"), r.printer},
                        {QStringLiteral("started"), double(r.started.toSecsSinceEpoch())},
                        {QStringLiteral("ended"),
                         r.ended.isValid() ? QJsonValue(double(r.ended.toSecsSinceEpoch()))
                                           : QJsonValue()},
                        {QStringLiteral("outcome"),
                         r.outcome.isEmpty() ? QJsonValue() : QJsonValue(r.outcome)},
                        {QStringLiteral("reason"), r.reason},
                        {QStringLiteral("filament"),
                         r.filamentMm ? QJsonValue(*r.filamentMm) : QJsonValue()},
                    });
            later(ok(QJsonObject{{QStringLiteral("prints"), list}}));
        });
    }
};

namespace {

const Api::Route Routes[] = {
    {"GET", "/version", Api::Route::Any, Exchange::Body::None, Calls::version},
    {"GET", "/server", Api::Route::Any, Exchange::Body::None, Calls::server},
    {"GET", "/settings", Api::Route::Any, Exchange::Body::None, Calls::settings},
    {"GET", "/printerprofiles", Api::Route::Any, Exchange::Body::None, Calls::profiles},
    {"POST", "/login", Api::Route::Any, Exchange::Body::Json, Calls::login},
    {"GET", "/currentuser", Api::Route::Any, Exchange::Body::None, Calls::currentUser},
    {"GET", "/connection", Api::Route::Printer, Exchange::Body::None, Calls::connection},
    {"POST", "/connection", Api::Route::Printer, Exchange::Body::Json, Calls::connectionCommand},
    {"GET", "/printer", Api::Route::Printer, Exchange::Body::None, Calls::printerState},
    {"POST", "/printer/command", Api::Route::Printer, Exchange::Body::Json, Calls::printerCommand},
    {"GET", "/job", Api::Route::Printer, Exchange::Body::None, Calls::jobState},
    {"POST", "/job", Api::Route::Printer, Exchange::Body::Json, Calls::jobCommand},
    {"GET", "/files", Api::Route::Any, Exchange::Body::None, Calls::fileList},
    {"GET", "/files/local", Api::Route::Any, Exchange::Body::None, Calls::fileList},
    {"POST", "/files/local", Api::Route::Any, Exchange::Body::Form, Calls::upload},
    {"GET", "/files/local/*", Api::Route::Any, Exchange::Body::None, Calls::fileInfo},
    {"POST", "/files/local/*", Api::Route::Printer, Exchange::Body::Json, Calls::fileCommand},
    {"DELETE", "/files/local/*", Api::Route::Any, Exchange::Body::None, Calls::fileDelete},
    {"POST", "/zelkd/filament", Api::Route::Printer, Exchange::Body::Json, Calls::filament},
    {"GET", "/zelkd/printers", Api::Route::Any, Exchange::Body::None, Calls::printers},
    {"GET", "/zelkd/events", Api::Route::Any, Exchange::Body::None, Calls::events},
    {"GET", "/zelkd/history", Api::Route::Any, Exchange::Body::None, Calls::historyList},
    {"GET", "/zelkd/farm", Api::Route::Any, Exchange::Body::None, Calls::farm},
};

// Matches `path` (after "/api") to a route's pattern; `tail` takes the name
// of a "/*" pattern.
bool matches(const char* pattern, const QString& path, QString& tail)
{
    const QLatin1String p(pattern);
    if (p.endsWith(QLatin1String("/*"))) {
        const QLatin1String stem(pattern, int(std::strlen(pattern)) - 1);
        if (path.startsWith(stem) && path.size() > stem.size()) {
            tail = path.mid(stem.size());
            return true;
        }
        return false;
    }
    return path == p || path == p + QLatin1Char('/');
}

const QHash<QString, QByteArray>& contentTypes()
{
    static const QHash<QString, QByteArray> types{
        {QStringLiteral("html"), "text/html; charset=utf-8"},
        {QStringLiteral("js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("css"), "text/css; charset=utf-8"},
        {QStringLiteral("json"), "application/json"},
        {QStringLiteral("svg"), "image/svg+xml"},
        {QStringLiteral("png"), "image/png"},
        {QStringLiteral("ico"), "image/x-icon"},
        {QStringLiteral("txt"), "text/plain; charset=utf-8"},
    };
    return types;
}

// Where the page's files come from: Debian's JavaScript libraries that the
// page uses (each its own folder, nothing else of /usr/share/javascript),
// and the page's own folder.
struct StaticFolder
{
    QString prefix; // of the URL path
    QString root;
};

QVector<StaticFolder> staticFolders(const Settings& settings)
{
    return {{QStringLiteral("/javascript/chart.js/"),
             QStringLiteral(ZELK_JAVASCRIPT_FOLDER "/chart.js")},
            {QStringLiteral("/"), settings.webFolder}};
}

// `relative` below `root`: no hidden names, nothing outside it (symbolic
// links resolved first), a folder's index.html.
HttpResponse staticFile(const QString& rootFolder, QString relative)
{
    if (relative.isEmpty())
        relative = QStringLiteral("index.html");
    const QStringList segments = relative.split(QLatin1Char('/'));
    for (const QString& s : segments)
        if (s.isEmpty() || s.startsWith(QLatin1Char('.')))
            return fail(404, QStringLiteral("not found"));
    const QString root = QDir(rootFolder).canonicalPath();
    QString file = QFileInfo(root + QLatin1Char('/') + relative).canonicalFilePath();
    if (QFileInfo(file).isDir())
        file = QFileInfo(file + QStringLiteral("/index.html")).canonicalFilePath();
    if (root.isEmpty() || file.isEmpty() || !file.startsWith(root + QLatin1Char('/')) ||
        !QFileInfo(file).isFile())
        return fail(404, QStringLiteral("not found"));
    HttpResponse r;
    r.file = file;
    r.contentType =
        contentTypes().value(QFileInfo(file).suffix().toLower(), "application/octet-stream");
    r.headers.append(qMakePair(QByteArrayLiteral("Content-Security-Policy"),
                               QByteArrayLiteral("default-src 'self'; img-src 'self' data:; "
                                                 "style-src 'self' 'unsafe-inline'")));
    return r;
}

} // namespace

Api::Api(const Settings& s, const ApiKey& k, PrinterHub* h, FileStore* f, History* hi, EventBus* b)
    : settings(s), key(k), hub(h), files(f), history(hi), bus(b)
{}

void Api::begin(Exchange& ex)
{
    auto call = std::make_shared<Call>();
    ex.state = call;
    QString path = ex.path();

    // /printers/<serial or BUS:ADDRESS>/... addresses one printer.
    static const QRegularExpression printerPath(QStringLiteral("^/printers/([^/]+)(/.*)?$"));
    const QRegularExpressionMatch m = printerPath.match(path);
    if (m.hasMatch()) {
        call->printerId = m.captured(1);
        call->prefix = QStringLiteral("/printers/") + call->printerId;
        path = m.captured(2).isEmpty() ? QStringLiteral("/") : m.captured(2);
    }

    if (path == QLatin1String("/plugin/appkeys/probe"))
        return ex.respond(fail(404, QStringLiteral("no application keys here: enter the API "
                                                   "key (zelkd --show-key shows it)")));
    const bool api = path == QLatin1String("/api") || path.startsWith(QLatin1String("/api/"));
    if (!api && !path.startsWith(QLatin1String("/plugin/"))) {
        // The page: its files need no key (its API calls do).
        if (ex.method() != "GET" && ex.method() != "HEAD")
            return ex.respond(fail(405, QStringLiteral("method not allowed")));
        for (const StaticFolder& folder : staticFolders(settings))
            if (path.startsWith(folder.prefix))
                return ex.respond(staticFile(folder.root, path.mid(folder.prefix.size())));
        return ex.respond(fail(404, QStringLiteral("not found")));
    }

    // Every API call carries the key.
    QString given = ex.header("X-Api-Key");
    if (given.isEmpty()) {
        const QString bearer = ex.header("Authorization");
        if (bearer.startsWith(QLatin1String("Bearer "), Qt::CaseInsensitive))
            given = bearer.mid(7).trimmed();
    }
    if (given.isEmpty())
        given = ex.query("apikey");
    if (given.isEmpty())
        return ex.respond(fail(401, QStringLiteral("an API key is needed: the X-Api-Key header "
                                                   "or the apikey parameter")));
    if (!key.matches(given.toUtf8()))
        return ex.respond(fail(403, QStringLiteral("wrong API key")));

    if (!api)
        return ex.respond(fail(404, QStringLiteral("no such plugin")));
    path = path.mid(4);
    if (path.startsWith(QLatin1String("/files/")) &&
        !path.startsWith(QLatin1String("/files/local")))
        return ex.respond(fail(404, QStringLiteral("unknown storage: only \"local\"")));

    bool known = false;
    for (const Route& r : Routes) {
        QString tail;
        if (!matches(r.path, path, tail))
            continue;
        known = true;
        if (ex.method() != r.method)
            continue;
        call->route = &r;
        call->tail = tail;
        break;
    }
    if (!call->route)
        return ex.respond(known ? fail(405, QStringLiteral("method not allowed"))
                                : fail(404, QStringLiteral("no such call %1").arg(path)));

    if (call->route->scope == Route::Printer || !call->printerId.isEmpty()) {
        const QVector<PrinterSnapshot> printers = hub->snapshots();
        if (!call->printerId.isEmpty()) {
            const std::optional<PrinterSnapshot> p = byId(printers, call->printerId);
            if (!p) {
                HttpResponse r = which(printers, origin(ex, settings));
                QJsonObject o = QJsonDocument::fromJson(r.body).object();
                o.insert(QStringLiteral("error"),
                         QStringLiteral("no printer %1").arg(call->printerId));
                r.status = 404;
                r.body = compact(o);
                return ex.respond(r);
            }
            call->printerId = p->id;
        } else {
            const std::optional<PrinterSnapshot> p = single(printers);
            if (!p)
                return ex.respond(which(printers, origin(ex, settings)));
            call->printerId = p->id;
        }
    }

    switch (call->route->body) {
    case Exchange::Body::Json:
        ex.expectJson();
        break;
    case Exchange::Body::Form:
        Calls::uploadBegin(*this, ex, *call);
        break;
    case Exchange::Body::None:
        break;
    }
}

void Api::finish(Exchange& ex)
{
    if (ex.isAnswered())
        return;
    auto call = std::static_pointer_cast<Call>(ex.state);
    if (!call || !call->route)
        return ex.respond(fail(500, QStringLiteral("no route")));
    call->route->run(*this, ex, *call);
}

} // namespace zelkd
