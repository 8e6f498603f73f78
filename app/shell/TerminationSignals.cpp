#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> Handled{SIGINT, SIGTERM, SIGHUP};

// Read by the handler, which may run on any thread at any moment: only
// lock-free atomics and write(2) there.
std::atomic<int> writeEnd{-1};
std::atomic<int> firstSignal{0};
std::atomic<bool> claimed{false};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

extern "C" void onTerminationSignal(int number)
{
    const int savedErrno = errno; // the interrupted code may be reading it
    int none = 0;
    firstSignal.compare_exchange_strong(none, number);
    const int fd = writeEnd.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(number);
        // A full pipe drops the byte: the reader has plenty to wake up for.
        const ssize_t written = ::write(fd, &byte, 1);
        static_cast<void>(written);
    }
    errno = savedErrno;
}

} // namespace

class TerminationSignalsPrivate
{
public:
    int pipe[2] = {-1, -1};
    std::array<struct sigaction, Handled.size()> previous{};
    QSocketNotifier* notifier = nullptr;
    bool active = false;
};

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent), d_ptr(new TerminationSignalsPrivate)
{
    Q_D(TerminationSignals);
    if (claimed.exchange(true)) {
        qWarning("TerminationSignals: another object handles the signals already");
        return;
    }
    if (::pipe2(d->pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        qWarning("TerminationSignals: no pipe (%s); signals end the program at once",
                 strerror(errno));
        claimed = false;
        return;
    }
    d->notifier = new QSocketNotifier(d->pipe[0], QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, [this] {
        Q_D(TerminationSignals);
        unsigned char bytes[16];
        ssize_t n;
        while ((n = ::read(d->pipe[0], bytes, sizeof bytes)) > 0)
            for (ssize_t i = 0; i < n; ++i)
                emit terminationRequested(bytes[i]);
    });
    writeEnd = d->pipe[1];

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // A blocking call interrupted by the signal goes on; the event loop hears
    // of it through the pipe.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < Handled.size(); ++i)
        sigaction(Handled[i], &action, &d->previous[i]);
    d->active = true;
}

TerminationSignals::~TerminationSignals()
{
    Q_D(TerminationSignals);
    if (!d->active)
        return;
    for (size_t i = 0; i < Handled.size(); ++i)
        sigaction(Handled[i], &d->previous[i], nullptr);
    // A handler already running on another thread may still hold the old
    // descriptor for a moment; it only ever writes one byte to it.
    writeEnd = -1;
    delete d->notifier;
    ::close(d->pipe[0]);
    ::close(d->pipe[1]);
    claimed = false;
}

bool TerminationSignals::isActive() const
{
    return d_func()->active;
}

int TerminationSignals::received()
{
    return firstSignal.load();
}
