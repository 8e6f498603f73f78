#pragma once

// Another program that has a device node open: a shell holding it on a
// descriptor until its input closes. Given a name, the shell runs under that
// name (a symbolic link to it), which is what /proc/PID/comm then says; given
// a user id (the caller must be root), as that user, holding nothing when
// `path` is empty.

#include <fstream>
#include <string>

#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zelktest {

class NodeHolderProcess
{
public:
    explicit NodeHolderProcess(const std::string& path, const std::string& name = std::string(),
                               int uid = -1)
    {
        std::string program = "/bin/sh";
        if (!name.empty()) {
            char dir[] = "/tmp/holderXXXXXX";
            if (::mkdtemp(dir) == nullptr)
                return;
            linkDir = dir;
            link = program = linkDir + "/" + name;
            if (::symlink("/bin/sh", link.c_str()) != 0 || ::chmod(dir, 0755) != 0)
                return;
        }
        const std::string user = "--reuid=" + std::to_string(uid),
                          group = "--regid=" + std::to_string(uid);
        int in[2];
        if (::pipe(in) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        const char* script = path.empty() ? "read x" : "exec 3<>\"$0\"; read x";
        const char* shell[] = {"sh", "-c", script, path.c_str(), nullptr};
        const char* asUser[] = {"setpriv",        user.c_str(), group.c_str(),
                                "--clear-groups", link.c_str(), "-c",
                                script,           path.c_str(), nullptr};
        if (uid >= 0)
            program = "/usr/bin/setpriv";
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr,
                        const_cast<char* const*>(uid >= 0 ? asUser : shell), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        input = in[1];
    }
    ~NodeHolderProcess()
    {
        // Closing its input ends the shell's read, and with it the shell.
        ::close(input);
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
        if (!link.empty())
            ::unlink(link.c_str());
        if (!linkDir.empty())
            ::rmdir(linkDir.c_str());
    }
    NodeHolderProcess(const NodeHolderProcess&) = delete;
    NodeHolderProcess& operator=(const NodeHolderProcess&) = delete;

    pid_t pid = -1;

    // Waits until the process goes by its name (the spawn returns before the
    // shell has started under it); false after `ms` milliseconds.
    bool waitUntilNamed(const std::string& name, int ms = 10000) const
    {
        const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
        for (int waited = 0; waited < ms; waited += 10) {
            std::ifstream f(comm);
            std::string now;
            if (std::getline(f, now) && now == name)
                return true;
            ::usleep(10000);
        }
        return false;
    }

private:
    int input = -1;
    std::string linkDir, link;
};

} // namespace zelktest
