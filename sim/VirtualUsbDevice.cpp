#include "VirtualUsbDevice.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelksim {

bool UsbFunction::controlRequest(const UsbSetup&, std::vector<uint8_t>&)
{
    return false;
}
void UsbFunction::bulkOut(uint8_t, const uint8_t*, size_t) {}
void UsbFunction::setInterface(unsigned int, unsigned int) {}
void UsbFunction::reset() {}

namespace {

constexpr size_t DEFAULT_CHUNK = 64;

std::string pad3(unsigned n)
{
    std::string s = std::to_string(n);
    return std::string(s.size() < 3 ? 3 - s.size() : 0, '0') + s;
}

std::string nodeName(const UsbDeviceConfig& c)
{
    return "/dev/bus/usb/" + pad3(c.bus) + "/" + pad3(c.address);
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

void mkdirs(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            ::mkdir(path.substr(0, i).c_str(), 0755);
}

} // namespace

// Shared between the device object and umockdev's handler: a client that still
// has the device open after an unplug keeps it alive, and gets ENODEV.
struct VirtualUsbDevice::Core
{
    // An URB between submit and reap. Its memory (the URB struct and its
    // buffer) is touched only on umockdev's worker thread: umockdev copies it
    // back to the client there, possibly after the submit ioctl returned, so
    // a completion made on another thread is recorded here and written into
    // the URB when the client reaps it.
    struct Urb
    {
        UMockdevIoctlData* data = nullptr;   // the URB struct (our reference)
        UMockdevIoctlData* buffer = nullptr; // its buffer; owned by `data`
        UMockdevIoctlClient* client = nullptr;
        uint8_t endpoint = 0;
        int bufferLength = 0;
        int status = 0;
        int actual = 0;
        size_t inOffset = 0;         // where inData goes in the buffer
        std::vector<uint8_t> inData; // device-to-host bytes

        usbdevfs_urb* urb() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
    };
    struct ClientState
    {
        std::deque<Urb> done;
    };

    UsbDeviceConfig config;
    std::string nodePath;

    // Guards everything below. Never held while calling the function or
    // completing an ioctl.
    mutable std::mutex mutex;
    std::shared_ptr<UsbFunction> function;
    bool gone = false;
    std::map<UMockdevIoctlClient*, ClientState> clients; // one reference each
    std::map<uint8_t, std::deque<Urb>> pendingIn;
    std::deque<Urb> heldOut;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> inChunks;
    std::map<uint8_t, size_t> chunkSize;
    std::map<uint8_t, int> failNext;
    std::map<uint8_t, int> holdOut;
    std::map<uint8_t, int> outCount;
    int discarded = 0;
    int claimSkip = 0;
    int claimFailures = 0;
    std::map<uint8_t, int> submitFailures;
    bool accessDenied = false;
    // Which open file holds interface 0, as the kernel keeps it: a second
    // program's claim fails with EBUSY until the holder releases or closes.
    UMockdevIoctlClient* claimedBy = nullptr;

    // The device node is a FIFO that we keep full while no URB waits to be
    // reaped and empty while one does. libusb polls the node for POLLOUT, which
    // a full pipe never reports; a regular file would report it always and
    // make the host's event loop spin.
    int fifo = -1;
    bool reapable = false;

    ~Core()
    {
        for (auto& c : clients) {
            for (Urb& u : c.second.done)
                g_object_unref(u.data);
            g_object_unref(c.first);
        }
        for (auto& q : pendingIn)
            for (Urb& u : q.second)
                g_object_unref(u.data);
        for (Urb& u : heldOut)
            g_object_unref(u.data);
        if (fifo >= 0)
            ::close(fifo);
    }

    void setReapable(bool on)
    {
        if (fifo < 0 || on == reapable)
            return;
        reapable = on;
        char buf[4096];
        if (on) {
            while (::read(fifo, buf, sizeof buf) > 0) {
            }
        } else {
            std::memset(buf, 0, sizeof buf);
            while (::write(fifo, buf, sizeof buf) > 0) {
            }
        }
    }

    // Where the FIFO waits while the node path refuses opening.
    std::string heldAside() const { return nodePath + ".denied"; }

