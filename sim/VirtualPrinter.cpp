#include "VirtualPrinter.h"

#include "DfuFunction.h"
#include "FirmwareModel.h"
#include "Json.h"
#include "PrintJobModel.h"
#include "VirtualBus.h"
#include "VirtualUsbDevice.h"
#include "Worker.h"

#include <cerrno>

namespace zelksim {

namespace {

constexpr uint16_t VENDOR = 0x2B75;
constexpr uint16_t PRODUCT_NORMAL = 0x0002;
constexpr uint16_t PRODUCT_DFU = 0x0003;
constexpr uint8_t OUT_EP[2] = {0x02, 0x04};
constexpr uint8_t IN_EP[2] = {0x81, 0x83};
constexpr auto TICK = std::chrono::milliseconds(20);

void put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x & 0xff));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> deviceDescriptor(uint16_t product)
{
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);                 // USB 2.0
    d.insert(d.end(), {0, 0, 0, 64}); // class per interface; ep0 packet size
    put16(d, VENDOR);
    put16(d, product);
    put16(d, 0x0100);                // bcdDevice
    d.insert(d.end(), {1, 2, 3, 1}); // strings; one configuration
    return d;
}

void appendConfiguration(std::vector<uint8_t>& d, const std::vector<uint8_t>& body)
{
    const auto total = static_cast<uint16_t>(9 + body.size());
    d.insert(d.end(), {9, 2});
    put16(d, total);
    d.insert(d.end(), {1, 1, 0, 0x80, 50}); // one interface, config 1, bus powered, 100 mA
    d.insert(d.end(), body.begin(), body.end());
}

std::vector<uint8_t> normalDescriptors()
{
    std::vector<uint8_t> d = deviceDescriptor(PRODUCT_NORMAL);
    std::vector<uint8_t> body = {9, 4, 0, 0, 4, 0xff, 0, 0, 0}; // vendor-specific interface 0
    for (uint8_t ep : {OUT_EP[0], IN_EP[0], OUT_EP[1], IN_EP[1]})
        body.insert(body.end(), {7, 5, ep, 2, 64, 0, 0}); // bulk, 64-byte packets
    appendConfiguration(d, body);
    return d;
}

std::vector<uint8_t> dfuDescriptors()
{
    std::vector<uint8_t> d = deviceDescriptor(PRODUCT_DFU);
    // DFU interface (class 0xFE, subclass 1, protocol 2: DFU mode), then the
    // DFU functional descriptor: can download and upload, manifestation
    // tolerant, 2048-byte transfers, DFU 1.1a as the DfuSe extension reports.
    std::vector<uint8_t> body = {9, 4, 0, 0, 0, 0xfe, 1, 2, 4};
    body.insert(body.end(), {9, 0x21, 0x07, 255, 0});
    put16(body, 2048);
    put16(body, 0x011a);
    appendConfiguration(d, body);
    return d;
}

} // namespace

// Bridges the USB device to the printer; outlives the printer if a host still
// holds the device open, so it forgets the printer when the printer goes.
class VirtualPrinter::Function : public UsbFunction
{
public:
    explicit Function(VirtualPrinter* p) : owner(p) {}

    void bulkOut(uint8_t endpoint, const uint8_t* data, size_t length) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!owner)
            return;
        const Channel ch = endpoint == OUT_EP[Job] ? Job : Command;
        VirtualPrinter* p = owner;
        p->worker->post([p, ch, bytes = std::vector<uint8_t>(data, data + length)]() mutable {
            p->received(ch, std::move(bytes));
        });
    }

    // The bootloader started `version`: the printer comes back in normal
    // mode running it, and the bootloader starts afresh next time.
    void booted(const std::string& version, std::weak_ptr<DfuFunction> dfu)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!owner)
            return;
        VirtualPrinter* p = owner;
        p->worker->postAfter(std::chrono::milliseconds(100), [p, version, dfu] {
            p->model->setFirmwareVersion(version);
            p->setFirmwareUpdateMode(false);
            if (auto bootloader = dfu.lock())
                bootloader->restart();
        });
    }

    void forget()
    {
        std::lock_guard<std::mutex> lock(mutex);
        owner = nullptr;
    }

private:
    std::mutex mutex; // guards owner
    VirtualPrinter* owner;
};

