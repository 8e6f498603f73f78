#pragma once

#include <QString>

#include <cstdio>

// What zelkctl writes: standard output carries what a command reports
// (listings, status lines, progress), standard error the messages. Both in
// UTF-8, whatever the locale: the status texts carry a degree sign.
namespace zelkctl {

// `text` and a line end, flushed at once (a follower may be piped).
void print(FILE* to, const QString& text);
bool isTerminal(FILE* stream);

// The progress of an upload or a flash: on a terminal a bar redrawn in place,
// elsewhere a plain line at every tenth.
class ProgressBar
{
public:
    explicit ProgressBar(QString label, FILE* to = stdout);
    ~ProgressBar(); // finishes
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void setValue(int percent);
    // Ends the bar's line on a terminal; a later value starts a new bar.
    void finish();

private:
    const QString label;
    FILE* const to;
    const bool terminal;
    int shown = -1;    // the percent drawn (terminal) or the tenth printed last
    bool open = false; // a drawn bar waits for its line end
};

// A status line that follows a printer, one line per change of its text. On
// a terminal, a change within one group (one printer state: the temperature,
// the progress, the minutes) rewrites the line in place instead.
class StatusFollower
{
public:
    explicit StatusFollower(FILE* to = stdout);
    ~StatusFollower(); // ends
    StatusFollower(const StatusFollower&) = delete;
    StatusFollower& operator=(const StatusFollower&) = delete;

    void show(const QString& text, int group);
    void end();

private:
    FILE* const to;
    const bool terminal;
    QString text;
    int group = -1;
    bool open = false;
};

// SIGINT, SIGTERM and SIGHUP end a wait instead of the process, so that the
// printer is let go in order and the command can say what goes on without
// it. Every command that holds printers installs it (a Session does); one
// without (optimize) still ends at once.
namespace Interrupt {
void install(); // once is enough; later calls change nothing
// The signal that arrived, or 0.
int signal();
} // namespace Interrupt

} // namespace zelkctl
