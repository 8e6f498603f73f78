#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace zelksim {

class VirtualPrinter;

// The launcher's remote control: one command line in, one reply line out
// ("ok ..." or "error: ..."). It acts on the printers only through their
// public controls; lines are bounded and parsed word by word, never handed to
// a shell.
class SimControl
{
public:
    static constexpr size_t MAX_LINE = 256;
    static constexpr size_t MAX_WORDS = 8;

    SimControl() = default;
    explicit SimControl(std::vector<VirtualPrinter*> printers);
    void setPrinters(std::vector<VirtualPrinter*> printers);

    std::string execute(const std::string& line);
    static const char* help();

private:
    std::mutex mutex; // guards printers and serialises commands
    std::vector<VirtualPrinter*> printers;
};

} // namespace zelksim
