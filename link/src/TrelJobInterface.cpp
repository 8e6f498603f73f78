#include <trel/TrelException.h>
#include <trel/TrelJobInterface.h>
#include <trel/TrelMessage.h>

#include <zlib.h>

#include <cstdio>
#include <iostream>
#include <memory>

namespace {

constexpr size_t BLOCK = 5120;

void writeText(TrelDeviceAddress address, const std::string& text)
{
    TrelUsb::write(reinterpret_cast<const unsigned char*>(text.data()),
                   static_cast<unsigned int>(text.size()), address, TREL_USB_INTERFACE_JOB);
}

std::string controlMessage(const char* type)
{
    return std::string("{\"metadata\":{\"version\":1,\"type\":\"") + type + "\"}}";
}

struct FileCloser
{
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

TrelJobInterface::TrelJobInterface()
{
    TrelUsb::client_register(*this, TREL_USB_INTERFACE_JOB);
    registered = true;
}

TrelJobInterface::~TrelJobInterface()
{
    stop_job_callbacks();
}

void TrelJobInterface::start_job_callbacks()
{
    delivering = true;
}

void TrelJobInterface::stop_job_callbacks()
{
    delivering = false;
    if (!registered)
        return;
    registered = false;
    TrelUsb::client_unregister(*this, TREL_USB_INTERFACE_JOB);
}

// ---------------------------------------------------------------------------
// Sending

void TrelJobInterface::RequestStatus(TrelDeviceAddress address)
{
    writeText(address, controlMessage("status"));
}

void TrelJobInterface::SendPause(TrelDeviceAddress address)
{
    writeText(address, controlMessage("pause"));
}

void TrelJobInterface::SendAbort(TrelDeviceAddress address)
{
    writeText(address, controlMessage("abort"));
}

void TrelJobInterface::SendJobData(TrelDeviceAddress address, const unsigned char* data,
                                   unsigned int length)
{
    TrelUsb::write(data, length, address, TREL_USB_INTERFACE_JOB);
}

std::string TrelJobInterface::file_push_header(unsigned long long size, uint32_t adler32,
                                               const std::string& jobId)
{
    std::unique_ptr<yajl_gen_t, void (*)(yajl_gen)> g(yajl_gen_alloc(nullptr), yajl_gen_free);
    yajl_gen gen = g.get();
    TrelMessage::gen_map_open(gen);
    TrelMessage::gen_string(gen, "metadata");
    TrelMessage::gen_map_open(gen);
    TrelMessage::gen_string(gen, "version");
    TrelMessage::gen_integer(gen, 1);
    TrelMessage::gen_string(gen, "type");
    TrelMessage::gen_string(gen, "file_push");
    TrelMessage::gen_map_close(gen);
    TrelMessage::gen_string(gen, "file_push");
    TrelMessage::gen_map_open(gen);
    TrelMessage::gen_string(gen, "size");
    TrelMessage::gen_number(gen, std::to_string(size));
    TrelMessage::gen_string(gen, "adler32");
    TrelMessage::gen_integer(gen, adler32);
    TrelMessage::gen_string(gen, "job_id");
    TrelMessage::gen_string(gen, jobId);
    TrelMessage::gen_map_close(gen);
    TrelMessage::gen_map_close(gen);
    const unsigned char* buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(gen, &buf, &len);
    return std::string(reinterpret_cast<const char*>(buf), len);
}

void TrelJobInterface::SendJobFile(TrelDeviceAddress address, std::string path,
                                   ProgressCallback progress, void* user, bool compress)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw TrelException(TREL_ERROR_INVALID_ARGUMENT, "Failed to open job file.");
    if (compress)
        throw TrelException(TREL_ERROR_INVALID_ARGUMENT, "Compression not supported yet.");

    std::unique_ptr<unsigned char[]> buffer(new unsigned char[BLOCK]);
    const std::string jobId;

    // The checksum is Adler-32 started from 0, not from the standard 1: that
    // is what the printer checks against.
    uLong checksum = 0;
    unsigned long long size = 0;
    std::rewind(file.get());
    while (!std::feof(file.get())) {
        const size_t n = std::fread(buffer.get(), 1, BLOCK, file.get());
        checksum = adler32(checksum, buffer.get(), static_cast<uInt>(n));
        size += n;
        // A file that cannot be read (a directory, a failing disk) used to go
        // out as an empty file and be reported as sent: refuse it instead,
        // before anything is written.
        if (std::ferror(file.get()))
            throw TrelException(TREL_ERROR_INVALID_ARGUMENT, "Failed to read job file.");
    }
    std::rewind(file.get());