    // Puts the refusing link in the node's place, or the FIFO back. The FIFO
    // keeps its inode (and our descriptor) while it is renamed aside. The
    // link's target refuses an open for writing with EACCES to root as well:
    // the kernel checks a read-only setting's mode for root too, and before
    // a read-only mount of /proc could answer EROFS.
    void applyAccess()
    {
        if (fifo < 0 || gone)
            return;
        struct stat st;
        const bool linked = ::lstat(nodePath.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        if (accessDenied && !linked) {
            ::rename(nodePath.c_str(), heldAside().c_str());
            if (::symlink("/proc/sys/kernel/osrelease", nodePath.c_str()) != 0)
                ::rename(heldAside().c_str(), nodePath.c_str());
        } else if (!accessDenied && linked) {
            ::unlink(nodePath.c_str());
            ::rename(heldAside().c_str(), nodePath.c_str());
        }
    }

    void updateReapable()
    {
        bool any = false;
        for (auto& c : clients)
            any = any || !c.second.done.empty();
        setReapable(any);
    }

    // Ends an URB with `status` and `actual` bytes transferred and queues it for
    // its client to reap. For IN data, fill the buffer first.
    void finish(Urb& u, int status, int actual)
    {
        u.actual = actual;
        u.status = status;
        auto it = clients.find(u.client);
        if (it == clients.end()) { // the client went away meanwhile
            g_object_unref(u.data);
            return;
        }
        it->second.done.push_back(u);
    }

    static void fill(Urb& u, const uint8_t* bytes, size_t n, size_t offset = 0)
    {
        u.inData.assign(bytes, bytes + n);
        u.inOffset = offset;
    }

    void deliverIn(uint8_t ep)
    {
        auto& pending = pendingIn[ep];
        auto& chunks = inChunks[ep];
        while (!pending.empty() && !chunks.empty()) {
            Urb u = pending.front();
            pending.pop_front();
            std::vector<uint8_t>& chunk = chunks.front();
            const size_t room = static_cast<size_t>(std::max(u.bufferLength, 0));
            const size_t n = std::min(room, chunk.size());
            fill(u, chunk.data(), n);
            finish(u, 0, static_cast<int>(n));
            if (n == chunk.size())
                chunks.pop_front();
            else
                chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        }
        auto fail = failNext.find(ep);
        if (fail != failNext.end() && !pending.empty()) {
            Urb u = pending.front();
            pending.pop_front();
            finish(u, fail->second, 0);
            failNext.erase(fail);
        }
        updateReapable();
    }

    void pruneClients()
    {
        for (auto it = clients.begin(); it != clients.end();) {
            if (umockdev_ioctl_client_get_connected(it->first)) {
                ++it;
                continue;
            }
            UMockdevIoctlClient* dead = it->first;
            if (claimedBy == dead)
                claimedBy = nullptr;
            auto dropFrom = [dead](std::deque<Urb>& q) {
                for (auto u = q.begin(); u != q.end();) {
                    if (u->client == dead) {
                        g_object_unref(u->data);
                        u = q.erase(u);
                    } else {
                        ++u;
                    }
                }
            };
            for (auto& q : pendingIn)
                dropFrom(q.second);
            dropFrom(heldOut);
            for (Urb& u : it->second.done)
                g_object_unref(u.data);
            g_object_unref(dead);
            it = clients.erase(it);
        }
    }

    void failAllPending(int status)
    {
        for (auto& q : pendingIn) {
            for (Urb& u : q.second)
                finish(u, status, 0);
            q.second.clear();
        }
        for (Urb& u : heldOut)
            finish(u, status, 0);
        heldOut.clear();
        updateReapable();
    }

    bool standardRequest(const UsbSetup& s, std::vector<uint8_t>& data)
    {
        if (s.requestType != 0x80 || s.request != 6 /* GET_DESCRIPTOR */)
            return false;
        const uint8_t type = s.value >> 8, index = s.value & 0xff;
        const auto& d = config.descriptors;
        if (type == 1) { // device
            data.assign(d.begin(), d.begin() + std::min<size_t>(18, d.size()));
        } else if (type == 2 && d.size() > 18) { // configuration
            data.assign(d.begin() + 18, d.end());
        } else if (type == 3 && index == 0) { // language ids: en-US
            data = {4, 3, 0x09, 0x04};
        } else if (type == 3 && index <= config.strings.size()) {
            const std::string& text = config.strings[index - 1];
            data.assign(2, 0);
            for (unsigned char c : text) { // UTF-16LE, ASCII texts only
                data.push_back(c);
                data.push_back(0);
            }
            data[0] = static_cast<uint8_t>(std::min<size_t>(data.size(), 255));
            data[1] = 3;
        } else {
            return false;
        }
        if (data.size() > s.length)
            data.resize(s.length);
        return true;
    }

    // Returns the ioctl result; sets err.
    long submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, int& err)
    {
        GError* error = nullptr;
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
        if (!data) {
            g_clear_error(&error);
            err = EFAULT;
            return -1;
        }
        Urb u;
        u.data = data; // our reference
        u.client = client;
        u.endpoint = u.urb()->endpoint;
        const int length = u.urb()->buffer_length;
        u.bufferLength = length;
        if (length > 0) {
            u.buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                   static_cast<size_t>(length), &error);
            if (!u.buffer) {
                g_clear_error(&error);
                g_object_unref(data);
                err = EFAULT;
                return -1;
            }
            g_object_unref(u.buffer); // `data` keeps it
        }
        const uint8_t type = u.urb()->type;