VirtualPrinter::VirtualPrinter(VirtualBus& bus, Options options)
    : opts(std::move(options)), bus_(bus)
{
    worker = std::make_unique<Worker>("vprinter-" + std::to_string(opts.bus) + ":" +
                                      std::to_string(opts.address));
    function = std::make_shared<Function>(this);
    model = std::make_unique<FirmwareModel>(opts.firmwareVersion, opts.serial);
    print = std::make_unique<PrintJobModel>(*model, opts.serial);

    PrintJobModel::Output output;
    output.job = [this](const std::string& bytes) {
        if (device().queuedInBytes(IN_EP[Job]) < UNREAD_LIMIT)
            queue(Job, std::vector<uint8_t>(bytes.begin(), bytes.end()), false);
    };
    output.event = [this](const std::string& name, const std::string& args) {
        if (device().queuedInBytes(IN_EP[Command]) < UNREAD_LIMIT)
            sendEvent(name, args);
    };
    output.wake = [this] { scheduleTick(std::chrono::milliseconds(0)); };
    print->setOutput(std::move(output));

    FirmwareModel::Hooks hooks;
    hooks.sendEvent = [this](const std::string& name, const std::string& args) {
        sendEvent(name, args);
    };
    // The firmware acknowledges the command; what came of it (a procedure
    // started, or "already loaded" and the like) shows in the status, which
    // is where the desktop looks for it.
    hooks.loadFilament = [this] {
        print->loadFilament();
        return static_cast<unsigned char>(0);
    };
    hooks.unloadFilament = [this] {
        print->unloadFilament();
        return static_cast<unsigned char>(0);
    };
    // The firmware answers first, then leaves the bus; the host sees the
    // printer go and come back as a firmware-update device.
    hooks.enterDfu = [this] {
        worker->postAfter(std::chrono::milliseconds(100), [this] { setFirmwareUpdateMode(true); });
    };
    hooks.reset = [this] {
        worker->postAfter(std::chrono::milliseconds(100), [this] {
            unplug();
            print->reboot();
            worker->postAfter(std::chrono::milliseconds(300), [this] { plug(); });
        });
    };
    model->setHooks(std::move(hooks));

    UsbDeviceConfig config;
    config.bus = opts.bus;
    config.address = opts.address;
    config.manufacturer = "Corvane";
    config.serial = opts.serial;
    config.descriptors = normalDescriptors();
    config.product = "Zelk";
    config.strings = {config.manufacturer, config.product, config.serial};
    normalDevice = std::make_unique<VirtualUsbDevice>(bus_.testbed(), config, function);
    // Firmware-update mode: the bootloader, reporting the serial number with
    // letters and digits only, flashes and starts what it is sent.
    auto dfu = std::make_shared<DfuFunction>(opts.firmwareVersion);
    dfu->setBootHandler([fn = std::weak_ptr<Function>(function),
                         weak = std::weak_ptr<DfuFunction>(dfu)](const std::string& version) {
        if (auto f = fn.lock())
            f->booted(version, weak);
    });
    config.descriptors = dfuDescriptors();
    config.product = "Zelk DFU";
    config.serial = DfuFunction::serialFor(opts.serial);
    config.strings = {config.manufacturer, config.product, config.serial, dfu->layoutName()};
    dfuDevice = std::make_unique<VirtualUsbDevice>(bus_.testbed(), config, dfu);
    active = opts.firmwareUpdateMode ? dfuDevice.get() : normalDevice.get();
}

VirtualPrinter::~VirtualPrinter()
{
    function->forget();   // no new work from the bus
    print->setOutput({}); // no more wake-ups from the model
    stopping = true;      // no more ticks; one that runs ends before the worker goes
    worker->sync();
    worker.reset();       // finishes what runs, drops what waits: nothing touches a device now
    normalDevice.reset(); // unplugs
    dfuDevice.reset();
}

VirtualUsbDevice& VirtualPrinter::device() const
{
    return *active.load();
}

void VirtualPrinter::plug()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        commandRx.clear();
        outstanding = 0;
    }
    print->hostAttached();
    device().plug();
}

void VirtualPrinter::unplug()
{
    device().unplug();
    print->hostDetached();
}

bool VirtualPrinter::isPlugged() const
{
    return device().isPlugged();
}

bool VirtualPrinter::inFirmwareUpdateMode() const
{
    return active.load() == dfuDevice.get();
}

void VirtualPrinter::setFirmwareUpdateMode(bool on)
{
    VirtualUsbDevice* next = on ? dfuDevice.get() : normalDevice.get();
    VirtualUsbDevice* previous = active.exchange(next);
    if (previous == next)
        return;
    const bool wasPlugged = previous->isPlugged();
    previous->unplug();
    if (wasPlugged)
        plug();
}

FirmwareModel& VirtualPrinter::firmware()
{
    return *model;
}

PrintJobModel& VirtualPrinter::printModel()
{
    return *print;
}

void VirtualPrinter::setTimeScale(double scale)
{
    model->setTimeScale(scale);
    print->timeScaleChanged();
}

void VirtualPrinter::pressButton()
{
    print->pressButton();
}

void VirtualPrinter::runOutOfFilament(int atPercent)
{
    print->runOutOfFilament(atPercent);
}

