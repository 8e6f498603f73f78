// ipc_channel_helper <channel name> [message...]
//
// Builds an IPCChannel and prints its role on a line of its own: "server" or
// "client" (anything but the server).
// - server: answers every message with "ack:<UTF-8 bytes>:<first 32
//   characters>"; "quit" is answered "bye" and ends the process.
// - client: sends the messages given, prints "answer <text>" for the first
//   answer and exits; exits at once when given no messages.
#include "IPCChannel.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fputs("usage: ipc_channel_helper <channel name> [message...]\n", stderr);
        return 2;
    }

    IPCChannel channel(args.at(1));
    if (channel.isServer()) {
        say(QStringLiteral("server"));
        QObject::connect(&channel, &IPCChannel::messageReceived, &app, [&](const QString& text) {
            if (text == QLatin1String("quit")) {
                channel.sendMessage(QStringLiteral("bye"));
                QCoreApplication::quit();
                return;
            }
            channel.sendMessage(
                QStringLiteral("ack:%1:%2").arg(text.toUtf8().size()).arg(text.left(32)));
        });
        return QCoreApplication::exec();
    }

    const QStringList messages = args.mid(2);
    say(QStringLiteral("client"));
    if (messages.isEmpty())
        return 0;
    QObject::connect(&channel, &IPCChannel::messageReceived, &app, [](const QString& text) {
        say(QStringLiteral("answer ") + text);
        QCoreApplication::quit();
    });
    for (const QString& message : messages)
        channel.sendMessage(message);
    QTimer::singleShot(20000, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
