#include "IPCApp.h"
#include "IPCApp_p.h"

#include <QEventLoop>
#include <QTimer>

namespace {

const int RaiseTimeoutMs = 30000;
const QString RaiseMessage = QStringLiteral("raise");
const QString RaisedMessage = QStringLiteral("raised");

} // namespace

IPCAppPrivate::IPCAppPrivate(IPCApp* app, const QString& name) : q(app), channel(name)
{
    QObject::connect(&channel, &IPCChannel::messageReceived, q, [this](const QString& text) {
        if (text != RaiseMessage)
            return;
        // Answered first: the asking process may exit as soon as it hears
        // back, whatever the window does.
        channel.sendMessage(RaisedMessage);
        emit q->raise();
    });
}

IPCApp::IPCApp(int& argc, char** argv, const QString& name) : QApplication(argc, argv)
{
    d = std::make_unique<IPCAppPrivate>(
        this, name.isEmpty() ? QCoreApplication::applicationFilePath() : name);
}

IPCApp::~IPCApp() = default;

bool IPCApp::isMaster() const
{
    return d->channel.isServer();
}

bool IPCApp::raiseMaster()
{
    IPCChannel& channel = d->channel;
    if (channel.isServer())
        return false;
    if (!channel.sendMessage(RaiseMessage))
        return false;

    // Any message counts as the answer: the master sends nothing else.
    QEventLoop loop;
    bool answered = false;
    connect(&channel, &IPCChannel::messageReceived, &loop, [&] {
        answered = true;
        loop.quit();
    });
    QTimer::singleShot(RaiseTimeoutMs, Qt::CoarseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    return answered;
}

void IPCApp::restartIPC()
{
    // The new channel is built while the old one still exists, then the old
    // one goes.
    auto fresh = std::make_unique<IPCAppPrivate>(this, d->channel.channelName());
    d.swap(fresh);
}
