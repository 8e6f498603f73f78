#pragma once

#include <QObject>
#include <QScopedPointer>
#include <QString>

class IPCChannelPrivate;

// A message channel between the processes of one user that share a channel
// name, over a local socket. The first process to build a channel for a name
// listens (server role); later ones connect to it (client role). Messages are
// texts, each sent as a 4-byte length in host byte order and that many bytes
// of UTF-8; a text ends at its first zero character.
//
// Construction decides the role once and may block: it waits for the lock
// that serialises that decision between processes, and up to 30 s for the
// connection to an existing server.
class IPCChannel : public QObject
{
    Q_OBJECT
public:
    // Longest message, in UTF-8 bytes, that is sent or accepted. A peer that
    // announces more is disconnected.
    static constexpr quint32 MaxMessageSize = 1024 * 1024;

    explicit IPCChannel(const QString& name, QObject* parent = nullptr);
    ~IPCChannel() override;

    QString channelName() const;
    // The local socket's name: lower-case hex SHA-1 of the channel name.
    QString serverName() const;
    bool isServer() const;

    // Sends to the current peer: the server in the client role; in the server
    // role only the sender of the message being delivered, from a slot
    // connected to messageReceived. False when there is no such peer or the
    // message is longer than MaxMessageSize.
    bool sendMessage(const QString& message);

signals:
    void messageReceived(const QString& message);

private:
    Q_DECLARE_PRIVATE(IPCChannel)
    Q_DISABLE_COPY(IPCChannel)
    QScopedPointer<IPCChannelPrivate> d_ptr;
    friend class IPCPeer;
};
