// The soak: the program as a user runs it (the registry and the main window,
// offscreen) against a virtual printer that is pulled out and plugged in again
// at random moments, during uploads through the window, firmware commands,
// status polls and DFU listings, while the printer misbehaves: garbage frames,
// stalled channels, writes it never takes, and answers that never come.
//
// After every pull the program must have ended everything it had started:
// every command and listing finished, every upload either reached the printer
// or was reported to the user, and the printer, plugged in again, answers.
// Throughout, the GUI thread must answer within the stall limit; at the end
// the process must hold no more threads, files or memory than after the
// warm-up, within small bounds.
//
// Knobs (environment):
//   ZELK_SOAK_CYCLES    pulls (default 200)
//   ZELK_SOAK_MINUTES   time bound: stops after this many minutes (default 10)
//   ZELK_SOAK_SEED      random seed (default: from the clock; printed)
//   ZELK_SOAK_STALL_MS  longest the GUI thread may not answer (default 100)
//   ZELK_SOAK_REPORT    file that the figures are appended to
//   ZELK_SOAK_TRACE_STALLS=MS  print the GUI thread's stack when it stalls
//   ZELK_SOAK_BUSY=N    N processes spin beside the soak for its whole run,
//                       competing for the CPUs as a loaded machine's do
// The long form: ZELK_SOAK_CYCLES=3000 ZELK_SOAK_MINUTES=60 build/bin/test_soak
#include "MainWindowTestSupport.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <MainWindow.h>
#include <RMDFUDevice.h>
#include <RMDeviceRegistry.h>
#include <RMWiFi.h>

#include <trel/TrelUsb.h>

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QLabel>
#include <QMap>
#include <QMessageBox>
#include <QMetaEnum>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <cstdio>
#include <execinfo.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZELK_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZELK_SOAK_SANITIZED 1
#endif
#endif
#ifdef ZELK_SOAK_SANITIZED
#include <sanitizer/allocator_interface.h>
#endif

using namespace zelktest;
using zelksim::PrintJobModel;
using zelksim::VirtualPrinter;

namespace {

int knob(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

// --- what the process holds

int countEntries(const char* directory)
{
    return QDir(QString::fromLatin1(directory))
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
        .size();
}

qint64 heapInUse()
{
#ifdef ZELK_SOAK_SANITIZED
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 m = mallinfo2();
    return qint64(m.uordblks + m.hblkhd);
#endif
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

// What each open file descriptor refers to, by number.
QMap<QString, QString> openFiles()
{
    QMap<QString, QString> files;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd :
         fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
        // The open flags tell a printer node that libusb opened from one that
        // the virtual printer keeps (non-blocking) in this same process.
        QFile info(QStringLiteral("/proc/self/fdinfo/") + fd);
        QString flags;
        if (info.open(QIODevice::ReadOnly))
            for (const QByteArray& line : info.readAll().split('\n'))
                if (line.startsWith("flags:"))
                    flags = QString::fromLatin1(line.mid(6).trimmed());
        files.insert(fd, QFile::symLinkTarget(fds.filePath(fd)) + QStringLiteral(" (flags ") +
                             flags + QLatin1Char(')'));
    }
    return files;
}

// A device node that the virtual printer itself holds open (non-blocking):
// the simulator's, not the program's. Each plug makes a new node, and the
// simulator keeps the old ones open, so they are left out of the count.
bool heldBySimulator(const QString& file)
{
    if (!file.contains(QLatin1String("/dev/bus/usb/")))
        return false;
    const int open = file.lastIndexOf(QLatin1String("(flags "));
    bool ok = false;
    const int flags = file.midRef(open + 7).chopped(1).toInt(&ok, 8);
    return open >= 0 && ok && (flags & O_NONBLOCK);
}

struct Resources
{
    int threads = 0;
    int files = 0;
    QMap<QString, QString> fileNames;
    qint64 heap = 0;
    qint64 resident = 0;

    static Resources now()
    {
        Resources r;
        r.threads = countEntries("/proc/self/task");
        for (auto [fd, file] : openFiles().toStdMap())
            if (!heldBySimulator(file))
                r.fileNames.insert(fd, file);
        r.files = r.fileNames.size();
        r.heap = heapInUse();
        r.resident = residentBytes();
        return r;
    }
};

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024 * 1024), 'f', 1) + QStringLiteral(" MB");
}

