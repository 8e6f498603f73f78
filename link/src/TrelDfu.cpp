#include <trel/TrelDfu.h>

#include <trel/TrelException.h>

#include <regex>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

bool isAlnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

// The letters and digits at `at`, advancing past them.
std::string alnumRun(const std::string& line, size_t& at)
{
    const size_t start = at;
    while (at < line.size() && isAlnum(line[at]))
        ++at;
    return line.substr(start, at - start);
}

// "Found" blanks "DFU:" blanks "[" ID ":" ID "]" at `at`; on success `at` is
// past the bracket.
bool readHead(const std::string& line, size_t& at, TrelDfuListing& device)
{
    auto word = [&](const char* w) {
        const size_t n = std::char_traits<char>::length(w);
        if (line.compare(at, n, w) != 0)
            return false;
        at += n;
        return true;
    };
    auto blanks = [&] {
        const size_t start = at;
        while (at < line.size() && isSpace(line[at]))
            ++at;
        return at > start;
    };
    if (!word("Found") || !blanks() || !word("DFU:") || !blanks() || !word("["))
        return false;
    device.vendor = alnumRun(line, at);
    if (device.vendor.empty() || !word(":"))
        return false;
    device.product = alnumRun(line, at);
    return !device.product.empty() && word("]");
}

// The value of a bare field (key=value, up to the comma) in `fields`.
std::string bareField(const std::string& fields, const std::string& key)
{
    size_t at = 0;
    while ((at = fields.find(key + "=", at)) != std::string::npos) {
        if (at == 0 || fields[at - 1] == ' ' || fields[at - 1] == ',')
            break;
        ++at;
    }
    if (at == std::string::npos)
        return {};
    at += key.size() + 1;
    std::string value = fields.substr(at, fields.find(',', at) - at);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

bool parseLine(const std::string& line, TrelDfuListing& device)
{
    // dfu-util starts the line with it; anything before is tolerated, as a
    // search would.
    size_t at = std::string::npos;
    for (size_t found = line.find("Found"); found != std::string::npos;
         found = line.find("Found", found + 1)) {
        at = found;
        if (readHead(line, at, device))
            break;
        at = std::string::npos;
    }
    if (at == std::string::npos)
        return false;

    // The serial is printed last; its value must be letters and digits up to
    // the closing quote.
    const std::string rest = line.substr(at);
    const size_t serialKey = rest.rfind("serial=\"");
    if (serialKey == std::string::npos)
        return false;
    size_t value = serialKey + 8;
    device.serial = alnumRun(rest, value);
    if (device.serial.empty() || value >= rest.size() || rest[value] != '"')
        return false;

    // The name may hold commas (a flash layout) and is printed just before
    // the serial; the short fields come before the name.
    const std::string head = rest.substr(0, serialKey);
    const size_t nameKey = head.find("name=\"");
    const std::string fields = head.substr(0, nameKey);
    device.alt = bareField(fields, "alt");
    device.path = bareField(fields, "path");
    if (nameKey != std::string::npos) {
        const size_t start = nameKey + 6;
        const size_t end = head.rfind('"');
        if (end != std::string::npos && end >= start)
            device.name = head.substr(start, end - start);
    }
    return true;
}

} // namespace

std::vector<TrelDfuListing> trel_dfu_parse_listing(const std::string& output)
{
    std::vector<TrelDfuListing> devices;
    size_t start = 0;
    for (size_t end = output.find('\n'); end != std::string::npos;
         start = end + 1, end = output.find('\n', start)) {
        TrelDfuListing device;
        if (parseLine(output.substr(start, end - start), device))
            devices.push_back(std::move(device));
    }
    return devices;
}

std::string shell_quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

TrelDfu::TrelDfu()
{
    char buffer[1024];
    if (getcwd(buffer, sizeof buffer))
        path = buffer;
}

TrelDfu::~TrelDfu()
{
    if (pipe)
        pclose(pipe);
}

std::string TrelDfu::command(const std::string& arguments) const
{
    // Every word the shell sees is quoted: a directory or file name with
    // spaces, quotes or $(...) reaches dfu-util as one argument and runs
    // nothing. A working directory too long to read is still the directory
    // dfu-util is looked for in.
    const std::string program = (path.empty() ? std::string(".") : path) + "/dfu-util";
    return shell_quote(program) + arguments;
}

std::list<TrelDfu::DfuDevice_t> TrelDfu::parse_devices(const std::string& output)
{
    std::list<DfuDevice_t> devices;
    for (const TrelDfuListing& d : trel_dfu_parse_listing(output))
        devices.push_back(DfuDevice_t{d.vendor, d.product, d.serial});
    return devices;
}

std::list<TrelDfu::DfuDevice_t> TrelDfu::GetDfuDevices()
{
    FILE* listing = popen(command(" -l").c_str(), "r");
    if (!listing)
        throw TrelException("Failed to open dfu-util pipe.");
    std::string output;
    char buffer[128];
    while (fgets(buffer, sizeof buffer, listing))
        output += buffer;
    pclose(listing);
    return parse_devices(output);
}

void TrelDfu::UpdateDevice(DfuDevice_t device, std::string file,
                           void (*progress)(double percent, DfuDevice_t device))
{
    static const std::regex percentage("\\s[0-9]+%\\s");
    // dfu-util's complaints go to its standard error; they belong in the log.
    const std::string cmd =
        command(" -d " + shell_quote(device.vendor + ":" + device.product) + " -a 0 -S " +
                shell_quote(device.serial) + " -D " + shell_quote(file) + " 2>&1");
    if (progress)
        progress(0.0, device);
    pipe = popen(cmd.c_str(), "r");
    if (!pipe)
        throw TrelException("Failed to open dfu-util pipe.");

    std::string log;
    bool seen = false;
    char buffer[128];
    // A percentage split between two reads is not seen; dfu-util prints
    // plenty more.
    while (fgets(buffer, sizeof buffer, pipe)) {
        const std::string piece = buffer;
        log += piece;
        for (auto it = std::sregex_iterator(piece.begin(), piece.end(), percentage);
             it != std::sregex_iterator(); ++it) {
            const std::string token = it->str();
            const double value = std::stod(token.substr(1, token.size() - 3));
            seen = true;
            if (progress)
                progress(value, device);
        }
    }
    const int status = pclose(pipe);
    pipe = nullptr;
    if (progress)
        progress(100.0, device);

    // Progress alone does not make a flash: dfu-util prints percentages while
    // erasing and then may fail writing. It may also end with an error after a
    // whole download, when the printer leaves firmware-update mode under it.
    const bool exitedCleanly = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!seen || (!exitedCleanly && log.find("Download done") == std::string::npos))
        throw TrelException("Failed to update device, pipe log: " + log);
}
