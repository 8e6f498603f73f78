#include "IPCChannel.h"
#include "IPCChannel_p.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QStandardPaths>

#include <cstring>

namespace {

const int ConnectTimeoutMs = 30000;
const int LengthSize = int(sizeof(quint32));

QString serverNameFor(const QString& channelName)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(channelName.toUtf8(), QCryptographicHash::Sha1).toHex());
}

// Where the socket and its lock file live: a directory of this user's own.
// The temporary directory is per user on macOS, but /tmp is shared by every
// user on Linux: there one user's running program would keep every other
// user's from starting (it can neither connect to nor replace a socket it
// does not own). Linux gives each user a private runtime directory.
QString channelDirectory()
{
#ifdef Q_OS_LINUX
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return runtime;
#endif
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

QString lockFilePathFor(const QString& serverName)
{
    return channelDirectory() + QLatin1Char('/') + serverName + QStringLiteral(".lock");
}

QString socketPathFor(const QString& serverName)
{
    return channelDirectory() + QLatin1Char('/') + serverName;
}

} // namespace

IPCPeer::IPCPeer(IPCChannelPrivate* channel, QLocalSocket* socket)
    : QObject(channel->q_ptr), m_channel(channel), m_socket(socket)
{
    m_channel->peers.append(this);
    // Room for the longest message and the next length, and no more: bounds
    // what one peer can make us hold, yet an acceptable message always fits.
    // Not sized to each message: a buffer smaller than a length field stops
    // the reading for good once a message shorter than 4 bytes has been read.
    m_socket->setReadBufferSize(qint64(IPCChannel::MaxMessageSize) + LengthSize);
    connect(m_socket, &QLocalSocket::readyRead, this, &IPCPeer::readMessages);
    connect(m_socket, &QLocalSocket::disconnected, this, &IPCPeer::dropConnection);
}

IPCPeer::~IPCPeer()
{
    m_channel->peers.removeOne(this);
    if (m_socket) {
        m_socket->disconnect(this);
        // Later: this may run from a slot of the socket's own signal.
        m_socket->deleteLater();
    }
}

void IPCPeer::send(const QByteArray& utf8)
{
    if (!m_socket)
        return;
    // One write per message, so that a frame is never split by another.
    const quint32 length = quint32(utf8.size());
    QByteArray frame(LengthSize, Qt::Uninitialized);
    std::memcpy(frame.data(), &length, sizeof length);
    frame += utf8;
    m_socket->write(frame);
    m_socket->flush();
}

void IPCPeer::readMessages()
{
    // A slot of messageReceived may delete the channel and with it this peer.
    const QPointer<IPCPeer> alive(this);
    while (alive && m_socket && m_socket->bytesAvailable() > 0) {
        if (m_length == 0) {
            if (m_socket->bytesAvailable() < LengthSize)
                return;
            quint32 length = 0;
            m_socket->read(reinterpret_cast<char*>(&length), LengthSize);
            if (length > IPCChannel::MaxMessageSize) {
                qWarning() << "IPCChannel: peer announced a message of" << length
                           << "bytes; disconnecting it";
                m_socket->abort();
                dropConnection();
                return;
            }
            m_length = length; // an empty message leaves 0: nothing to deliver
            continue;
        }
        if (m_socket->bytesAvailable() < m_length)
            return;
        const QByteArray bytes = m_socket->read(m_length);
        m_length = 0;
        const int zero = bytes.indexOf('\0');
        const QString text = QString::fromUtf8(bytes.constData(), zero < 0 ? bytes.size() : zero);

        // The sender is the one a slot answers with sendMessage().
        const QPointer<IPCPeer> previous = m_channel->currentPeer;
        m_channel->currentPeer = this;
        emit m_channel->q_ptr->messageReceived(text);
        if (!alive)
            return;
        m_channel->currentPeer = previous;
    }
}

void IPCPeer::dropConnection()
{
    if (m_channel->currentPeer == this)
        m_channel->currentPeer = nullptr;
    if (m_socket)
        m_socket->disconnect(this);
    deleteLater();
}

IPCChannelPrivate::IPCChannelPrivate(IPCChannel* q, const QString& name)
    : q_ptr(q), channelName(name), serverName(serverNameFor(name)),
      lockFile(lockFilePathFor(serverName)), server(new QLocalServer(q))
{
    // Connections from this user only, whatever the umask: another user must
    // not be able to drive this instance.
    server->setSocketOptions(QLocalServer::UserAccessOption);
}

void IPCChannelPrivate::connectOrListen()
{
    Q_Q(IPCChannel);
    // Serialises connect-or-listen between processes: without it two that
    // start together can both find no server and both listen.
    const bool locked = lockFile.lock();
    if (!locked)
        qWarning() << "IPCChannel: cannot take the lock file" << lockFilePathFor(serverName)
                   << "- error" << lockFile.error();

    auto* socket = new QLocalSocket(q);
    socket->connectToServer(socketPathFor(serverName), QIODevice::ReadWrite);
    if (socket->waitForConnected(ConnectTimeoutMs)) {
        currentPeer = new IPCPeer(this, socket);
    } else {
        socket->deleteLater();
        if (!server->listen(socketPathFor(serverName)) &&
            server->serverError() == QAbstractSocket::AddressInUseError) {
            // Nobody answered on it above: a server that died left its socket.
            // (With the user-only option Qt moves the new socket into place
            // with a rename, which replaces a stale one by itself.)
            QLocalServer::removeServer(socketPathFor(serverName));
            server->listen(socketPathFor(serverName));
        }
        if (server->isListening())
            QObject::connect(server, &QLocalServer::newConnection, q,
                             [this] { acceptConnections(); });
        else
            qWarning() << "IPCChannel: cannot listen on" << serverName << "-"
                       << server->errorString();
    }

    if (locked)
        lockFile.unlock();
}

void IPCChannelPrivate::acceptConnections()
{
    while (QLocalSocket* socket = server->nextPendingConnection())
        new IPCPeer(this, socket);
}

IPCChannel::IPCChannel(const QString& name, QObject* parent)
    : QObject(parent), d_ptr(new IPCChannelPrivate(this, name))
{
    d_ptr->connectOrListen();
}

IPCChannel::~IPCChannel()
{
    Q_D(IPCChannel);
    // Peers before the private part they point into; children (server and
    // sockets) go after this body.
    while (!d->peers.isEmpty())
        delete d->peers.takeLast();
    d->server->close();
}

QString IPCChannel::channelName() const
{
    Q_D(const IPCChannel);
    return d->channelName;
}

QString IPCChannel::serverName() const
{
    Q_D(const IPCChannel);
    return d->serverName;
}

bool IPCChannel::isServer() const
{
    Q_D(const IPCChannel);
    return d->server->isListening();
}

bool IPCChannel::sendMessage(const QString& message)
{
    Q_D(IPCChannel);
    if (!d->currentPeer)
        return false;
    const QByteArray utf8 = message.toUtf8();
    if (quint32(utf8.size()) > MaxMessageSize) {
        qWarning() << "IPCChannel: message of" << utf8.size() << "bytes not sent";
        return false;
    }
    d->currentPeer->send(utf8);
    return true;
}