// How long a thread has waited for a CPU so far (ms), from the scheduler's
// accounting (/proc/.../schedstat: run time, run-queue wait, slices).
qint64 queuedMs(const QString& schedstat)
{
    QFile file(schedstat);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = file.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() / 1000000 : 0;
}

// The GUI thread's pulse: a watchdog thread asks it every 10 ms to answer (a
// call queued to it, as any event the program gets) and measures how long
// the answer takes. Lateness spent waiting for a CPU is left out: the
// virtual printers and their bus run in this process, on the same cores, and
// a thread that waits for a CPU is not one that does not answer.
//
// With ZELK_SOAK_TRACE_STALLS=MS, the watchdog also prints the stacks of the
// GUI thread and of the program's pool threads whenever the GUI thread has
// not answered for MS milliseconds: where a stall comes from.
class StallMonitor
{
public:
    static constexpr int Period = 10;

    StallMonitor() = default;
    ~StallMonitor() { stop(); }
    StallMonitor(const StallMonitor&) = delete;
    StallMonitor& operator=(const StallMonitor&) = delete;

    // On the GUI thread.
    void start()
    {
        gui = pthread_self();
        guiSchedstat = QStringLiteral("/proc/self/task/%1/schedstat").arg(gettid());
        traceAfter = knob("ZELK_SOAK_TRACE_STALLS", 0);
        if (traceAfter > 0)
            installTraceHandler();
        receiver = std::make_unique<QObject>();
        running = true;
        watchdog = std::thread([this] { watch(); });
    }
    void stop()
    {
        running = false;
        if (watchdog.joinable())
            watchdog.join();
        receiver.reset(); // a call still queued goes with it
    }
    void setPhase(const QString& phase)
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = phase;
    }

    // The longest the GUI thread took to answer, its CPU waits left out, and
    // during what; the longest with them.
    qint64 worst() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return worstBusy;
    }
    QString worstPhase() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return worstBusyPhase;
    }
    qint64 worstLate() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return worstTotal;
    }

private:
    static qint64 now()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    void watch()
    {
        pthread_setname_np(pthread_self(), "soak-watchdog");
        while (running) {
            // The answer's time and CPU wait are taken by the GUI thread
            // itself: this thread may wait for a CPU too.
            struct Answer
            {
                std::atomic<bool> given{false};
                qint64 at = 0;
                qint64 queued = 0;
            };
            auto answer = std::make_shared<Answer>();
            const QString schedstat = guiSchedstat;
            const qint64 queuedBefore = queuedMs(guiSchedstat);
            const qint64 sent = now();
            QMetaObject::invokeMethod(
                receiver.get(),
                [answer, schedstat] {
                    answer->at = now();
                    answer->queued = queuedMs(schedstat);
                    answer->given = true;
                },
                Qt::QueuedConnection);
            bool traced = false;
            while (!answer->given && running) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (traceAfter > 0 && !traced && now() - sent > traceAfter) {
                    traced = true;
                    traceStacks();
                }
            }
            if (!answer->given)
                break;
            const qint64 late = answer->at - sent;
            const qint64 busy = late - (answer->queued - queuedBefore);
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (traceAfter > 0 && late >= traceAfter)
                    std::fprintf(stderr,
                                 "soak: the GUI thread answered after %lld ms (%lld ms of them "
                                 "waiting for a CPU) during %s\n",
                                 late, late - busy, qPrintable(current));
                worstTotal = std::max(worstTotal, late);
                if (busy > worstBusy) {
                    worstBusy = busy;
                    worstBusyPhase = current;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(Period));
        }
    }

    static void installTraceHandler()
    {
        void* warm[4];
        backtrace(warm, 4); // loads libgcc now, not in the signal handler
        struct sigaction action = {};
        action.sa_handler = [](int) {
            void* frames[64];
            const int n = backtrace(frames, 64);
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            char header[64];
            const int length =
                std::snprintf(header, sizeof header, "soak: stalled, thread %s:\n", name);
            (void)!write(2, header, size_t(length));
            backtrace_symbols_fd(frames, n, 2);
        };
        sigaction(SIGUSR2, &action, nullptr);
    }

    void traceStacks()
    {
        pthread_kill(gui, SIGUSR2);
        // And the program's own pool threads, which it may be waiting for.
        const QDir tasks(QStringLiteral("/proc/self/task"));
        for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(tasks.filePath(tid) + QStringLiteral("/comm"));
            if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith("zelk-"))
                continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            syscall(SYS_tgkill, getpid(), tid.toInt(), SIGUSR2);
        }
    }

    pthread_t gui{};
    QString guiSchedstat;
    std::unique_ptr<QObject> receiver; // on the GUI thread: its queued calls run there
    int traceAfter = 0;
    std::atomic<bool> running{false};
    std::thread watchdog;

    // Guards everything below.
    mutable std::mutex mutex;
    QString current;
    qint64 worstBusy = 0;
    QString worstBusyPhase;
    qint64 worstTotal = 0;
};