        if (type == USBDEVFS_URB_TYPE_CONTROL) {
            if (length < 8) {
                g_object_unref(data);
                err = EINVAL;
                return -1;
            }
            const uint8_t* b = u.buffer->data;
            UsbSetup setup{b[0], b[1], static_cast<uint16_t>(b[2] | b[3] << 8),
                           static_cast<uint16_t>(b[4] | b[5] << 8),
                           static_cast<uint16_t>(b[6] | b[7] << 8)};
            std::vector<uint8_t> payload;
            if (!(setup.requestType & 0x80))
                payload.assign(b + 8, b + 8 + std::min<int>(setup.length, length - 8));
            bool ok = standardRequest(setup, payload);
            std::shared_ptr<UsbFunction> fn;
            if (!ok) {
                std::lock_guard<std::mutex> lock(mutex);
                fn = function;
            }
            if (!ok && fn)
                ok = fn->controlRequest(setup, payload);
            std::lock_guard<std::mutex> lock(mutex);
            if (!ok) {
                finish(u, -EPIPE, 0);
            } else if (setup.requestType & 0x80) {
                payload.resize(
                    std::min<size_t>(payload.size(), std::min<int>(setup.length, length - 8)));
                fill(u, payload.data(), payload.size(), 8);
                finish(u, 0, static_cast<int>(payload.size()));
            } else {
                finish(u, 0, setup.length);
            }
            updateReapable();
            return 0;
        }

        {
            std::lock_guard<std::mutex> lock(mutex);
            auto refuse = submitFailures.find(u.endpoint);
            if (refuse != submitFailures.end() && refuse->second > 0) {
                --refuse->second;
                g_object_unref(data);
                err = EIO;
                return -1;
            }
        }

        if (!(u.endpoint & 0x80)) { // OUT
            std::shared_ptr<UsbFunction> fn;
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++outCount[u.endpoint];
                auto hold = holdOut.find(u.endpoint);
                if (hold != holdOut.end() && hold->second > 0) {
                    --hold->second;
                    heldOut.push_back(u);
                    return 0;
                }
                fn = function;
            }
            if (fn && length > 0)
                fn->bulkOut(u.endpoint, u.buffer->data, static_cast<size_t>(length));
            std::lock_guard<std::mutex> lock(mutex);
            finish(u, 0, length);
            updateReapable();
            return 0;
        }