// One tick at a time: the model asks for the next one while it is busy.
void VirtualPrinter::scheduleTick(std::chrono::milliseconds after)
{
    if (stopping || tickPending.exchange(true))
        return;
    worker->postAfter(after, [this] {
        tickPending = false;
        if (!stopping && print->tick())
            scheduleTick(TICK);
    });
}

// ---------------------------------------------------------------------------
// Faults

void VirtualPrinter::injectFault(Fault fault, int times)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < times; ++i)
        faults.push_back(fault);
}

void VirtualPrinter::setResponseDelay(std::chrono::milliseconds d)
{
    std::lock_guard<std::mutex> lock(mutex);
    delay = d;
}

void VirtualPrinter::setInChunkSize(Channel channel, size_t bytes)
{
    device().setInChunkSize(IN_EP[channel], bytes);
}

void VirtualPrinter::failReceive(Channel channel, bool stall)
{
    device().failNextIn(IN_EP[channel], stall ? -EPIPE : -ENODEV);
}

void VirtualPrinter::timeoutWrites(Channel channel, int count)
{
    device().holdOutUrbs(OUT_EP[channel], count);
}

int VirtualPrinter::timedOutWrites() const
{
    return device().discardedOutUrbs();
}

int VirtualPrinter::writesReceived(Channel channel) const
{
    return device().outUrbs(OUT_EP[channel]);
}

void VirtualPrinter::failClaims(int skip, int count)
{
    device().failClaims(skip, count);
}

void VirtualPrinter::failReceiveStart(Channel channel, int count)
{
    device().failSubmits(IN_EP[channel], count);
}

void VirtualPrinter::denyAccess(bool on)
{
    device().denyAccess(on);
}

// ---------------------------------------------------------------------------
// Sending

std::vector<uint8_t> VirtualPrinter::frame(const std::string& payload)
{
    const size_t length = payload.size() + 1;
    std::vector<uint8_t> f = {'$'};
    put16(f, static_cast<uint16_t>(length));
    put16(f, static_cast<uint16_t>(~length));
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(';');
    return f;
}

void VirtualPrinter::queue(Channel channel, const std::vector<uint8_t>& bytes, bool pack)
{
    device().queueIn(IN_EP[channel], bytes.data(), bytes.size(), pack);
}

void VirtualPrinter::sendRaw(Channel channel, const std::vector<uint8_t>& bytes, bool pack)
{
    queue(channel, bytes, pack);
}

void VirtualPrinter::sendFrame(const std::string& payload, bool pack)
{
    queue(Command, frame(payload), pack);
}

void VirtualPrinter::sendEvent(const std::string& name, const std::string& argsJson)
{
    json::Tree args = json::parse(argsJson);
    unsigned long long id;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = eventId++;
    }
    json::Writer w;
    w.open().key("transport").open().key("attrs").openArray().str("request").str("oneway");
    w.closeArray().key("id").num(static_cast<long long>(id)).close();
    w.key("data").open().key("event").open().key("name").str(name).key("args");
    if (args)
        w.raw(args.get());
    else
        w.open().close();
    w.close().close().close();
    sendFrame(w.text());
}

// ---------------------------------------------------------------------------
// Receiving

void VirtualPrinter::received(Channel channel, std::vector<uint8_t> bytes)
{
    if (channel == Job) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            const size_t room = JOB_RECORD_LIMIT - std::min(JOB_RECORD_LIMIT, jobRx.size());
            jobRx.insert(jobRx.end(), bytes.begin(),
                         bytes.begin() + static_cast<long>(std::min(room, bytes.size())));
            changed.notify_all();
        }
        print->received(bytes.data(), bytes.size());
        return;
    }

    std::vector<std::string> payloads;
    {
        std::lock_guard<std::mutex> lock(mutex);
        commandRx.append(bytes.begin(), bytes.end());
        for (;;) {
            const size_t start = commandRx.find('$');
            if (start == std::string::npos) {
                commandRx.clear();
                break;
            }
            commandRx.erase(0, start);
            if (commandRx.size() < 5)
                break;
            const auto b = [this](size_t i) { return static_cast<uint8_t>(commandRx[i]); };
            const unsigned length = b(1) | b(2) << 8;
            const unsigned check = b(3) | b(4) << 8;
            if ((length ^ check) != 0xffff || length == 0) {
                commandRx.erase(0, 1);
                continue;
            }
            if (commandRx.size() < 5 + length)
                break;
            if (commandRx[4 + length] != ';') {
                commandRx.erase(0, 1);
                continue;
            }
            payloads.push_back(commandRx.substr(5, length - 1));
            commandRx.erase(0, 5 + length);
        }
    }
    for (const std::string& p : payloads)
        handleRequest(p);
}

