// Upload figures: SendJobFile of a 10 MB print file to a virtual printer over
// the real libusb (the printer receives and checks it), in MB/s, and the CPU
// time the library's side spends per uploaded MB: the uploading thread
// (which runs the synchronous writes) and the library's USB thread. The
// simulated bus and printer live in this process too; their share is the
// rest of the process time, printed for scale.
//
//   bench_upload [--megabytes N]
#include <PrintJobModel.h>
#include <VirtualBus.h>
#include <VirtualPrinter.h>

#include <trel/TrelClient.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <string>
#include <unistd.h>

#include <sys/resource.h>
#include <time.h>

namespace {

class Client : public TrelClient
{
public:
    Client() { start_callbacks(); }
    ~Client() override { stop_callbacks(); }
    void device_connected(TrelDeviceAddress) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        connected = true;
        changed.notify_all();
    }
    bool waitConnected()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [this] { return connected; });
    }

private:
    std::mutex mutex; // guards connected
    std::condition_variable changed;
    bool connected = false;
};

double threadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double processSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

// CPU time of this process's thread with the given name (from /proc).
double namedThreadSeconds(const char* name)
{
    const long hz = sysconf(_SC_CLK_TCK);
    DIR* dir = opendir("/proc/self/task");
    double seconds = 0;
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::string comm;
        std::getline(std::ifstream(base + "/comm"), comm);
        if (comm != name)
            continue;
        std::string stat;
        std::getline(std::ifstream(base + "/stat"), stat);
        const char* p = std::strrchr(stat.c_str(), ')');
        unsigned long utime = 0, stime = 0;
        if (p && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                             &stime) == 2)
            seconds += static_cast<double>(utime + stime) / hz;
    }
    if (dir)
        closedir(dir);
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    zelksim::VirtualBus::ensurePreloaded(argv);
    long megabytes = 10;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--megabytes"))
            megabytes = std::atol(argv[i + 1]);

    const std::string path = "/tmp/zelk-bench-upload.gcode";
    {
        std::ofstream out(path, std::ios::binary);
        const std::string line = "G1 X12.345 Y67.890 E0.04321 F1800\n";
        for (long written = 0; written < megabytes * 1000000; written += line.size())
            out << line;
    }

    zelksim::VirtualBus bus;
    zelksim::VirtualPrinter printer(bus);
    printer.printModel().setStorageCapacity(1ull << 32);
    Client client;
    printer.plug();
    if (!client.waitConnected()) {
        std::fprintf(stderr, "virtual printer did not connect\n");
        return 1;
    }
    const TrelDeviceAddress address(1, 5);

    const double usb0 = namedThreadSeconds("trel-usb");
    const double thread0 = threadSeconds();
    const double process0 = processSeconds();
    const auto start = std::chrono::steady_clock::now();
    client.SendJobFile(address, path, nullptr, nullptr, false);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double thread = threadSeconds() - thread0;
    const double usb = namedThreadSeconds("trel-usb") - usb0;
    const double process = processSeconds() - process0;

    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const double mb = static_cast<double>(in.tellg()) / 1e6;
    std::printf("SendJobFile of %.1f MB to a virtual printer: %.2f s, %.2f MB/s "
                "(full-speed USB carries at most 1.216 MB/s)\n",
                mb, wall, mb / wall);
    std::printf("CPU per uploaded MB: uploading thread %.1f ms, USB thread %.1f ms "
                "(library side %.1f ms); whole process incl. simulated bus and printer %.1f ms\n",
                1000 * thread / mb, 1000 * usb / mb, 1000 * (thread + usb) / mb,
                1000 * process / mb);
    std::printf("printer state afterwards: %s, error %d\n",
                zelksim::PrintJobModel::stateName(printer.printModel().state()),
                printer.printModel().error());
    std::remove(path.c_str());
    return 0;
}
