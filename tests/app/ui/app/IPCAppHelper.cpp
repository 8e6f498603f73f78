// ipc_app_helper raise <name>    prints "master=<0|1>"; a non-master then
//                                prints "raised=<0|1>", what raiseMaster() says
// ipc_app_helper restart <name>  prints "master=<0|1>", waits for a line on
//                                stdin, calls restartIPC() and prints it again
#include "IPCApp.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

void say(const char* what, bool value)
{
    std::printf("%s=%d\n", what, value ? 1 : 0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || (std::strcmp(argv[1], "raise") != 0 && std::strcmp(argv[1], "restart") != 0)) {
        std::fputs("usage: ipc_app_helper raise|restart <name>\n", stderr);
        return 2;
    }
    const bool restart = std::strcmp(argv[1], "restart") == 0;
    const QString name = QString::fromLocal8Bit(argv[2]);

    IPCApp app(argc, argv, name);
    say("master", app.isMaster());
    if (restart) {
        std::string line;
        std::getline(std::cin, line);
        app.restartIPC();
        say("master", app.isMaster());
    } else if (!app.isMaster()) {
        say("raised", app.raiseMaster());
    }
    return 0;
}
