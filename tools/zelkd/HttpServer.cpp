#include "HttpServer.h"

#include "ApiKey.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMimeDatabase>

#include <microhttpd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(HttpLog, "zelkd.http")

namespace zelkd {

namespace {

// Past this much unsent data a push stream's client is too slow: its stream
// ends (a browser's event source then reconnects and starts afresh).
constexpr qint64 StreamBacklogLimit = 8 * 1024 * 1024;
constexpr size_t FormBuffer = 64 * 1024;

QByteArray sseFrame(const Event& e)
{
    if (e.type == "heartbeat")
        return QByteArrayLiteral(": heartbeat\n\n");
    return "event: " + e.type + "\ndata: " + e.json + "\n\n";
}

} // namespace

// --- responses

HttpResponse HttpResponse::json(int status, const QByteArray& body)
{
    HttpResponse r;
    r.status = status;
    r.body = body;
    return r;
}

HttpResponse HttpResponse::error(int status, const QString& message)
{
    return json(status, QJsonDocument(QJsonObject{{QStringLiteral("error"), message}})
                            .toJson(QJsonDocument::Compact));
}

HttpResponse HttpResponse::empty(int status)
{
    HttpResponse r;
    r.status = status;
    r.contentType.clear();
    return r;
}

// --- exchange

struct Exchange::Later::Link
{
    QMutex mutex; // guards exchange
    Exchange* exchange = nullptr;
};

Exchange::Exchange(MHD_Connection* c, QString loggedUri)
    : connection(c), uri(std::move(loggedUri)), link(std::make_shared<Later::Link>())
{
    link->exchange = this;
}

Exchange::~Exchange()
{
    {
        QMutexLocker lock(&link->mutex);
        link->exchange = nullptr;
    }
    if (form)
        MHD_destroy_post_processor(form);
}

Exchange::Later Exchange::later()
{
    Later l;
    l.link = link;
    return l;
}

void Exchange::Later::operator()(const HttpResponse& response) const
{
    QMutexLocker lock(&link->mutex);
    if (link->exchange)
        link->exchange->respond(response);
}

QString Exchange::header(const char* name) const
{
    const char* v = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return v ? QString::fromUtf8(v) : QString();
}

QString Exchange::query(const char* name) const
{
    const char* v = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
    return v ? QString::fromUtf8(v) : QString();
}

qint64 Exchange::contentLength() const
{
    const char* v =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!v)
        return -1;
    bool ok = false;
    const qint64 n = QByteArray(v).trimmed().toLongLong(&ok);
    return ok && n >= 0 ? n : -1;
}

QString Exchange::scheme() const
{
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
    return info && info->protocol ? QStringLiteral("https") : QStringLiteral("http");
}

namespace {

MHD_Result formIterator(void* cls, MHD_ValueKind, const char* key, const char* filename,
                        const char*, const char*, const char* data, uint64_t offset, size_t size)
{
    auto* sink = static_cast<FormSink*>(cls);
    return sink->part(key ? key : "", filename, data, size, offset) ? MHD_YES : MHD_NO;
}

} // namespace

bool Exchange::expectForm(FormSink* sink)
{
    formSink = sink;
    form = MHD_create_post_processor(connection, FormBuffer, formIterator, sink);
    if (!form)
        return false;
    bodyKind = Body::Form;
    return true;
}

bool Exchange::isAnswered() const
{
    QMutexLocker lock(&mutex);
    return answered;
}

void Exchange::respond(const HttpResponse& response)
{
    QMutexLocker lock(&mutex);
    if (answered)
        return;
    answered = true;
    answer = response;
    if (suspended) {
        suspended = false;
        MHD_resume_connection(connection);
    }
}

void Exchange::stream(const QByteArray& first)
{
    QMutexLocker lock(&mutex);
    if (answered)
        return;
    answered = true;
    streaming = true;
    streamFirst = first;
    answer.status = 200;
}

// --- event streams

struct HttpServer::Stream
{
    HttpServer* server = nullptr;
    MHD_Connection* connection = nullptr;
    int subscription = 0;

    QMutex mutex; // guards what follows: events come from any thread
    std::deque<QByteArray> queue;
    size_t offset = 0; // into queue.front()
    qint64 backlog = 0;
    bool suspended = false;
    bool closing = false;

