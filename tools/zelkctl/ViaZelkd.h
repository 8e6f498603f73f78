#pragma once

#include "Subcommand.h"

#include <optional>

namespace zelkctl {

// The printer commands through a running local zelkd: zelkd holds the
// printers it serves (a printer talks to one program at a time), so while it
// runs, zelkctl asks it over its API instead of the printer over USB, with
// the same output and exit codes.
//
// zelkd is found at ZELKD_URL with the key ZELKD_API_KEY, else by zelkd's
// own settings (the user's, then the system service's) and its key file when
// it is readable. Returns nothing when no zelkd answers, or when it serves
// no printer that the command could mean: the command then goes to USB.
std::optional<int> viaZelkd(const Invocation& invocation);

} // namespace zelkctl