// Plugs the printer in again as a user would find it: no job waiting, no
// faults left. A file header that reached the printer as the cable went can
// leave it receiving after the pull (the simulator takes the bytes of an
// URB that raced the unplug); it gives that file up after its receive
// timeout, and is plugged in only then. (The program, by design, does not
// poll a printer that reports it is receiving a file: one found so would be
// followed as "Sending print job" until it said otherwise.)
void replug(VirtualPrinter& p)
{
    p.setResponder(nullptr);
    p.setResponseDelay(std::chrono::milliseconds(0));
    for (int i = 0; i < 100 && p.printModel().state() == PrintJobModel::State::FileRx; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p.printModel().abort();
    p.plug();
}

// G-code of about `bytes` bytes: a square outline, layer after layer.
QByteArray gcodeOfSize(int bytes)
{
    QByteArray g = "; soak\nG21\nG90\nM82\nG28\nG92 E0\n";
    double e = 0;
    for (int line = 0; g.size() < bytes; ++line) {
        if (line % 4 == 0)
            g += "G1 Z" + QByteArray::number(0.2 * (1 + line / 4), 'f', 2) + " F600\n";
        const int side = line % 4;
        e += 0.8;
        g += "G1 X" + QByteArray::number(side == 1 || side == 2 ? 40 : 20) + " Y" +
             QByteArray::number(side >= 2 ? 40 : 20) + " E" + QByteArray::number(e, 'f', 4) +
             " F1800\n";
    }
    return g;
}

// Picks `path` in the file dialog of the next click: the one visible window
// that is a file dialog (the active modal widget may be another dialog that
// the program opened meanwhile).
void chooseInFileDialog(const QString& path)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, path] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            timer->deleteLater();
            dialog->selectFile(path);
            // QFileDialog::accept() is protected; QDialog::accept() dispatches to it.
            static_cast<QDialog*>(dialog)->accept();
            return;
        }
    });
    timer->start();
}

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void pullsAndFaults();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // One upload as the soak follows it.
    struct Upload
    {
        bool started = false;
        bool done = false;
        bool failed = false;
        bool lost = false;     // gone without done() or failed()
        bool reported = false; // the user was told of the failure
        int queuedBefore = 0;  // the printer's JobQueued entries before it
    };

    bool waitUntil(const std::function<bool()>& condition, int milliseconds);
    void onHand(std::function<void()> work);
    bool handIdle() const;
    QString statusText() const;
    RMDevice* followed() const;
    int jobQueuedCount();
    void startUpload();
    void injectFaults();
    bool everythingEnded() const;
    void describeRunningWork() const;
    void closeMessageBoxes();
    bool checkUsable(int cycle);
    Resources settledResources();
    void count(const char* what, int n = 1) { counters[what] += n; }

    std::unique_ptr<VirtualPrinter> printer;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QTemporaryDir> dir;
    QStringList files;
    std::mt19937 random;
    QThreadPool hand; // the printer's side: plugs, pulls and faults
    QFuture<void> handWork;
    StallMonitor monitor;
    QString dfuUtil;

    QList<QFuture<void>> commands;
    QFuture<QList<RMDFUDevice>> listing;
    bool listingRunning = false;
    Upload upload;
    QPointer<QObject> job; // the RMJobSend of the running upload
    QPointer<RMDevice> watchedDevice;
    std::map<QString, int> counters;
    qint64 longestEnding = 0; // from the pull to everything ended
};