    void push(const QByteArray& frame)
    {
        QMutexLocker lock(&mutex);
        if (closing)
            return;
        queue.push_back(frame);
        backlog += frame.size();
        if (backlog > StreamBacklogLimit) {
            qCInfo(HttpLog) << "An event stream's client fell behind; its stream ends";
            queue.clear();
            offset = 0;
            backlog = 0;
            closing = true;
        }
        wake();
    }
    void close()
    {
        QMutexLocker lock(&mutex);
        closing = true;
        wake();
    }
    void wake() // caller holds the mutex
    {
        if (suspended) {
            suspended = false;
            MHD_resume_connection(connection);
        }
    }
    ssize_t read(char* buffer, size_t max)
    {
        QMutexLocker lock(&mutex);
        size_t copied = 0;
        while (!queue.empty() && copied < max) {
            const QByteArray& front = queue.front();
            const size_t n = std::min(max - copied, size_t(front.size()) - offset);
            std::memcpy(buffer + copied, front.constData() + offset, n);
            copied += n;
            offset += n;
            if (offset == size_t(front.size())) {
                backlog -= front.size();
                queue.pop_front();
                offset = 0;
            }
        }
        if (copied > 0)
            return ssize_t(copied);
        if (closing)
            return MHD_CONTENT_READER_END_OF_STREAM;
        // Nothing to send: out of the event loop until the next event.
        MHD_suspend_connection(connection);
        suspended = true;
        return 0;
    }
};

// --- server

struct HttpServer::Callbacks
{
    static void* uri(void* cls, const char* uri, MHD_Connection* connection)
    {
        Q_UNUSED(cls);
        return new Exchange(connection, maskApiKey(QString::fromUtf8(uri)));
    }

    static void completed(void* cls, MHD_Connection*, void** context,
                          MHD_RequestTerminationCode reason)
    {
        auto* server = static_cast<HttpServer*>(cls);
        auto* ex = static_cast<Exchange*>(*context);
        if (!ex)
            return;
        {
            QMutexLocker lock(&server->mutex);
            server->waiting.removeAll(ex);
        }
        int status = 0;
        {
            QMutexLocker lock(&ex->mutex);
            status = ex->answered ? ex->answer.status : 0;
        }
        const char* how = reason == MHD_REQUEST_TERMINATED_COMPLETED_OK      ? ""
                          : reason == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED ? " (timed out)"
                          : reason == MHD_REQUEST_TERMINATED_CLIENT_ABORT    ? " (client left)"
                                                                             : " (cut off)";
        if (status >= 400 || reason != MHD_REQUEST_TERMINATED_COMPLETED_OK)
            qCInfo(HttpLog).noquote()
                << QString::fromLatin1(ex->method_) << ex->uri << status << how;
        else
            qCDebug(HttpLog).noquote() << QString::fromLatin1(ex->method_) << ex->uri << status;
        delete ex;
        *context = nullptr;
    }

    static void log(void*, const char* format, va_list args)
    {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        qCWarning(HttpLog).noquote() << maskApiKey(QString::fromUtf8(text).trimmed());
    }

    static ssize_t streamRead(void* cls, uint64_t, char* buffer, size_t max)
    {
        return static_cast<Stream*>(cls)->read(buffer, max);
    }

    static void streamFree(void* cls)
    {
        auto* stream = static_cast<Stream*>(cls);
        stream->server->bus->unsubscribe(stream->subscription);
        {
            QMutexLocker lock(&stream->server->mutex);
            stream->server->streams.removeAll(stream);
        }
        delete stream;
    }

