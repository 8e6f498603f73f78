#include "IPCChannel.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

// Every channel here is between this process and copies of
// ipc_channel_helper, started with QProcess.

namespace {

const int WaitMs = 20000;

QByteArray frame(const QByteArray& payload)
{
    const quint32 length = quint32(payload.size());
    QByteArray bytes(int(sizeof length), Qt::Uninitialized);
    std::memcpy(bytes.data(), &length, sizeof length);
    return bytes + payload;
}

QByteArray lengthOnly(quint32 length)
{
    return frame(QByteArray())
        .replace(0, 4, QByteArray::fromRawData(reinterpret_cast<const char*>(&length), 4));
}

// waitForFinished() is false for a process that has already been reaped, as
// happens while an event loop runs.
bool finished(QProcess& process)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(WaitMs);
}

// The user's own runtime directory holds the socket and its lock (on Linux;
// /tmp is shared by every user there).
QString channelDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

QString socketPath(const IPCChannel& channel)
{
    return channelDirectory() + QLatin1Char('/') + channel.serverName();
}

// Reads length-prefixed frames until count more have arrived or nothing more
// comes; pending keeps a partial frame for the next call.
QStringList readFrames(QLocalSocket& socket, QByteArray& pending, int count)
{
    QStringList frames;
    while (frames.size() < count) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(WaitMs))
            break;
        pending += socket.readAll();
        while (pending.size() >= 4) {
            quint32 length = 0;
            std::memcpy(&length, pending.constData(), 4);
            if (quint32(pending.size()) - 4 < length)
                break;
            frames << QString::fromUtf8(pending.mid(4, int(length)));
            pending.remove(0, 4 + int(length));
        }
    }
    return frames;
}

} // namespace

class IPCChannelTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void serverRole();
    void processesStartedTogetherMakeOneServer();
    void staleSocketOfKilledServerIsRemoved();
    void messages_data();
    void messages();
    void wire_data();
    void wire();

private:
    QString uniqueName();
    std::unique_ptr<QProcess> startHelper(const QString& name,
                                          const QStringList& messages = QStringList());
    static QString readLine(QProcess& process);
    void stopServer(const QString& name, QProcess& server);

    int m_names = 0;
};

void IPCChannelTest::initTestCase()
{
    QVERIFY2(QFileInfo(QStringLiteral(IPC_CHANNEL_HELPER)).isExecutable(), IPC_CHANNEL_HELPER);
}

QString IPCChannelTest::uniqueName()
{
    // Other test runs may use channels at the same time.
    return QStringLiteral("zelk-ipc-test %1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(++m_names);
}

std::unique_ptr<QProcess> IPCChannelTest::startHelper(const QString& name,
                                                      const QStringList& messages)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(IPC_CHANNEL_HELPER), QStringList{name} + messages);
    return process;
}

QString IPCChannelTest::readLine(QProcess& process)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(WaitMs))
            return QStringLiteral("<no line; state %1>").arg(process.state());
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}

// Ends a helper server the polite way, which also shows that it still serves.
void IPCChannelTest::stopServer(const QString& name, QProcess& server)
{
    IPCChannel client(name);
    QVERIFY(!client.isServer());
    QSignalSpy answers(&client, &IPCChannel::messageReceived);
    QVERIFY(client.sendMessage(QStringLiteral("quit")));
    QVERIFY(answers.wait(WaitMs));
    QCOMPARE(answers.at(0).at(0).toString(), QStringLiteral("bye"));
    QVERIFY(finished(server));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    // The server is gone: once the disconnection is seen there is nobody to
    // send to.
    QTRY_VERIFY_WITH_TIMEOUT(!client.sendMessage(QStringLiteral("anyone?")), WaitMs);
}

