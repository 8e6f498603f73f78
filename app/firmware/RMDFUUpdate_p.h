#pragma once

// Not part of the program's interface: the private implementation of
// RMDFUUpdate. Only the sources of its library and its tests include it; it
// changes whenever the class's insides do, without notice.

#include "RMDFUUpdate.h"

#include <QByteArray>
#include <QPointer>
#include <QProcess>

#include <array>

// The last bytes a child process wrote, for a look at how it ended without
// keeping everything a long flash prints.
class RMOutputTail
{
public:
    static constexpr int CAPACITY = 1024;

    void append(const QByteArray& bytes);
    // What is kept, oldest byte first.
    QByteArray contents() const;

private:
    std::array<char, CAPACITY> ring{};
    int next = 0;   // where the next byte goes
    int stored = 0; // bytes kept, at most CAPACITY
};

class RMDFUUpdatePrivate
{
    Q_DECLARE_PUBLIC(RMDFUUpdate)
public:
    explicit RMDFUUpdatePrivate(RMDFUUpdate* update) : q_ptr(update) {}

    // The slots of the dfu-util process, all on the update's thread.
    void processError(QProcess::ProcessError e);
    void standardOutput();
    void processFinished(int exitCode, QProcess::ExitStatus status);

    // Progress parsing of one chunk of standard output: the first "<digits>%"
    // with white space on both sides, or -1.
    static int progressIn(const QByteArray& chunk);
    // dfu-util may end with an error after a complete download, when the
    // printer leaves firmware-update mode under it; "Download done" in what
    // it printed last tells such an ending from a failed download.
    static bool succeeded(int exitCode, QProcess::ExitStatus status, const QByteArray& tail);

    RMDFUUpdate* const q_ptr;
    // The running dfu-util (a child of the update), until it has ended.
    QPointer<QProcess> process;
    int progress = 0;
    bool success = false;
    bool error = false;
    RMOutputTail outputTail;
};
