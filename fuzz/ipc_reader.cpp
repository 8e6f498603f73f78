// The single-instance channel's reader (IPCPeer::readMessages): what another
// process of the same user writes to the running program's socket, in the
// pieces the socket delivers. The messages handed on must be exactly those
// that the framing describes (a 4-byte length in host order, that many bytes,
// text up to the first zero), in order, and a peer that announces more than
// the limit must be disconnected after the messages before it.
//
// Input: one byte of choices, then the byte stream.
//   bits 0-6: write size - 1 (1 to 128 bytes per write)
#include "FuzzSupport.h"

#include <IPCChannel.h>

#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QStringList>

#include <cstring>
#include <stdlib.h>
#include <unistd.h>

namespace {

struct Server
{
    Server()
    {
        zelkfuzz::application();
        // The socket lives in the user's runtime directory: one of our own, so
        // that a running program and parallel fuzzing jobs stay apart.
        char pattern[] = "/tmp/zelk-fuzz-ipc-XXXXXX";
        const char* dir = mkdtemp(pattern);
        zelkfuzz::check(dir != nullptr, "a runtime directory");
        runtime = QString::fromLocal8Bit(dir);
        qputenv("XDG_RUNTIME_DIR", dir);
        channel = new IPCChannel(QStringLiteral("zelk-fuzz-%1").arg(getpid()));
        zelkfuzz::check(channel->isServer(), "the channel listens");
        path = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
               QLatin1Char('/') + channel->serverName();
        QObject::connect(channel, &IPCChannel::messageReceived,
                         [this](const QString& text) { received.append(text); });
    }

    ~Server()
    {
        delete channel;
        QDir(runtime).removeRecursively();
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    QString runtime;
    IPCChannel* channel;
    QString path;
    QStringList received;
};

Server& server()
{
    return zelkfuzz::untilExit<Server>();
}

// What the framing says the stream holds; `dropped` when a length over the
// limit ends the connection.
QStringList expectedMessages(const std::string& stream, bool& dropped)
{
    QStringList messages;
    dropped = false;
    size_t p = 0;
    while (stream.size() - p >= 4) {
        quint32 length = 0;
        std::memcpy(&length, stream.data() + p, 4);
        if (length > IPCChannel::MaxMessageSize) {
            dropped = true;
            break;
        }
        if (stream.size() - p - 4 < length)
            break;
        if (length > 0) {
            const std::string bytes = stream.substr(p + 4, length);
            const size_t zero = bytes.find('\0');
            messages.append(QString::fromUtf8(
                bytes.data(), int(zero == std::string::npos ? bytes.size() : zero)));
        }
        p += 4 + length;
    }
    return messages;
}

void pump()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    using zelkfuzz::check;
    Server& s = server();
    zelkfuzz::Input in(data, size);
    const size_t writeSize = (in.byte() & 0x7f) + 1;
    const std::string stream = in.rest();
    bool dropped = false;
    const QStringList expected = expectedMessages(stream, dropped);

    s.received.clear();
    QLocalSocket client;
    client.connectToServer(s.path);
    check(client.waitForConnected(5000), "the fuzzer connects to the channel");
    for (size_t p = 0; p < stream.size() && client.state() == QLocalSocket::ConnectedState;
         p += writeSize) {
        const std::string piece = stream.substr(p, writeSize);
        client.write(piece.data(), qint64(piece.size()));
        client.flush();
        pump();
    }

    // Delivery takes event-loop rounds on both ends; a bounded wait keeps a
    // reader that stopped reading from hanging the fuzzer.
    QElapsedTimer timer;
    timer.start();
    while ((s.received.size() < expected.size() ||
            (dropped && client.state() != QLocalSocket::UnconnectedState)) &&
           timer.elapsed() < 5000) {
        pump();
        client.waitForDisconnected(0);
    }
    pump();
    check(s.received == expected, "the channel delivers exactly the framed messages, in order");
    check(!dropped || client.state() == QLocalSocket::UnconnectedState,
          "a peer that announces too long a message is disconnected");

    client.abort();
    pump();
    return 0;
}