    static MHD_Result request(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char* uploadData,
                              size_t* uploadSize, void** context)
    {
        auto* server = static_cast<HttpServer*>(cls);
        auto* ex = static_cast<Exchange*>(*context);
        if (!ex) { // no URI callback ran (cannot happen; be safe)
            ex = new Exchange(connection, QString::fromUtf8(url));
            *context = ex;
        }
        if (!ex->started) {
            ex->started = true;
            ex->method_ = method;
            ex->path_ = QString::fromUtf8(url);
            server->handler->begin(*ex);
            if (ex->isAnswered())
                return server->queue(*ex) ? MHD_YES : MHD_NO; // before any body: no 100
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            const size_t n = *uploadSize;
            *uploadSize = 0;
            switch (ex->bodyKind) {
            case Exchange::Body::Json:
                if (ex->body_.size() + qint64(n) > MaxJsonBody)
                    ex->tooLarge = true;
                else
                    ex->body_.append(uploadData, int(n));
                break;
            case Exchange::Body::Form:
                // A refusal is kept by the sink; what follows is read and
                // dropped so that the answer can still be sent. A body that
                // says how long it is was checked against the limit first;
                // one that does not is cut off after a while.
                if (ex->form && MHD_post_process(ex->form, uploadData, n) != MHD_YES) {
                    MHD_destroy_post_processor(ex->form);
                    ex->form = nullptr;
                    if (!ex->formSink->refused())
                        ex->formSink->end(false);
                }
                if (!ex->form) {
                    ex->discarded += qint64(n);
                    if (ex->contentLength() < 0 && ex->discarded > MaxDiscard)
                        return MHD_NO;
                }
                break;
            case Exchange::Body::None:
                break;
            }
            return MHD_YES;
        }
        if (!ex->finishing) {
            ex->finishing = true;
            if (ex->form) {
                // Delivers what it still held, and says whether the body
                // ended where a form ends.
                const bool complete = MHD_destroy_post_processor(ex->form) == MHD_YES;
                ex->form = nullptr;
                ex->formSink->end(complete);
            }
            server->handler->finish(*ex);
        }
        // Lock order everywhere: the server's, then an exchange's or a stream's.
        QMutexLocker serverLock(&server->mutex);
        QMutexLocker lock(&ex->mutex);
        if (!ex->answered) {
            // The answer comes from another thread: off the event loop until
            // then, holding no thread.
            if (server->stopping) {
                ex->answered = true;
                ex->answer = HttpResponse::error(503, QStringLiteral("zelkd is stopping"));
            } else {
                server->waiting.append(ex);
                ex->suspended = true;
                MHD_suspend_connection(connection);
                return MHD_YES;
            }
        }
        lock.unlock();
        serverLock.unlock();
        if (ex->streaming)
            return server->startStream(*ex) ? MHD_YES : MHD_NO;
        return server->queue(*ex) ? MHD_YES : MHD_NO;
    }
};

HttpServer::HttpServer(const Settings& s, Handler* h, EventBus* b) : settings(s), handler(h), bus(b)
{}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::queue(Exchange& ex)
{
    if (ex.queued)
        return true;
    ex.queued = true;
    const HttpResponse& a = ex.answer;
    MHD_Response* r = nullptr;
    if (!a.file.isEmpty()) {
        const int fd = ::open(QFile::encodeName(a.file).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            r = MHD_create_response_from_fd(uint64_t(st.st_size), fd); // owns fd
        } else {
            if (fd >= 0)
                ::close(fd);
            const HttpResponse missing = HttpResponse::error(404, QStringLiteral("not found"));
            r = MHD_create_response_from_buffer(size_t(missing.body.size()),
                                                const_cast<char*>(missing.body.constData()),
                                                MHD_RESPMEM_MUST_COPY);
            MHD_add_response_header(r, "Content-Type", "application/json");
            const MHD_Result ok = MHD_queue_response(ex.connection, 404, r);
            MHD_destroy_response(r);
            return ok == MHD_YES;
        }
    } else {
        r = MHD_create_response_from_buffer(
            size_t(a.body.size()), const_cast<char*>(a.body.constData()), MHD_RESPMEM_MUST_COPY);
    }
    if (!r)
        return false;
    if (!a.contentType.isEmpty())
        MHD_add_response_header(r, "Content-Type", a.contentType.constData());
    for (const auto& h : a.headers)
        MHD_add_response_header(r, h.first.constData(), h.second.constData());
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, "Cache-Control", "no-store");
    const MHD_Result ok = MHD_queue_response(ex.connection, unsigned(a.status), r);
    MHD_destroy_response(r);
    return ok == MHD_YES;
}

bool HttpServer::startStream(Exchange& ex)
{
    if (ex.queued)
        return true;
    ex.queued = true;
    auto* stream = new Stream;
    stream->server = this;
    stream->connection = ex.connection;
    stream->queue.push_back(QByteArrayLiteral("retry: 3000\n\n") + ex.streamFirst);
    stream->backlog = stream->queue.back().size();
    {
        QMutexLocker lock(&mutex);
        if (stopping) {
            delete stream;
            return false;
        }
        streams.append(stream);
    }
    stream->subscription = bus->subscribe([stream](const Event& e) { stream->push(sseFrame(e)); });
    MHD_Response* r = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 16 * 1024, &Callbacks::streamRead, stream, &Callbacks::streamFree);
    if (!r) {
        Callbacks::streamFree(stream);
        return false;
    }
    MHD_add_response_header(r, "Content-Type", "text/event-stream");
    MHD_add_response_header(r, "Cache-Control", "no-store");
    MHD_add_response_header(r, "X-Accel-Buffering", "no"); // a reverse proxy must not hold it
    const MHD_Result ok = MHD_queue_response(ex.connection, 200, r);
    MHD_destroy_response(r); // the stream lives until MHD frees the response
    return ok == MHD_YES;
}