void IPCChannelTest::serverRole()
{
    // The socket is named by the SHA-1 of the channel name: any build of the
    // program finds a running one by it.
    IPCChannel channel(QStringLiteral("abc"));
    QCOMPARE(channel.channelName(), QStringLiteral("abc"));
    QCOMPARE(channel.serverName(), QStringLiteral("a9993e364706816aba3e25717850c26c9cd0d89d"));

    IPCChannel server(uniqueName());
    QVERIFY(server.isServer());
    // Only this user may connect.
    const QFileInfo socket(socketPath(server));
    QVERIFY(socket.exists());
    QCOMPARE(socket.ownerId(), uint(::getuid()));
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(socket.permissions() & others, QFile::Permissions());
    // The lock only lasts for the decision.
    QVERIFY(!QFile::exists(channelDirectory() + "/" + server.serverName() + ".lock"));
    // And the directory is this user's alone.
    const QFileInfo directory(channelDirectory());
    QCOMPARE(directory.ownerId(), uint(::getuid()));
    QCOMPARE(directory.permissions() & others, QFile::Permissions());
    // A server has nobody to send to outside the delivery of a message.
    QVERIFY(!server.sendMessage(QStringLiteral("hello")));
}

void IPCChannelTest::processesStartedTogetherMakeOneServer()
{
    for (int round = 0; round < 3; ++round) {
        const QString name = uniqueName();
        std::vector<std::unique_ptr<QProcess>> helpers;
        for (int i = 0; i < 4; ++i)
            helpers.push_back(startHelper(name));

        QProcess* server = nullptr;
        int clients = 0;
        for (auto& helper : helpers) {
            const QString role = readLine(*helper);
            if (role == QLatin1String("server")) {
                QVERIFY2(!server, "two servers");
                server = helper.get();
            } else {
                QCOMPARE(role, QStringLiteral("client"));
                ++clients;
            }
        }
        QVERIFY(server);
        QCOMPARE(clients, 3);
        for (auto& helper : helpers) {
            if (helper.get() != server) {
                QVERIFY(finished(*helper));
                QCOMPARE(helper->exitCode(), 0);
            }
        }
        stopServer(name, *server);
    }
}

void IPCChannelTest::staleSocketOfKilledServerIsRemoved()
{
    const QString name = uniqueName();
    auto crashed = startHelper(name);
    QCOMPARE(readLine(*crashed), QStringLiteral("server"));
    crashed->kill();
    QVERIFY(finished(*crashed));

    IPCChannel channel(name);
    QVERIFY(channel.isServer());
    QVERIFY(QFileInfo(socketPath(channel)).exists());

    // And it serves: a slot answers the sender through sendMessage().
    connect(&channel, &IPCChannel::messageReceived, this, [&channel](const QString& text) {
        QVERIFY(channel.sendMessage(QStringLiteral("pong to ") + text));
    });
    auto client = startHelper(name, {QStringLiteral("ping")});
    QCOMPARE(readLine(*client), QStringLiteral("client"));
    QTRY_VERIFY_WITH_TIMEOUT(client->canReadLine(), WaitMs);
    QCOMPARE(readLine(*client), QStringLiteral("answer pong to ping"));
    QVERIFY(finished(*client));
}

void IPCChannelTest::messages_data()
{
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("answers");

    QTest::newRow("two back to back")
        << QStringList{"first", "second"} << QStringList{"ack:5:first", "ack:6:second"};
    QTest::newRow("cut at an embedded zero")
        << QStringList{QStringLiteral("abc") + QChar(0) + QStringLiteral("def")}
        << QStringList{"ack:3:abc"};
    QTest::newRow("short ones in a row") << QStringList{"a", "b", "c", "d"}
                                         << QStringList{"ack:1:a", "ack:1:b", "ack:1:c", "ack:1:d"};
    QTest::newRow("UTF-8") << QStringList{QStringLiteral("Grüße ✓")}
                           << QStringList{QStringLiteral("ack:11:Grüße ✓")};
}

void IPCChannelTest::messages()
{
    QFETCH(QStringList, sent);
    QFETCH(QStringList, answers);

    const QString name = uniqueName();
    auto server = startHelper(name);
    QCOMPARE(readLine(*server), QStringLiteral("server"));
    {
        IPCChannel client(name);
        QVERIFY(!client.isServer());
        QStringList received;
        connect(&client, &IPCChannel::messageReceived, this,
                [&received](const QString& text) { received << text; });
        for (const QString& message : sent)
            QVERIFY(client.sendMessage(message));
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), answers.size(), WaitMs);
        QCOMPARE(received, answers);
    }
    stopServer(name, *server);
}