        std::lock_guard<std::mutex> lock(mutex); // IN
        pendingIn[u.endpoint].push_back(u);
        deliverIn(u.endpoint);
        return 0;
    }

    long reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, int& err)
    {
        Urb u;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto& state = clients[client];
            if (state.done.empty()) {
                err = gone ? ENODEV : EAGAIN;
                return -1;
            }
            u = state.done.front();
            state.done.pop_front();
            updateReapable();
        }
        // On the worker thread now: the URB's memory is ours to write.
        if (!u.inData.empty() && u.buffer &&
            u.inOffset + u.inData.size() <= static_cast<size_t>(u.bufferLength))
            std::memcpy(u.buffer->data + u.inOffset, u.inData.data(), u.inData.size());
        u.urb()->actual_length = u.actual;
        u.urb()->status = u.status;

        GError* error = nullptr;
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        if (!slot) {
            g_clear_error(&error);
            g_object_unref(u.data);
            err = EFAULT;
            return -1;
        }
        // The client's pointer now names its own URB; umockdev writes the URB
        // and its buffer back when the ioctl completes.
        umockdev_ioctl_data_set_ptr(slot, 0, u.data);
        g_object_unref(slot);
        g_object_unref(u.data);
        return 0;
    }

    long discard(UMockdevIoctlData* arg, int& err)
    {
        const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
        std::lock_guard<std::mutex> lock(mutex);
        auto take = [&](std::deque<Urb>& q) {
            for (auto it = q.begin(); it != q.end(); ++it) {
                if (it->data->client_addr != address)
                    continue;
                Urb u = *it;
                q.erase(it);
                finish(u, -ENOENT, 0);
                updateReapable();
                return true;
            }
            return false;
        };
        for (auto& q : pendingIn)
            if (take(q.second))
                return 0;
        if (take(heldOut)) {
            ++discarded;
            return 0;
        }
        err = EINVAL;
        return -1;
    }

    void handle(UMockdevIoctlClient* client)
    {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        long result = 0;
        int err = 0;
        bool isGone;
        {
            std::lock_guard<std::mutex> lock(mutex);
            pruneClients();
            if (!clients.count(client)) {
                g_object_ref(client);
                clients[client];
            }
            isGone = gone;
        }

        if (isGone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
            request != USBDEVFS_DISCARDURB) {
            result = -1;
            err = ENODEV;
        } else {
            switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                GError* error = nullptr;
                UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, 4, &error);
                if (caps) {
                    const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION |
                                           USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                           USBDEVFS_CAP_ZERO_PACKET;
                    std::memcpy(caps->data, &value, 4);
                    g_object_unref(caps);
                } else {
                    g_clear_error(&error);
                    result = -1;
                    err = EFAULT;
                }
                break;
            }
            case USBDEVFS_CLAIMINTERFACE: {
                std::lock_guard<std::mutex> lock(mutex);
                if (claimedBy && claimedBy != client) {
                    result = -1;
                    err = EBUSY;
                } else if (claimSkip > 0) {
                    --claimSkip;
                    claimedBy = client;
                } else if (claimFailures > 0) {
                    --claimFailures;
                    result = -1;
                    err = EBUSY;
                } else {
                    claimedBy = client;
                }
                break;
            }
            case USBDEVFS_RELEASEINTERFACE: {
                std::lock_guard<std::mutex> lock(mutex);
                if (claimedBy == client)
                    claimedBy = nullptr;
                break;
            }
            case USBDEVFS_SETCONFIGURATION:
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESETEP:
                break;
            case USBDEVFS_SETINTERFACE: {
                GError* error = nullptr;
                UMockdevIoctlData* s =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), &error);
                if (!s) {
                    g_clear_error(&error);
                    result = -1;
                    err = EFAULT;
                    break;
                }
                usbdevfs_setinterface si;
                std::memcpy(&si, s->data, sizeof si);
                g_object_unref(s);
                std::shared_ptr<UsbFunction> fn;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    fn = function;
                }
                if (fn)
                    fn->setInterface(si.interface, si.altsetting);
                break;
            }
            case USBDEVFS_RESET: {
                std::shared_ptr<UsbFunction> fn;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    fn = function;
                }
                if (fn)
                    fn->reset();
                break;
            }
            case USBDEVFS_GETDRIVER:
            case USBDEVFS_IOCTL: // no kernel driver is bound to our interfaces
                result = -1;
                err = ENODATA;
                break;
            case USBDEVFS_SUBMITURB:
                result = submit(client, arg, err);
                break;
            case USBDEVFS_REAPURBNDELAY:
                result = reap(client, arg, err);
                break;
            case USBDEVFS_DISCARDURB:
                result = discard(arg, err);
                break;
            default:
                result = -1;
                err = ENOTTY;
                break;
            }
        }
        umockdev_ioctl_client_complete(client, result, err);
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
    {
        (*static_cast<std::shared_ptr<Core>*>(user))->handle(client);
        return TRUE;
    }

    static void releaseHolder(gpointer user, GClosure*)
    {
        delete static_cast<std::shared_ptr<Core>*>(user);
    }
};

