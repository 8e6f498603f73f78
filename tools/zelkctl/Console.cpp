#include "Console.h"

#include <TerminationSignals.h>

#include <QCoreApplication>

#include <unistd.h>

namespace zelkctl {

namespace {

constexpr int BarWidth = 30;

void write(FILE* to, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

} // namespace

void print(FILE* to, const QString& text)
{
    write(to, text + QLatin1Char('\n'));
}

bool isTerminal(FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

ProgressBar::ProgressBar(QString text, FILE* stream)
    : label(std::move(text)), to(stream), terminal(isTerminal(stream))
{}

ProgressBar::~ProgressBar()
{
    finish();
}

void ProgressBar::setValue(int percent)
{
    percent = qBound(0, percent, 100);
    if (terminal) {
        if (percent == shown && open)
            return;
        const int filled = percent * BarWidth / 100;
        // One arg() call: a label (a file name) may hold a "%2" of its own.
        write(to, QStringLiteral("\r%1 [%2%3] %4%")
                      .arg(label, QString(filled, QLatin1Char('#')),
                           QString(BarWidth - filled, QLatin1Char('.')),
                           QString::number(percent).rightJustified(3)));
        shown = percent;
        open = true;
        return;
    }
    // A new run of values (dfu-util erases, then writes) starts again.
    if (percent / 10 < shown)
        shown = -1;
    if (percent / 10 > shown) {
        shown = percent / 10;
        print(to, QStringLiteral("%1 %2%").arg(label, QString::number(shown * 10)));
    }
}

void ProgressBar::finish()
{
    if (open)
        write(to, QStringLiteral("\n"));
    open = false;
    shown = -1;
}

StatusFollower::StatusFollower(FILE* stream) : to(stream), terminal(isTerminal(stream)) {}

StatusFollower::~StatusFollower()
{
    end();
}

void StatusFollower::show(const QString& newText, int newGroup)
{
    if (newText == text) {
        group = newGroup; // e.g. the two carriage calibration steps: one text
        return;
    }
    if (terminal && open && newGroup == group) {
        // \033[K clears what a longer text left behind.
        write(to, QStringLiteral("\r%1\033[K").arg(newText));
    } else if (terminal) {
        write(to, (open ? QStringLiteral("\n") : QString()) + newText);
        open = true;
    } else {
        print(to, newText);
    }
    text = newText;
    group = newGroup;
}

void StatusFollower::end()
{
    if (open)
        write(to, QStringLiteral("\n"));
    open = false;
    text.clear();
    group = -1;
}

namespace Interrupt {

void install()
{
    // The application object owns it: the handlers stay until the end of
    // main(), past every Session's teardown.
    static TerminationSignals* handlers = nullptr;
    if (!handlers)
        handlers = new TerminationSignals(QCoreApplication::instance());
}

int signal()
{
    return TerminationSignals::received();
}

} // namespace Interrupt

} // namespace zelkctl
