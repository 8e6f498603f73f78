// The printer's other operations: gcode, wifi (status, scan, connect,
// disconnect, config show, config set) and head (raise, ship).
#include "Console.h"
#include "Session.h"
#include "Subcommand.h"

#include <RMWiFi.h>

#include <QFile>

#include <algorithm>
#include <csignal>
#include <optional>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace zelkctl {

namespace {

// Waits for an operation while the event loop runs. Not cut short by a
// signal: a head move must put the servo's settings back and a Wi-Fi change
// must be told, and every exchange ends within the link library's response
// timeout anyway.
template <typename T>
RMResult<T> await(Session& session, QFuture<RMResult<T>> future)
{
    session.waitFor([&future] { return future.isFinished(); }, -1, false);
    future.waitForFinished(); // the printer went away: it ends at once
    return future.result();
}

int failed(const Invocation& invocation, const RMOutcome& outcome)
{
    return invocation.fail(PrinterFailure, outcome.text());
}

// --- the pass phrase

// Never on the command line (every user's ps shows it), never printed.
int g_tty = -1;
struct termios g_ttyState;

void restoreEchoAndDie(int signalNumber)
{
    ::tcsetattr(g_tty, TCSAFLUSH, &g_ttyState);
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

// Asks on the terminal, without echo.
std::optional<QString> prompt(const QString& question)
{
    g_tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (g_tty < 0 || ::tcgetattr(g_tty, &g_ttyState) != 0) {
        if (g_tty >= 0)
            ::close(g_tty);
        return std::nullopt;
    }
    // Ended by a signal, the terminal would stay without echo.
    struct sigaction restore = {}, saved[3];
    restore.sa_handler = restoreEchoAndDie;
    const int ending[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i)
        ::sigaction(ending[i], &restore, &saved[i]);
    const QByteArray q = question.toUtf8();
    (void)!::write(g_tty, q.constData(), size_t(q.size()));
    struct termios quiet = g_ttyState;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(g_tty, TCSAFLUSH, &quiet);
    QByteArray line;
    char c;
    while (::read(g_tty, &c, 1) == 1 && c != '\n')
        line.append(c);
    ::tcsetattr(g_tty, TCSAFLUSH, &g_ttyState);
    for (int i = 0; i < 3; ++i)
        ::sigaction(ending[i], &saved[i], nullptr);
    ::close(g_tty);
    g_tty = -1;
    const QString key = QString::fromUtf8(line);
    line.fill('\0');
    return key;
}

// From --key-file (its first line; "-" is standard input), else asked for.
// Null after saying why, with the exit code in `code`.
std::optional<QString> passPhrase(const Invocation& invocation, const QString& ssid, int& code)
{
    const QString path = invocation.value("--key-file");
    if (path.isEmpty()) {
        // Asked for only when a person types the command: a script that
        // forgot --key-file must not wait for an answer nobody gives.
        std::optional<QString> key;
        if (isTerminal(stdin))
            key = prompt(
                QStringLiteral("Pass phrase for \"%1\" (empty for an open network): ").arg(ssid));
        if (!key)
            code = invocation.fail(
                UsageError, QStringLiteral("no terminal to ask for the pass phrase on: give "
                                           "it with --key-file FILE (- for standard input)"));
        return key;
    }
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        code = invocation.fail(FileError,
                               QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    const QString key = QString::fromUtf8(line);
    line.fill('\0');
    return key;
}

// The printer takes a network name of 32 bytes and a pass phrase of 64.
bool fits(const QString& text, int bytes, bool latin1)
{
    if (latin1)
        return text.size() <= bytes &&
               std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    return text.toUtf8().size() <= bytes;
}

int checkNetwork(const Invocation& invocation, const QString& ssid, const QString& key, bool latin1)
{
    const QString encoding =
        latin1 ? QStringLiteral("Latin-1 characters") : QStringLiteral("bytes of UTF-8");
    if (ssid.isEmpty() || !fits(ssid, 32, latin1))
        return invocation.fail(UsageError,
                               QStringLiteral("the network name must be 1 to 32 %1").arg(encoding));
    if (!fits(key, 64, latin1))
        return invocation.fail(
            UsageError, QStringLiteral("the pass phrase must be at most 64 %1").arg(encoding));
    return Success;
}

QString securityName(const RMWiFiNetwork& network)
{
    if (!network.known)
        return QStringLiteral("unknown");
    switch (network.security) {
    case RMDevice::WIFI_OPEN:
        return QStringLiteral("open");
    case RMDevice::WIFI_WEP:
        return QStringLiteral("WEP");
    default:
        return QStringLiteral("WPA");
    }
}

// The head moves only while the printer is idle: the window offers them
// nowhere else.
int head(const Invocation& invocation, bool raise)
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const QSharedPointer<RMDevice> d = session.device();
    if (d->state() != RMDevice::Idle)
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the printer is busy: it says \"%1\"; the head "
                                              "moves while it is idle")
                                   .arg(session.statusText()));
    print(stdout, raise ? QStringLiteral("Raising the head...")
                        : QStringLiteral("Lowering the head to its shipping position..."));
    const RMResult<bool> r =
        await(session, raise ? d->raiseHeadChecked() : d->lowerHeadToShipmentChecked());
    if (!r.isOk())
        return failed(invocation, r.outcome);
    print(stdout, raise ? QStringLiteral("Head raised.")
                        : QStringLiteral("Head lowered to its shipping position."));
    return Success;
}

} // namespace