VirtualUsbDevice::VirtualUsbDevice(UMockdevTestbed* tb, UsbDeviceConfig cfg,
                                   std::shared_ptr<UsbFunction> function)
    : testbed(tb)
{
    core = std::make_shared<Core>();
    core->config = std::move(cfg);
    core->function = std::move(function);
}

VirtualUsbDevice::~VirtualUsbDevice()
{
    unplug();
}

const UsbDeviceConfig& VirtualUsbDevice::config() const
{
    return core->config;
}

bool VirtualUsbDevice::isPlugged() const
{
    std::lock_guard<std::mutex> lock(core->mutex);
    return core->fifo >= 0 && !core->gone;
}

static std::string sysPath(const UsbDeviceConfig& c)
{
    const std::string bus = std::to_string(c.bus);
    return "/sys/devices/zelk-sim/usb" + bus + "/" + bus + "-" + std::to_string(c.address);
}

void VirtualUsbDevice::plug()
{
    if (isPlugged())
        return;
    if (core->gone) { // plugged again after an unplug: a new device on the bus
        // Let go of the clients that have closed an old node: each holds
        // umockdev's handler, whose closure holds the old core, which held
        // them, and its node open, for the rest of the process. A host may
        // close the node only after this plug (it learns of the pull at its
        // next scan): such a core waits here for a later plug.
        retired.push_back(core);
        for (auto it = retired.begin(); it != retired.end();) {
            bool closedByAll;
            {
                std::lock_guard<std::mutex> lock((*it)->mutex);
                (*it)->pruneClients();
                closedByAll = (*it)->clients.empty();
            }
            it = closedByAll ? retired.erase(it) : it + 1;
        }
        auto fresh = std::make_shared<Core>();
        fresh->config = core->config;
        fresh->function = core->function;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            fresh->accessDenied = core->accessDenied;
        }
        core = fresh;
    }
    const UsbDeviceConfig& c = core->config;
    const std::string node = nodeName(c);
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    core->nodePath = std::string(root) + node;
    g_free(root);

    // The node, as a FIFO kept full (see Core::setReapable).
    mkdirs(core->nodePath.substr(0, core->nodePath.rfind('/')));
    ::unlink(core->nodePath.c_str());
    if (::mkfifo(core->nodePath.c_str(), 0666) != 0)
        throw std::runtime_error("cannot create device node " + core->nodePath);
    core->fifo = ::open(core->nodePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (core->fifo < 0)
        throw std::runtime_error("cannot open device node " + core->nodePath);
    ::fcntl(core->fifo, F_SETPIPE_SZ, 4096);
    core->reapable = true;
    core->setReapable(false);
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->applyAccess();
    }

    // The handler must be attached before the record exists, or an early open
    // talks to umockdev's default handler.
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect_data(handler, "handle-ioctl", reinterpret_cast<GCallback>(&Core::onIoctl),
                          new std::shared_ptr<Core>(core), &Core::releaseHolder,
                          static_cast<GConnectFlags>(0));
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), handler, &error)) {
        std::string why = error ? error->message : "unknown";
        g_clear_error(&error);
        g_object_unref(handler);
        throw std::runtime_error("cannot attach ioctl handler: " + why);
    }
    g_object_unref(handler); // the testbed and its clients hold it now

    const unsigned minor = (c.bus - 1u) * 128u + (c.address - 1u);
    char vendor[8], product[8];
    std::snprintf(vendor, sizeof vendor, "%02x%02x", c.descriptors[9], c.descriptors[8]);
    std::snprintf(product, sizeof product, "%02x%02x", c.descriptors[11], c.descriptors[10]);
    std::string record;
    record += "P: " + sysPath(c).substr(4) + "\n";
    record += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    record += "E: DEVNAME=" + node + "\n";
    record += "E: BUSNUM=" + pad3(c.bus) + "\nE: DEVNUM=" + pad3(c.address) + "\n";
    record += "E: MAJOR=189\nE: MINOR=" + std::to_string(minor) + "\n";
    record += "A: dev=189:" + std::to_string(minor) + "\n";
    record +=
        "A: busnum=" + std::to_string(c.bus) + "\nA: devnum=" + std::to_string(c.address) + "\n";
    record += "A: devpath=" + std::to_string(c.address) + "\n";
    record += "A: speed=12\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n";
    record += std::string("A: idVendor=") + vendor + "\nA: idProduct=" + product + "\n";
    if (!c.manufacturer.empty())
        record += "A: manufacturer=" + c.manufacturer + "\n";
    if (!c.product.empty())
        record += "A: product=" + c.product + "\n";
    if (!c.serial.empty())
        record += "A: serial=" + c.serial + "\n";
    record += "H: descriptors=" + hex(c.descriptors) + "\n";
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
        std::string why = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("cannot add device record: " + why);
    }
    umockdev_testbed_uevent(testbed, sysPath(c).c_str(), "add");
}