void IPCChannelTest::wire_data()
{
    // What a peer writes, piece by piece, and what the server makes of it.
    // After each piece the answers it completes are awaited before the next
    // piece goes out, so that every piece reaches the server on its own.
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<int>>("answeredAfter"); // answers in all, after each piece
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<bool>("dropped");

    using Pieces = QList<QByteArray>;
    using Counts = QList<int>;
    QTest::newRow("two frames in one write")
        << Pieces{frame("first") + frame("second")} << Counts{2}
        << QStringList{"ack:5:first", "ack:6:second"} << false;
    QTest::newRow("frames shorter than a length field, one by one")
        << Pieces{frame("ab"), frame("cd"), frame("e")} << Counts{1, 2, 3}
        << QStringList{"ack:2:ab", "ack:2:cd", "ack:1:e"} << false;
    Pieces bytes;
    Counts counts;
    const QByteArray split = frame("split") + frame("again");
    for (int i = 0; i < split.size(); ++i) {
        bytes << split.mid(i, 1);
        counts << (i + 1 >= 18 ? 2 : i + 1 >= 9 ? 1 : 0);
    }
    QTest::newRow("a byte at a time")
        << bytes << counts << QStringList{"ack:5:split", "ack:5:again"} << false;
    QTest::newRow("zero byte") << Pieces{frame(QByteArray("abc\0def", 7))} << Counts{1}
                               << QStringList{"ack:3:abc"} << false;
    QTest::newRow("zero byte first")
        << Pieces{frame(QByteArray("\0abc", 4))} << Counts{1} << QStringList{"ack:0:"} << false;
    QTest::newRow("empty frame carries nothing")
        << Pieces{frame(""), frame("x")} << Counts{0, 1} << QStringList{"ack:1:x"} << false;
    QTest::newRow("longest message")
        << Pieces{frame(QByteArray(int(IPCChannel::MaxMessageSize), 'a'))} << Counts{1}
        << QStringList{QStringLiteral("ack:1048576:") + QString(32, QLatin1Char('a'))} << false;
    QTest::newRow("one byte too long announced")
        << Pieces{lengthOnly(IPCChannel::MaxMessageSize + 1) + "aaaa"} << Counts{0} << QStringList{}
        << true;
    QTest::newRow("absurd length after a good frame")
        << Pieces{frame("ok"), lengthOnly(0xfffffff0u)} << Counts{1, 1} << QStringList{"ack:2:ok"}
        << true;
}

void IPCChannelTest::wire()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<int>, answeredAfter);
    QFETCH(QStringList, answers);
    QFETCH(bool, dropped);
    QCOMPARE(answeredAfter.size(), pieces.size());

    const QString name = uniqueName();
    auto server = startHelper(name);
    QCOMPARE(readLine(*server), QStringLiteral("server"));

    QLocalSocket socket;
    socket.connectToServer(
        channelDirectory() + QLatin1Char('/') +
        QString::fromLatin1(
            QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex()));
    QVERIFY(socket.waitForConnected(WaitMs));
    QStringList received;
    QByteArray pending;
    for (int i = 0; i < pieces.size(); ++i) {
        socket.write(pieces.at(i));
        while (socket.bytesToWrite() > 0)
            QVERIFY(socket.waitForBytesWritten(WaitMs));
        received += readFrames(socket, pending, answeredAfter.at(i) - received.size());
    }
    QCOMPARE(received, answers);
    if (dropped) {
        if (socket.state() != QLocalSocket::UnconnectedState)
            QVERIFY(socket.waitForDisconnected(WaitMs));
        QCOMPARE(socket.readAll(), QByteArray());
    }
    socket.abort();
    stopServer(name, *server);
}

QTEST_GUILESS_MAIN(IPCChannelTest)
#include "IPCChannelTest.moc"