    writeText(address, file_push_header(size, static_cast<uint32_t>(checksum), jobId));
    if (progress)
        progress(0.0, jobId, user);

    unsigned long long sent = 0;
    while (!std::feof(file.get())) {
        // A read at the very end returns nothing and still makes its (empty)
        // write: the printer sees exactly what was read.
        size_t n = std::fread(buffer.get(), 1, BLOCK, file.get());
        // Never more than the header announced: bytes beyond it would reach
        // the printer as messages. A file that grew since the checksum pass
        // is cut there and reported.
        const bool grew = sent + n > size;
        if (grew)
            n = static_cast<size_t>(size - sent);
        TrelUsb::write(buffer.get(), static_cast<unsigned int>(n), address, TREL_USB_INTERFACE_JOB);
        sent += n;
        if (grew)
            throw TrelException(TREL_ERROR_IO, "Job file changed while it was being sent.");
        // A read error half-way leaves the printer a short file (its size
        // check refuses it); it is not reported as complete.
        if (std::ferror(file.get()))
            throw TrelException(TREL_ERROR_IO, "Failed to read job file.");
        if (progress) {
            const double percent = sent * 100.0 / static_cast<double>(size);
            // The cap also catches the NaN of an empty file.
            progress(percent < 99.9 ? percent : 99.9, jobId, user);
        }
    }
    if (progress)
        progress(100.0, jobId, user);
}

// ---------------------------------------------------------------------------
// Receiving

void TrelJobInterface::StatusReceived(TrelDeviceAddress, StatusMsg) {}

void TrelJobInterface::JobDataReceived(TrelDeviceAddress, const unsigned char*, unsigned int) {}

void TrelJobInterface::usb_device_connected(TrelDeviceAddress address)
{
    rx_buffers[address] = rx_buffer_t();
}

void TrelJobInterface::usb_device_disconnected(TrelDeviceAddress address)
{
    rx_buffers[address] = rx_buffer_t();
}

void TrelJobInterface::data_received(unsigned char* data, unsigned int length,
                                     TrelDeviceAddress address)
{
    rx_buffer_t& rx = rx_buffers[address];
    const uint64_t from = rx.base + rx.bytes.size();
    rx.bytes.append(reinterpret_cast<const char*>(data), length);
    scanned_bytes += length;

    // Every complete message is taken now, not one per chunk: a status that
    // arrived together with another message would otherwise wait until the
    // printer happened to send more, and the status line would lag. Each byte
    // is looked at once; what giving up a brace needs is recorded here.
    for (uint64_t pos = from; pos < from + length; ++pos) {
        const char c = data[pos - from];
        if (c == '{') {
            rx.open.push_back(open_brace_t{pos});
        } else if (c == '}') {
            if (rx.open.empty()) { // a stray closing brace: drop through it
                rx.head = pos + 1;
            } else if (rx.open.size() == 1) {
                rx.open.clear();
                rx.closes.clear();
                deliver_range(address, rx, rx.head, pos);
            } else {
                const open_brace_t done = rx.open.back();
                rx.open.pop_back();
                // Its own completed objects are part of it now.
                rx.closes.resize(rx.closes.size() - done.children);
                open_brace_t& parent = rx.open.back();
                if (parent.children++ == 0)
                    parent.first_child = done.at;
                rx.closes.push_back(pos);
            }
        }
    }

    // An opening brace that never closes: give it up and look for messages
    // from the next opening brace on, until what is kept fits again.
    while (rx.base + rx.bytes.size() - rx.head > MAX_MESSAGE) {
        if (rx.open.empty()) {
            rx.head = rx.base + rx.bytes.size(); // text alone, no brace
            break;
        }
        give_up_outermost(address, rx);
    }

    const uint64_t dropped = rx.head - rx.base;
    if (dropped == rx.bytes.size()) {
        rx.bytes.clear();
        rx.base = rx.head;
    } else if (dropped > 0 && dropped >= rx.bytes.size() / 2) {
        rx.bytes.erase(0, static_cast<size_t>(dropped));
        rx.base = rx.head;
    }
}

// Hands on the bytes from `from` to `to` (inclusive) as one message; `head`
// moves past them.
void TrelJobInterface::deliver_range(TrelDeviceAddress address, rx_buffer_t& rx, uint64_t from,
                                     uint64_t to)
{
    const std::string message =
        rx.bytes.substr(static_cast<size_t>(from - rx.base), static_cast<size_t>(to - from + 1));
    rx.head = to + 1;
    deliver(address, message);
}

// Drops the outermost open brace and the text before it. The objects
// completed directly inside it become messages, the first from its own
// brace on, each further one with the text since the one before, as a fresh
// scan from the next brace would cut them. The next open brace is then the
// outermost, its own record already complete.
void TrelJobInterface::give_up_outermost(TrelDeviceAddress address, rx_buffer_t& rx)
{
    const open_brace_t outer = rx.open.front();
    rx.open.pop_front();
    if (outer.children == 0) {
        rx.head = rx.open.empty() ? rx.base + rx.bytes.size() : rx.open.front().at;
        return;
    }
    uint64_t start = outer.first_child;
    for (size_t i = 0; i < outer.children; ++i) {
        const uint64_t close = rx.closes.front();
        rx.closes.pop_front();
        deliver_range(address, rx, start, close);
        start = close + 1;
    }
}

void TrelJobInterface::deliver(TrelDeviceAddress address, const std::string& message)
{
    if (!delivering)
        return;
    JobDataReceived(address, reinterpret_cast<const unsigned char*>(message.data()),
                    static_cast<unsigned int>(message.size()));
    // Printer text that stood before the object travels with it to the raw
    // callback (it is the printer's to log), but must not hide a status.
    const size_t start = message.find('{');
    std::unique_ptr<yajl_val_s, void (*)(yajl_val)> tree(
        yajl_tree_parse(message.c_str() + (start == std::string::npos ? 0 : start), nullptr, 0),
        yajl_tree_free);
    if (!tree)
        return;
    yajl_val type = trel_json::member(trel_json::member(tree.get(), "metadata", yajl_t_object),
                                      "type", yajl_t_string);
    if (type && std::string(YAJL_GET_STRING(type)) == "status")
        StatusReceived(address, decode_status(tree.get()));
}

TrelJobInterface::StatusMsg TrelJobInterface::decode_status(yajl_val message)
{
    using trel_json::member;
    auto text = [](yajl_val v, std::string& out) {
        if (YAJL_IS_STRING(v))
            out = YAJL_GET_STRING(v);
    };
    auto integer = [](yajl_val v, int32_t& out) {
        if (YAJL_IS_NUMBER(v))
            out = static_cast<int32_t>(static_cast<uint32_t>(trel_json::integer_value(v)));
    };
    StatusMsg s;
    yajl_val printer = member(message, "printer", yajl_t_object);
    text(member(printer, "model_name"), s.printer.model_name);
    text(member(printer, "cpu_id"), s.printer.cpu_id);
    yajl_val firmware = member(printer, "firmware", yajl_t_object);
    text(member(firmware, "name"), s.printer.firmware.name);
    text(member(firmware, "version"), s.printer.firmware.version);
    integer(member(printer, "accept_version"), s.printer.accept_version);

    yajl_val status = member(message, "status", yajl_t_object);
    text(member(status, "state"), s.status.state);
    text(member(status, "build_plate"), s.status.build_plate);
    text(member(status, "filament"), s.status.filament);
    if (yajl_val t = member(status, "extruder_temperature", yajl_t_number))
        s.status.extruder_temperature = (t->u.number.flags & YAJL_NUMBER_DOUBLE_VALID)
                                            ? t->u.number.d
                                            : static_cast<double>(t->u.number.i);

    yajl_val job = member(message, "job", yajl_t_object);
    text(member(job, "id"), s.job.id);
    integer(member(job, "progress"), s.job.progress);
    text(member(job, "file"), s.job.file);
    integer(member(job, "time_elapsed"), s.job.time_elapsed);

    yajl_val time = member(message, "time", yajl_t_object);
    integer(member(time, "boot"), s.time.boot);
    integer(member(time, "idle"), s.time.idle);

    yajl_val error = member(message, "error");
    integer(error ? error : member(message, "errors"), s.error);
    return s;
}