void VirtualUsbDevice::unplug()
{
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (core->fifo < 0 || core->gone)
            return;
        core->gone = true;
        core->failAllPending(-ENODEV);
        core->setReapable(true); // wake every host so that it sees the loss
    }
    const UsbDeviceConfig& c = core->config;
    const std::string path = sysPath(c);
    // umockdev's removal sends no uevent of its own.
    umockdev_testbed_uevent(testbed, path.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, path.c_str());
    GError* error = nullptr;
    umockdev_testbed_detach_ioctl(testbed, nodeName(c).c_str(), &error);
    g_clear_error(&error);
    ::unlink(core->nodePath.c_str());
    ::unlink(core->heldAside().c_str());
}

void VirtualUsbDevice::queueIn(uint8_t endpoint, const uint8_t* data, size_t length, bool pack)
{
    std::lock_guard<std::mutex> lock(core->mutex);
    if (core->gone)
        return;
    auto& chunks = core->inChunks[endpoint];
    auto sizeIt = core->chunkSize.find(endpoint);
    const size_t chunk = sizeIt == core->chunkSize.end() ? DEFAULT_CHUNK : sizeIt->second;
    if (length == 0)
        chunks.emplace_back();
    size_t pos = 0;
    if (pack && !chunks.empty() && chunks.back().size() < chunk) {
        const size_t n = std::min(chunk - chunks.back().size(), length);
        chunks.back().insert(chunks.back().end(), data, data + n);
        pos = n;
    }
    while (pos < length) {
        const size_t n = std::min(chunk, length - pos);
        chunks.emplace_back(data + pos, data + pos + n);
        pos += n;
    }
    core->deliverIn(endpoint);
}

void VirtualUsbDevice::setInChunkSize(uint8_t endpoint, size_t bytes)
{
    std::lock_guard<std::mutex> lock(core->mutex);
    core->chunkSize[endpoint] = bytes ? bytes : DEFAULT_CHUNK;
}

size_t VirtualUsbDevice::queuedInBytes(uint8_t endpoint) const
{
    std::lock_guard<std::mutex> lock(core->mutex);
    size_t n = 0;
    auto it = core->inChunks.find(endpoint);
    if (it != core->inChunks.end())
        for (auto& c : it->second)
            n += c.size();
    return n;
}

void VirtualUsbDevice::failNextIn(uint8_t endpoint, int negativeErrno)
{
    std::lock_guard<std::mutex> lock(core->mutex);
    core->failNext[endpoint] = negativeErrno;
    core->deliverIn(endpoint);
}

void VirtualUsbDevice::holdOutUrbs(uint8_t endpoint, int count)
{
    std::lock_guard<std::mutex> lock(core->mutex);
    core->holdOut[endpoint] = count;
}

int VirtualUsbDevice::outUrbs(uint8_t endpoint) const
{
    std::lock_guard<std::mutex> lock(core->mutex);
    auto it = core->outCount.find(endpoint);
    return it == core->outCount.end() ? 0 : it->second;
}

void VirtualUsbDevice::failClaims(int skip, int count)
{
    std::lock_guard<std::mutex> lock(core->mutex);
    core->claimSkip = skip;
    core->claimFailures = count;
}

void VirtualUsbDevice::failSubmits(uint8_t endpoint, int count)
{
    std::lock_guard<std::mutex> lock(core->mutex);
    core->submitFailures[endpoint] = count;
}

void VirtualUsbDevice::denyAccess(bool on)
{
    std::lock_guard<std::mutex> lock(core->mutex);
    core->accessDenied = on;
    core->applyAccess();
}

int VirtualUsbDevice::discardedOutUrbs() const
{
    std::lock_guard<std::mutex> lock(core->mutex);
    return core->discarded;
}

} // namespace zelksim
