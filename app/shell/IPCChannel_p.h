#pragma once

// Not part of the program's interface: the private implementation of
// IPCChannel. Only the sources of its library and its tests include it; it
// changes whenever the class's insides do, without notice.

#include "IPCChannel.h"

#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>

class IPCChannelPrivate;

// One end of a connection: the client's link to the server, or one of the
// server's links to a client. Child of the channel; owns its socket.
class IPCPeer : public QObject
{
public:
    IPCPeer(IPCChannelPrivate* channel, QLocalSocket* socket);
    ~IPCPeer() override;
    IPCPeer(const IPCPeer&) = delete;
    IPCPeer& operator=(const IPCPeer&) = delete;

    void send(const QByteArray& utf8);

private:
    void readMessages();
    void dropConnection();

    IPCChannelPrivate* m_channel;
    // Guarded: at the channel's destruction the server may delete its
    // connections' sockets before their peers.
    QPointer<QLocalSocket> m_socket;
    // Length of the message being read; 0 while its length is awaited.
    quint32 m_length = 0;
};

class IPCChannelPrivate
{
public:
    IPCChannelPrivate(IPCChannel* q, const QString& name);

    void connectOrListen();
    void acceptConnections();

    IPCChannel* const q_ptr;
    const QString channelName;
    const QString serverName;
    QLockFile lockFile;
    QLocalServer* server;
    QPointer<IPCPeer> currentPeer;
    // Every live peer, client or server side; deleted first when the channel
    // goes, while this object is still there for them.
    QList<IPCPeer*> peers;

private:
    Q_DECLARE_PUBLIC(IPCChannel)
};