void SoakTest::initTestCase()
{
    // The printer's own text would bury the soak's report.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\nRMPrinterLog.info=false"));
    // A write the printer never takes fails after 4 attempts of this.
    TrelUsb::set_write_timeout(100);
    RMDevice::setZPollInterval(10);
    hand.setMaxThreadCount(1);
    dfuUtil = QCoreApplication::applicationDirPath() + QStringLiteral("/dfu-util");
    QVERIFY2(QFile::exists(dfuUtil), "dfu-util next to the test");

    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    // Small enough to end before most pulls, large enough to be pulled in
    // the middle of now and then (about 7 MB/s across the virtual bus).
    for (int size : {2000, 60000, 400000}) {
        QFile file(dir->filePath(QStringLiteral("part-%1.gcode").arg(size)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(gcodeOfSize(size)) > 0);
        files << file.fileName();
    }

    printer = std::make_unique<VirtualPrinter>(simBus());
    printer->printModel().setReceiveTimeout(std::chrono::milliseconds(500));
    window = std::make_unique<MainWindow>();
    window->show();
}

void SoakTest::cleanupTestCase()
{
    monitor.stop();
    hand.waitForDone();
    closeMessageBoxes();
    window.reset();
    RMDeviceRegistry::shutdown();
    printer.reset();
    TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
}

// An event loop as the program's own runs (QTest::qWait sleeps between its
// rounds, which the pulse would count against the program).
bool SoakTest::waitUntil(const std::function<bool()>& condition, int milliseconds)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(2);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(milliseconds, &loop, [&loop] { loop.exit(1); });
    check.start();
    return loop.exec() == 0 || condition();
}

// The printer is handled from a thread of its own: plugging and pulling go
// through umockdev and take milliseconds that are not the program's.
void SoakTest::onHand(std::function<void()> work)
{
    handWork = QtConcurrent::run(&hand, std::move(work));
}

bool SoakTest::handIdle() const
{
    return handWork.isFinished();
}

