#pragma once

// zelkctl run as a user runs it: a child process, its exit status and what it
// printed. ZELKCTL is the program's path.

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <csignal>
#include <memory>

namespace zelktest {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

inline std::unique_ptr<QProcess>
startZelkctl(const QStringList& arguments,
             const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    auto p = std::make_unique<QProcess>();
    p->setProcessEnvironment(environment);
    p->start(QStringLiteral(ZELKCTL), arguments);
    p->waitForStarted();
    return p;
}

// Waits for a started zelkctl (two minutes at most: a hang is a failure).
inline Run finish(QProcess& p)
{
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
    }
    Run r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline Run
zelkctl(const QStringList& arguments,
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    return finish(*startZelkctl(arguments, environment));
}

// Waits until a running zelkctl has printed `text` on standard output.
inline bool waitForOutput(QProcess& p, const QByteArray& text, int milliseconds = 60000)
{
    QElapsedTimer clock;
    clock.start();
    while (!p.peek(1 << 20).contains(text)) {
        if (clock.elapsed() > milliseconds || p.state() == QProcess::NotRunning)
            return false;
        p.waitForReadyRead(100);
    }
    return true;
}

// The lines of an output, without the last line end.
inline QStringList lines(const QByteArray& text)
{
    QStringList list = QString::fromUtf8(text).split(QLatin1Char('\n'));
    if (!list.isEmpty() && list.last().isEmpty())
        list.removeLast();
    return list;
}

// True when `wanted` appear in `text` in this order (each a substring of a
// later line than the one before).
inline bool inOrder(const QStringList& text, const QStringList& wanted)
{
    int at = 0;
    for (const QString& w : wanted) {
        while (at < text.size() && !text.at(at).contains(w))
            ++at;
        if (at == text.size())
            return false;
        ++at;
    }
    return true;
}

} // namespace zelktest