bool HttpServer::start(QString& error)
{
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                     MHD_USE_ERROR_LOG;
    if (settings.listenAddress == QHostAddress::AnyIPv6)
        flags |= MHD_USE_DUAL_STACK; // "::" means every address, IPv4 ones too
    else if (settings.listenAddress.protocol() == QAbstractSocket::IPv6Protocol)
        flags |= MHD_USE_IPv6;
    if (settings.useTls()) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            error = QStringLiteral("this libmicrohttpd has no TLS");
            return false;
        }
        QFile cert(settings.tlsCertificate), privateKey(settings.tlsKey);
        if (!cert.open(QIODevice::ReadOnly) || !privateKey.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read the TLS certificate or key");
            return false;
        }
        certificate = cert.readAll() + '\0';
        key = privateKey.readAll() + '\0';
        flags |= MHD_USE_TLS;
    }

    sockaddr_storage address{};
    socklen_t length = 0;
    if (settings.listenAddress.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(settings.port);
        const Q_IPV6ADDR ip = settings.listenAddress.toIPv6Address();
        std::memcpy(&a6->sin6_addr, &ip, sizeof ip);
        length = sizeof *a6;
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(settings.port);
        a4->sin_addr.s_addr = htonl(settings.listenAddress.toIPv4Address());
        length = sizeof *a4;
    }
    Q_UNUSED(length);

    using Request = MHD_Result (*)(void*, MHD_Connection*, const char*, const char*, const char*,
                                   const char*, size_t*, void**);
    const Request request = &Callbacks::request;
    if (settings.useTls()) {
        daemon = MHD_start_daemon(
            flags, settings.port, nullptr, nullptr, request, this, MHD_OPTION_EXTERNAL_LOGGER,
            &Callbacks::log, this, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
            MHD_OPTION_THREAD_POOL_SIZE, 2u, MHD_OPTION_CONNECTION_LIMIT,
            unsigned(settings.maxConnections), MHD_OPTION_CONNECTION_TIMEOUT,
            unsigned(settings.idleTimeoutS), MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t(128 * 1024),
            MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::uri, this, MHD_OPTION_NOTIFY_COMPLETED,
            &Callbacks::completed, this, MHD_OPTION_HTTPS_MEM_CERT, certificate.constData(),
            MHD_OPTION_HTTPS_MEM_KEY, key.constData(), MHD_OPTION_END);
    } else {
        daemon = MHD_start_daemon(
            flags, settings.port, nullptr, nullptr, request, this, MHD_OPTION_EXTERNAL_LOGGER,
            &Callbacks::log, this, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
            MHD_OPTION_THREAD_POOL_SIZE, 2u, MHD_OPTION_CONNECTION_LIMIT,
            unsigned(settings.maxConnections), MHD_OPTION_CONNECTION_TIMEOUT,
            unsigned(settings.idleTimeoutS), MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t(128 * 1024),
            MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::uri, this, MHD_OPTION_NOTIFY_COMPLETED,
            &Callbacks::completed, this, MHD_OPTION_END);
    }
    if (!daemon) {
        error = QStringLiteral("cannot listen on %1 port %2: %3")
                    .arg(settings.listenAddress.toString())
                    .arg(settings.port)
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

void HttpServer::stop()
{
    if (!daemon)
        return;
    {
        // Everything suspended is let go before the server ends: a suspended
        // connection would outlive it. Held throughout: MHD's threads free
        // exchanges and streams only after taking it.
        QMutexLocker lock(&mutex);
        stopping = true;
        for (Exchange* ex : qAsConst(waiting))
            ex->respond(HttpResponse::error(503, QStringLiteral("zelkd is stopping")));
        for (Stream* s : qAsConst(streams))
            s->close();
    }
    MHD_stop_daemon(daemon);
    daemon = nullptr;
}

} // namespace zelkd