void VirtualPrinter::handleRequest(const std::string& payload)
{
    json::Tree tree = json::parse(payload);
    bool twoway = false;
    long long id = -1;
    std::string dataJson = "{}";
    if (tree) {
        id = json::integer(json::at(tree.get(), {"transport", "id"}), -1);
        yajl_val attrs = json::at(tree.get(), {"transport", "attrs"});
        if (YAJL_IS_ARRAY(attrs))
            for (size_t i = 0; i < attrs->u.array.len; ++i)
                twoway = twoway || json::string(attrs->u.array.values[i]) == "twoway";
        if (yajl_val data = json::at(tree.get(), {"data"}))
            dataJson = json::serialize(data);
    }

    Responder custom;
    std::chrono::milliseconds wait;
    {
        std::lock_guard<std::mutex> lock(mutex);
        received_.push_back(payload);
        if (twoway) {
            ++outstanding;
            maxOutstanding_ = std::max(maxOutstanding_, outstanding);
        }
        custom = responder;
        wait = delay;
        changed.notify_all();
    }
    if (!twoway || id < 0)
        return;

    FirmwareModel::Reply reply;
    if (custom) {
        reply.data = custom(dataJson);
    } else {
        yajl_val command = json::at(tree.get(), {"data", "command"});
        if (YAJL_IS_OBJECT(command))
            reply = model->handle(command);
        else
            reply.data = dataJson; // a plain message: echo its data
    }
    const auto total = wait + reply.delay;
    auto send = [this, id, reply] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            --outstanding;
        }
        if (reply.data)
            respond(static_cast<unsigned long long>(id), *reply.data);
        if (reply.afterwards)
            reply.afterwards();
    };
    if (total.count() > 0)
        worker->postAfter(total, send);
    else
        send();
}

void VirtualPrinter::respond(unsigned long long id, const std::string& data)
{
    std::optional<Fault> fault;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!faults.empty()) {
            fault = faults.front();
            faults.pop_front();
        }
    }
    json::Tree dataTree = json::parse(data);
    auto envelope = [&](bool attrsArray, bool withId) {
        json::Writer w;
        w.open().key("transport").open().key("attrs");
        if (attrsArray)
            w.openArray().str("response").closeArray();
        else
            w.str("response");
        if (withId)
            w.key("id").num(static_cast<long long>(id));
        w.close().key("data");
        if (dataTree)
            w.raw(dataTree.get());
        else
            w.open().close();
        w.close();
        return w.text();
    };
    const std::vector<uint8_t> good = frame(envelope(true, true));

    if (!fault) {
        queue(Command, good, false);
        return;
    }
    std::vector<uint8_t> bad;
    switch (*fault) {
    case Fault::NoResponse:
        return;
    case Fault::LeadingGarbage:
        bad = {0x00, 0xff, 'g', 'a', 'r', 'b', 'a', 'g', 'e', ';', ';', 0x3b};
        break;
    case Fault::BadComplementFirst:
        bad = good;
        bad[3] ^= 0x01;
        break;
    case Fault::WrongTrailerFirst:
        bad = good;
        bad.back() = 'X';
        break;
    case Fault::ZeroLengthFirst:
        bad = frame("");
        break;
    case Fault::UnparsableFirst:
        bad = frame("{\"transport\":{\"attrs\":[\"response\"],\"id\":" + std::to_string(id));
        break;
    case Fault::NoTransportFirst:
        bad = frame("{\"data\":{}}");
        break;
    case Fault::NonArrayAttrsFirst:
        bad = frame(envelope(false, true));
        break;
    case Fault::MissingIdFirst:
        bad = frame(envelope(true, false));
        break;
    case Fault::OneByteChunks: {
        device().setInChunkSize(IN_EP[Command], 1);
        queue(Command, good, false);
        device().setInChunkSize(IN_EP[Command], 64);
        return;
    }
    case Fault::PackedWithEvent: {
        queue(Command,
              frame("{\"transport\":{\"attrs\":[\"request\",\"oneway\"],\"id\":1},"
                    "\"data\":{\"event\":{\"name\":\"debug_event\",\"args\":"
                    "{\"text\":[112,97,99,107,101,100,0]}}}}"),
              false);
        queue(Command, good, true);
        return;
    }
    }
    std::vector<uint8_t> both = bad;
    both.insert(both.end(), good.begin(), good.end());
    queue(Command, both, false);
}

// ---------------------------------------------------------------------------
// Observing

std::vector<std::string> VirtualPrinter::requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return received_;
}

size_t VirtualPrinter::requestCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return received_.size();
}

bool VirtualPrinter::waitForRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

int VirtualPrinter::maxOutstanding() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return maxOutstanding_;
}

std::vector<uint8_t> VirtualPrinter::jobBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return jobRx;
}

void VirtualPrinter::setResponder(Responder r)
{
    std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(r);
}

} // namespace zelksim