int runGcode(const Invocation& invocation)
{
    for (const QString& line : invocation.arguments)
        if (line.trimmed().isEmpty() || line.contains(QLatin1Char('\n')))
            return invocation.fail(UsageError, QStringLiteral("one G-code line per argument"));
    Session session(invocation);
    if (int code = session.open())
        return code;
    const QSharedPointer<RMDevice> d = session.device();
    // In order; the first that fails ends it.
    for (const QString& line : invocation.arguments) {
        const RMResult<bool> r = await(session, d->sendGCodeChecked(line));
        if (!r.isOk())
            return invocation.fail(PrinterFailure,
                                   r.outcome.hasFirmwareCode()
                                       ? r.outcome.text()
                                       : QStringLiteral("\"%1\": %2").arg(line, r.outcome.text()));
        print(stdout, QStringLiteral("%1: ok").arg(line));
    }
    return Success;
}

int runWifiStatus(const Invocation& invocation)
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const RMResult<RMWiFiStatus> r = await(session, session.device()->queryWiFiStatusChecked());
    if (!r.isOk())
        return failed(invocation, r.outcome);
    const RMWiFiStatus& s = r.value;
    if (s.connected()) {
        print(stdout, QStringLiteral("Connected to \"%1\"").arg(s.ssid()));
        const QList<QPair<const char*, QHostAddress>> addresses = {
            {"IP address:  ", s.ip()},
            {"Subnet mask: ", s.subnetMask()},
            {"Gateway:     ", s.defaultGateway()},
            {"DHCP server: ", s.dhcpServer()},
            {"DNS server:  ", s.dnsServer()}};
        for (const auto& a : addresses)
            print(stdout, QLatin1String(a.first) + a.second.toString());
    } else {
        print(stdout, QStringLiteral("Not connected"));
    }
    print(stdout, QStringLiteral("MAC address: ") + s.macAddress());
    return Success;
}

int runWifiScan(const Invocation& invocation)
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const RMResult<QList<RMWiFiNetwork>> r = await(session, session.device()->scanWiFiChecked());
    if (!r.isOk())
        return failed(invocation, r.outcome);
    if (r.value.isEmpty()) {
        print(stdout, QStringLiteral("No network found."));
        return Success;
    }
    int width = 4;
    for (const RMWiFiNetwork& n : r.value)
        width = std::max(width, int(n.ssid.size()));
    print(stdout,
          QStringLiteral("SSID").leftJustified(width) + QStringLiteral("  SIGNAL  SECURITY"));
    for (const RMWiFiNetwork& n : r.value)
        print(stdout, n.ssid.leftJustified(width) + QLatin1String("  ") +
                          QString::number(n.strength).leftJustified(6) + QLatin1String("  ") +
                          securityName(n));
    return Success;
}

int runWifiConnect(const Invocation& invocation)
{
    const QString ssid = invocation.arguments.first();
    int code = Success;
    const std::optional<QString> key = passPhrase(invocation, ssid, code);
    if (!key)
        return code;
    if (int bad = checkNetwork(invocation, ssid, *key, true))
        return bad;
    Session session(invocation);
    if (int open = session.open())
        return open;
    const RMResult<bool> r = await(session, session.device()->connectWifiChecked(ssid, *key));
    if (!r.isOk())
        return failed(invocation, r.outcome);
    print(stdout, QStringLiteral("Connected to \"%1\".").arg(ssid));
    return Success;
}

int runWifiDisconnect(const Invocation& invocation)
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const RMResult<bool> r = await(session, session.device()->disconnectWifiChecked());
    if (!r.isOk())
        return failed(invocation, r.outcome);
    print(stdout, QStringLiteral("Disconnected."));
    return Success;
}

int runWifiConfigShow(const Invocation& invocation)
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const RMResult<RMWiFiConfig> r = await(session, session.device()->queryWiFiConfigChecked());
    if (!r.isOk())
        return failed(invocation, r.outcome);
    const RMWiFiConfig& c = r.value;
    const QString none = QStringLiteral("(none)");
    print(stdout, QStringLiteral("Network:              ") +
                      (c.ssid().isEmpty() ? none : QLatin1Char('"') + c.ssid() + QLatin1Char('"')));
    // Whether there is one, never what it is, nor how long.
    print(stdout, QStringLiteral("Pass phrase:          ") +
                      (c.password().isEmpty() ? none : QStringLiteral("********")));
    print(stdout,
          QStringLiteral("Automatic connection: ") +
              (c.data().ifc_config.auto_connect ? QStringLiteral("on") : QStringLiteral("off")));
    return Success;
}

int runWifiConfigSet(const Invocation& invocation)
{
    const QString ssid = invocation.arguments.first();
    const QString autoConnect = invocation.value("--auto-connect");
    if (!autoConnect.isEmpty() && autoConnect != QLatin1String("on") &&
        autoConnect != QLatin1String("off"))
        return invocation.fail(UsageError, QStringLiteral("--auto-connect takes on or off"));
    int code = Success;
    const std::optional<QString> key = passPhrase(invocation, ssid, code);
    if (!key)
        return code;
    if (int bad = checkNetwork(invocation, ssid, *key, false))
        return bad;
    Session session(invocation);
    if (int open = session.open())
        return open;
    const RMResult<bool> r =
        await(session, session.device()->setWiFiConfigChecked(ssid, *key, autoConnect != "off"));
    if (!r.isOk())
        return failed(invocation, r.outcome);
    print(stdout, QStringLiteral("Stored \"%1\", automatic connection %2.")
                      .arg(ssid, autoConnect == QLatin1String("off") ? QStringLiteral("off")
                                                                     : QStringLiteral("on")));
    return Success;
}

int runHeadRaise(const Invocation& invocation)
{
    return head(invocation, true);
}

int runHeadShip(const Invocation& invocation)
{
    return head(invocation, false);
}

} // namespace zelkctl
