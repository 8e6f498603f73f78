#include <trel/TrelDfu.h>

#include <trel/TrelException.h>

#include <regex>

#include <sys/wait.h>
#include <unistd.h>

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
    static const std::regex line(
        "Found\\s+DFU:\\s+\\[[a-zA-Z0-9]+:[a-zA-Z0-9]+\\].*serial=\"[a-zA-Z0-9]+\".*\\n");
    static const std::regex ids("[a-zA-Z0-9]+:[a-zA-Z0-9]+");
    static const std::regex serialField("serial=\"[a-zA-Z0-9]+\"");
    static const std::regex quoted("\"[a-zA-Z0-9]+\"");
    static const std::regex word("[a-zA-Z0-9]+");

    std::list<DfuDevice_t> devices;
    for (auto it = std::sregex_iterator(output.begin(), output.end(), line);
         it != std::sregex_iterator(); ++it) {
        const std::string text = it->str();
        DfuDevice_t device;
        std::smatch m;
        if (std::regex_search(text, m, ids)) {
            const std::string pair = m.str();
            const size_t colon = pair.find(':');
            device.vendor = pair.substr(0, colon);
            device.product = pair.substr(colon + 1);
        }
        if (std::regex_search(text, m, serialField)) {
            const std::string field = m.str();
            std::smatch q;
            if (std::regex_search(field, q, quoted)) {
                const std::string value = q.str();
                std::smatch w;
                if (std::regex_search(value, w, word))
                    device.serial = w.str();
            }
        }
        devices.push_back(device);
    }
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
