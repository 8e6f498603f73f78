#pragma once

#include "EventBus.h"
#include "Settings.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

struct MHD_Connection;
struct MHD_Daemon;
struct MHD_PostProcessor;

namespace zelkd {

// A complete answer.
struct HttpResponse
{
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers;
    QString file; // a static file to send instead of body

    static HttpResponse json(int status, const QByteArray& body);
    static HttpResponse error(int status, const QString& message);
    static HttpResponse empty(int status = 204);
};

// Receives the parts of a multipart/form-data body as they stream in.
class FormSink
{
public:
    virtual ~FormSink() = default;
    // A chunk of the part `name`; `offset` 0 starts it. False stops the
    // parsing: the rest of the body is read and dropped.
    virtual bool part(const char* name, const char* filename, const char* data, size_t length,
                      uint64_t offset) = 0;
    // The body ended; `complete` is false when it stopped inside a part or
    // before its closing boundary (a client cut off, a malformed body).
    virtual void end(bool complete) = 0;
    // Whether the sink refused the body (the rest is read and dropped).
    virtual bool refused() const = 0;
};

// One request and its answer, as the API sees it. What the request carries
// is read on the HTTP thread that serves it; the answer may come from any
// thread, once.
class Exchange
{
public:
    enum class Body { None, Json, Form };

    Exchange(MHD_Connection* connection, QString loggedUri);
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // --- the request (HTTP thread)
    const QByteArray& method() const { return method_; }
    const QString& path() const { return path_; }    // decoded, without the query
    const QString& loggedUri() const { return uri; } // as sent, the key masked
    QString header(const char* name) const;
    QString query(const char* name) const;
    qint64 contentLength() const; // -1: not given
    const QByteArray& body() const { return body_; }
    bool bodyTooLarge() const { return tooLarge; }
    QString scheme() const;

    // What the body is read as (set while the headers are handled).
    void expectJson() { bodyKind = Body::Json; }
    // `sink` lives as long as the exchange; false when the body is not
    // multipart/form-data (no parser could be made).
    bool expectForm(FormSink* sink);

    // --- the answer (any thread, once; later calls are ignored)
    void respond(const HttpResponse& response);
    bool isAnswered() const;
    // Answers this exchange later, from any thread. Harmless once the
    // exchange is over (a client gone, the server stopped).
    class Later
    {
    public:
        void operator()(const HttpResponse& response) const;

    private:
        friend class Exchange;
        struct Link;
        std::shared_ptr<Link> link;
    };
    Later later();
    // An event stream: `first` goes out at once, then every event of the
    // bus until the client leaves or the server stops.
    void stream(const QByteArray& first);

    // State kept by the API across the calls of one request.
    std::shared_ptr<void> state;

private:
    friend class HttpServer;

    MHD_Connection* const connection;
    const QString uri;
    std::shared_ptr<Later::Link> link;
    QByteArray method_;
    QString path_;
    Body bodyKind = Body::None;
    QByteArray body_;
    bool tooLarge = false;
    qint64 discarded = 0;
    MHD_PostProcessor* form = nullptr;
    FormSink* formSink = nullptr;
    bool started = false;   // the headers were handled
    bool finishing = false; // the body is in; the API was asked to finish
    bool queued = false;

    mutable QMutex mutex; // guards what follows: the answer may come from any thread
    bool answered = false;
    bool suspended = false;
    bool streaming = false;
    QByteArray streamFirst;
    HttpResponse answer;
};

// The routes of the service: told about each request twice, once its
// headers are in (to refuse it early or say how to read its body) and once
// its body is in.
class Handler
{
public:
    virtual ~Handler() = default;
    virtual void begin(Exchange& exchange) = 0;
    virtual void finish(Exchange& exchange) = 0;
};

// The HTTP server: libmicrohttpd on its own threads (epoll), a bound on
// connections, an idle timeout, HTTPS when configured; requests that wait
// for a printer or a worker are suspended, not blocking a thread; event
// streams are suspended between events.
class HttpServer
{
public:
    HttpServer(const Settings& settings, Handler* handler, EventBus* bus);
    ~HttpServer(); // stop()

    bool start(QString& error);
    // Ends every event stream and waiting request, then the server.
    void stop();

    static constexpr int MaxJsonBody = 64 * 1024;
    // After a form was refused, at most this much more of a body without a
    // length is read (to answer); beyond it the connection is closed.
    static constexpr qint64 MaxDiscard = 4 * 1024 * 1024;

    struct Stream;
    struct Callbacks;

private:
    friend struct Callbacks;
    bool queue(Exchange& exchange);
    bool startStream(Exchange& exchange);

    const Settings& settings;
    Handler* const handler;
    EventBus* const bus;
    MHD_Daemon* daemon = nullptr;
    QByteArray certificate, key; // kept while the server runs

    QMutex mutex; // guards the sets below and stopping
    QList<Exchange*> waiting;
    QList<Stream*> streams;
    bool stopping = false;
};

} // namespace zelkd