QString SoakTest::statusText() const
{
    return window->findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

RMDevice* SoakTest::followed() const
{
    RMDeviceRegistry* registry = RMDeviceRegistry::instance();
    const QVector<TrelDeviceAddress>& ports = registry->activePorts();
    return ports.size() == 1 ? registry->getDevice(ports.value(0)).data() : nullptr;
}

int SoakTest::jobQueuedCount()
{
    const auto history = printer->printModel().history();
    return int(std::count(history.begin(), history.end(), PrintJobModel::State::JobQueued));
}

// The upload's RMJobSend is made inside the click, as a child of the device:
// its creation is seen here, before anything can happen to it.
bool SoakTest::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ChildAdded && watched == watchedDevice && !upload.started) {
        QObject* child = static_cast<QChildEvent*>(event)->child();
        upload.started = true;
        job = child;
        connect(child, &QObject::destroyed, this, [this] {
            if (!upload.done && !upload.failed)
                upload.lost = true;
        });
        // Still being built: its own signals are connected once it is, which
        // is before any of its events (posted later by the upload) arrive.
        QMetaObject::invokeMethod(
            this,
            [this] {
                auto* send = qobject_cast<RMJobSend*>(job.data());
                if (!send)
                    return;
                connect(send, &RMJobSend::done, this, [this] { upload.done = true; });
                connect(send, &RMJobSend::failed, this, [this] { upload.failed = true; });
            },
            Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void SoakTest::startUpload()
{
    RMDevice* device = followed();
    auto* button = window->findChild<QPushButton*>(QStringLiteral("printFileButton"));
    if (!device || !button->isEnabled())
        return;
    upload = Upload();
    upload.queuedBefore = jobQueuedCount();
    watchedDevice = device;
    device->installEventFilter(this);
    // The optimizer now and then, in the preview, on its pool.
    window->findChild<QCheckBox*>(QStringLiteral("optimizeCheckbox"))
        ->setChecked(random() % 4 == 0);
    chooseInFileDialog(files[int(random() % uint(files.size()))]);
    // Print as soon as the preview has read (and optimized) the file.
    zelktest::answerPrintPreview(true);
    monitor.setPhase(QStringLiteral("print button"));
    button->click(); // returns once the upload has begun (or was refused)
    monitor.setPhase(QStringLiteral("upload"));
    count(upload.started ? "uploads started" : "uploads refused at the click");
}

void SoakTest::injectFaults()
{
    VirtualPrinter* p = printer.get();
    const auto channel = [this] {
        return random() % 2 ? VirtualPrinter::Command : VirtualPrinter::Job;
    };
    std::vector<std::function<void()>> faults;
    if (random() % 3 == 0) {
        // Garbage on a channel: bytes of no frame or object, and broken
        // frames before real answers.
        std::vector<uint8_t> junk(1 + random() % 300);
        for (uint8_t& b : junk)
            b = uint8_t(random());
        if (random() % 4 == 0)
            junk[0] = '$'; // a frame header that announces anything
        const auto c = channel();
        faults.push_back([p, junk, c] { p->sendRaw(c, junk); });
        static const VirtualPrinter::Fault garbage[] = {
            VirtualPrinter::Fault::LeadingGarbage,    VirtualPrinter::Fault::BadComplementFirst,
            VirtualPrinter::Fault::WrongTrailerFirst, VirtualPrinter::Fault::ZeroLengthFirst,
            VirtualPrinter::Fault::UnparsableFirst,   VirtualPrinter::Fault::NoTransportFirst,
            VirtualPrinter::Fault::MissingIdFirst,    VirtualPrinter::Fault::OneByteChunks,
            VirtualPrinter::Fault::PackedWithEvent};
        const auto f = garbage[random() % std::size(garbage)];
        faults.push_back([p, f] { p->injectFault(f); });
        count("faults: garbage", 2);
    }
    if (random() % 4 == 0) {
        const auto c = channel();
        const int n = 1 + int(random() % 3);
        faults.push_back([p, c, n] { p->timeoutWrites(c, n); });
        count("faults: write timeouts");
    }
    if (random() % 6 == 0) {
        const auto c = channel();
        faults.push_back([p, c] { p->failReceive(c, true); });
        count("faults: stalled channel");
    }
    if (random() % 5 == 0) {
        // A printer that stops answering commands, or answers late.
        if (random() % 2)
            faults.push_back([p] {
                p->setResponder([](const std::string&) { return std::optional<std::string>(); });
            });
        else
            faults.push_back([p, ms = 20 + int(random() % 400)] {
                p->setResponseDelay(std::chrono::milliseconds(ms));
            });
        count("faults: no or late answers");
    }
    std::shuffle(faults.begin(), faults.end(), random);
    const auto delay = std::chrono::milliseconds(random() % 60);
    onHand([faults, delay] {
        std::this_thread::sleep_for(delay);
        for (const auto& f : faults)
            f();
    });
}

bool SoakTest::everythingEnded() const
{
    for (const QFuture<void>& f : commands)
        if (!f.isFinished())
            return false;
    if (listingRunning && !listing.isFinished())
        return false;
    if (upload.started && !upload.done && !upload.lost) {
        if (!upload.failed)
            return false;
        // A failed upload must reach the user.
        const auto boxes = window->findChildren<QMessageBox*>();
        if (std::none_of(boxes.begin(), boxes.end(), [](QMessageBox* b) { return b->isVisible(); }))
            return false;
    }
    return handIdle() && !followed() && statusText() == QLatin1String("Disconnected");
}

void SoakTest::describeRunningWork() const
{
    int running = 0;
    for (const QFuture<void>& f : commands)
        running += !f.isFinished();
    qWarning("still running: %d firmware commands, DFU listing %s, upload %s%s%s, hand %s, "
             "followed device %s",
             running, listingRunning && !listing.isFinished() ? "yes" : "no",
             upload.started ? "started" : "not started", upload.done ? ", done" : "",
             upload.failed ? ", failed" : "", handIdle() ? "idle" : "busy",
             followed() ? "yes" : "no");
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible())
            qWarning("visible window: %s \"%s\"", w->metaObject()->className(),
                     qPrintable(w->windowTitle()));
}

void SoakTest::closeMessageBoxes()
{
    for (QMessageBox* box : window->findChildren<QMessageBox*>())
        if (box->isVisible()) {
            if (box->text().contains(QLatin1String("could not be sent")))
                upload.reported = true;
            box->close();
        }
    if (QDialog* dialog = window->activeDialog())
        dialog->close();
}

// Plugged in again, the printer must come back and answer.
bool SoakTest::checkUsable(int cycle)
{
    monitor.setPhase(QStringLiteral("replug"));
    if (!waitUntil([this] { return followed() && statusText() == QLatin1String("Idle"); }, 20000)) {
        const RMDevice* device = followed();
        qWarning("cycle %d: the printer did not come back after the replug (status \"%s\", "
                 "the device %s, the printer %s, %s)",
                 cycle, qPrintable(statusText()),
                 device ? QMetaEnum::fromType<RMDevice::State>().valueToKey(device->state())
                        : "not followed",
                 PrintJobModel::stateName(printer->printModel().state()),
                 printer->isPlugged() ? "plugged" : "unplugged");
        return false;
    }
    QFuture<QString> version = followed()->queryVersion();
    if (!waitUntil([&version] { return version.isFinished(); }, 20000) ||
        version.result() != QLatin1String("1.2.0")) {
        qWarning("cycle %d: the printer did not answer after the replug", cycle);
        return false;
    }
    return true;
}

// What the process holds once it has had a moment to settle, with the printer
// plugged in and followed: the connect and disconnect notices' threads end,
// and pool threads that idle stay counted alike at both ends.
Resources SoakTest::settledResources()
{
    waitUntil([] { return false; }, 1500);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return Resources::now();
}

void SoakTest::pullsAndFaults()
{
    const int cycles = knob("ZELK_SOAK_CYCLES", 200);
    const int minutes = knob("ZELK_SOAK_MINUTES", 10);
    const int stallLimit = knob("ZELK_SOAK_STALL_MS", 100);
    const unsigned seed = unsigned(
        knob("ZELK_SOAK_SEED",
             int(std::chrono::steady_clock::now().time_since_epoch().count() & 0x7fffffff)));
    random.seed(seed);
    qInfo("soak: %d cycles, seed %u (ZELK_SOAK_SEED=%u repeats the choices)", cycles, seed, seed);

    // Caches fill in the first cycles (Qt's dialogs, the allocator): the
    // baseline is taken after them.
    const int warmup = std::min(20, std::max(1, cycles / 10));
    Resources before;
    QElapsedTimer clock;
    clock.start();
    int cycle = 0;
    monitor.start();
    for (; cycle < cycles && clock.elapsed() < qint64(minutes) * 60000; ++cycle) {
        // Plugged in with a clean printer: no job waiting, no faults left.
        VirtualPrinter* p = printer.get();
        onHand([p] { replug(*p); });
        QVERIFY2(checkUsable(cycle), "the printer is usable again after each replug");
        closeMessageBoxes();
        if (cycle == warmup) {
            monitor.setPhase(QStringLiteral("measuring"));
            before = settledResources();
        }
        if (cycle > 0 && cycle % std::max(10, cycles / 10) == 0) {
            const Resources now = Resources::now();
            qInfo("soak: cycle %d, %lld s: %d threads, %d files, heap %s, resident %s", cycle,
                  clock.elapsed() / 1000, now.threads, now.files, qPrintable(megabytes(now.heap)),
                  qPrintable(megabytes(now.resident)));
        }

        // Work for the printer, faults, and a pull at a random moment.
        monitor.setPhase(QStringLiteral("operations"));
        upload = Upload();
        commands.clear();
        listingRunning = false;
        injectFaults();
        if (random() % 2)
            startUpload();
        if (RMDevice* device = followed()) {
            if (random() % 2) {
                commands << QFuture<void>(device->queryVersion())
                         << QFuture<void>(device->sendGCode(QStringLiteral("M105")))
                         << QFuture<void>(device->queryWiFiStatus())
                         << QFuture<void>(device->queryStoreConnected());
                count("firmware commands", 4);
            }
            if (random() % 2) {
                for (int i = 0; i < 3; ++i)
                    device->pollStatus();
                count("status polls", 3);
            }
        }
        if (random() % 3 == 0) {
            listing = RMDFUDevice::connectedDevices(dfuUtil);
            listingRunning = true;
            count("DFU listings");
        }
        const auto pullAfter = std::chrono::milliseconds(random() % 250);
        onHand([p, pullAfter] {
            std::this_thread::sleep_for(pullAfter);
            p->unplug();
        });

        monitor.setPhase(QStringLiteral("pulled"));
        QElapsedTimer ending;
        ending.start();
        const bool ended = waitUntil([this] { return everythingEnded(); }, 30000);
        longestEnding = std::max(longestEnding, ending.elapsed());
        if (!ended)
            describeRunningWork();
        QVERIFY2(ended, qPrintable(QStringLiteral("cycle %1: work still running 30 s after the "
                                                  "pull (status \"%2\")")
                                       .arg(cycle)
                                       .arg(statusText())));
        if (upload.started) {
            QVERIFY2(!upload.lost, qPrintable(QStringLiteral("cycle %1: an upload ended without "
                                                             "success or failure")
                                                  .arg(cycle)));
            if (upload.done) {
                count("uploads done");
                QVERIFY2(jobQueuedCount() > upload.queuedBefore,
                         qPrintable(QStringLiteral("cycle %1: an upload was reported done, but "
                                                   "the printer has no job")
                                        .arg(cycle)));
            }
            if (upload.failed) {
                closeMessageBoxes();
                QVERIFY2(
                    upload.reported,
                    qPrintable(
                        QStringLiteral("cycle %1: a failed upload was not reported").arg(cycle)));
                count("uploads failed, reported");
            }
        }
        if (watchedDevice)
            watchedDevice->removeEventFilter(this);
        closeMessageBoxes();
    }
    const int ran = cycle;
    count("cycles", ran);

    // Plugged in at the end, as at the baseline.
    VirtualPrinter* p = printer.get();
    onHand([p] { replug(*p); });
    QVERIFY2(checkUsable(ran), "the printer is usable after the soak");
    monitor.setPhase(QStringLiteral("measuring"));
    const Resources after = settledResources();
    monitor.stop();

    QStringList report;
    report << QStringLiteral("soak: %1 cycles in %2 s, seed %3")
                  .arg(ran)
                  .arg(clock.elapsed() / 1000)
                  .arg(seed);
    for (const auto& c : counters)
        report << QStringLiteral("  %1: %2").arg(c.first).arg(c.second);
    report << QStringLiteral("  worst GUI-thread stall: %1 ms busy or blocked (during %2); "
                             "%3 ms late, waiting for a CPU included")
                  .arg(monitor.worst())
                  .arg(monitor.worstPhase())
                  .arg(monitor.worstLate());
    report << QStringLiteral("  longest from a pull to everything ended: %1 ms").arg(longestEnding);
    report << QStringLiteral("  threads: %1 -> %2").arg(before.threads).arg(after.threads);
    report << QStringLiteral("  open files: %1 -> %2").arg(before.files).arg(after.files);
    report << QStringLiteral("  heap in use: %1 -> %2")
                  .arg(megabytes(before.heap), megabytes(after.heap));
    report << QStringLiteral("  resident: %1 -> %2")
                  .arg(megabytes(before.resident), megabytes(after.resident));
    for (auto it = after.fileNames.constBegin(); it != after.fileNames.constEnd(); ++it)
        if (before.fileNames.value(it.key()) != it.value())
            report << QStringLiteral("  open since the baseline: fd %1 -> %2")
                          .arg(it.key(), it.value());
    for (const QString& line : report)
        qInfo("%s", qPrintable(line));
    const QString reportFile = qEnvironmentVariable("ZELK_SOAK_REPORT");
    if (!reportFile.isEmpty()) {
        QFile out(reportFile);
        if (out.open(QIODevice::Append | QIODevice::Text))
            out.write(report.join(QLatin1Char('\n')).toUtf8() + "\n");
    }

    QVERIFY2(ran >= std::min(cycles, 1), "at least one cycle ran");
    QVERIFY2(monitor.worst() <= stallLimit,
             qPrintable(QStringLiteral("the GUI thread did not answer for %1 ms (during %2)")
                            .arg(monitor.worst())
                            .arg(monitor.worstPhase())));
    // Bounds: a thread or two of Qt's pools may come and go, a file or two
    // with them; the heap may grow by caches that fill once.
    QVERIFY2(after.threads <= before.threads + 2, "no growth of threads");
    QVERIFY2(after.files <= before.files + 4, "no growth of open files");
    QVERIFY2(after.heap - before.heap <= 16 * 1024 * 1024, "no growth of memory");
}

// Processes that only spin until they are killed, or until the soak dies.
// Made before any thread of the soak exists: the child of a fork copies no
// thread and no lock, and does nothing but spin.
std::vector<pid_t> startBusyProcesses(int count)
{
    std::vector<pid_t> busy;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (volatile unsigned long spin = 0;; spin = spin + 1) {
            }
        }
        if (pid > 0)
            busy.push_back(pid);
    }
    if (count > 0)
        std::fprintf(stderr, "soak: %d busy processes compete for the CPUs\n", int(busy.size()));
    return busy;
}

void stopBusyProcesses(const std::vector<pid_t>& busy)
{
    for (pid_t pid : busy)
        kill(pid, SIGKILL);
    for (pid_t pid : busy)
        waitpid(pid, nullptr, 0);
}

int main(int argc, char** argv)
{
    zelksim::VirtualBus::ensurePreloaded(argv);
    const std::vector<pid_t> busy = startBusyProcesses(knob("ZELK_SOAK_BUSY", 0));
    // The simulator keeps a file open per plug (see heldBySimulator): a long
    // soak needs more than the usual 1024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // Qt Test ends a test function after 5 minutes; the soak has its own bound.
    if (qEnvironmentVariableIsEmpty("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT",
                QByteArray::number((knob("ZELK_SOAK_MINUTES", 10) + 5) * 60 * 1000));
    zelksim::VirtualBus bus;
    zelktest::setSimBus(&bus);
    QStandardPaths::setTestModeEnabled(true);
    int status;
    {
        QApplication app(argc, argv);
        SoakTest test;
        status = QTest::qExec(&test, argc, argv);
    }
    zelktest::setSimBus(nullptr);
    stopBusyProcesses(busy);
    return status;
}

#include "SoakTest.moc"
