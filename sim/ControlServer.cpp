#include "ControlServer.h"

#include "SimControl.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelksim {

namespace {

constexpr int IO_TIMEOUT_S = 5;

sockaddr_un address(const std::string& path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof a.sun_path)
        throw std::runtime_error("control socket path must be 1 to " +
                                 std::to_string(sizeof a.sun_path - 1) + " bytes long");
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return a;
}

void setTimeouts(int fd)
{
    timeval tv{};
    tv.tv_sec = IO_TIMEOUT_S;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool connectTo(int fd, const sockaddr_un& a)
{
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

void sendAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        // MSG_NOSIGNAL: a peer that hung up must not kill the launcher.
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

ControlServer::ControlServer(std::string path, Handler h)
    : path_(std::move(path)), handler(std::move(h))
{
    const sockaddr_un a = address(path_);
    struct stat st
    {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw std::runtime_error(path_ + " exists and is not a socket");
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && connectTo(probe, a);
        if (probe >= 0)
            ::close(probe);
        if (live)
            throw std::runtime_error(path_ + " is in use by another launcher");
        ::unlink(path_.c_str()); // stale: its launcher is gone
    }

    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        throw systemError("socket");
    // Created user-only from the start: connecting needs write permission.
    const mode_t previous = ::umask(0077);
    const int bound = ::bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ::umask(previous);
    if (bound != 0 || ::listen(listener, 4) != 0) {
        const std::runtime_error e = systemError("cannot listen on " + path_);
        ::close(listener);
        throw e;
    }
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        const std::runtime_error e = systemError("pipe");
        ::close(listener);
        ::unlink(path_.c_str());
        throw e;
    }
    thread = std::thread([this] { serve(); });
}

ControlServer::~ControlServer()
{
    const char stop = 'x';
    while (::write(wake[1], &stop, 1) < 0 && errno == EINTR) {
    }
    thread.join();
    ::close(wake[0]);
    ::close(wake[1]);
    ::close(listener);
    ::unlink(path_.c_str());
}

void ControlServer::serve()
{
    pthread_setname_np(pthread_self(), "zelksim-control");
    for (;;) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        answer(connection);
        ::close(connection);
    }
}

// One client at a time: commands are short, and a client that stalls is cut
// off by the socket timeouts.
void ControlServer::answer(int connection)
{
    setTimeouts(connection);
    std::string line;
    char buf[128];
    bool complete = false;
    while (!complete && line.size() <= SimControl::MAX_LINE) {
        const ssize_t n = ::recv(connection, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && !complete; ++i) {
            if (buf[i] == '\n')
                complete = true;
            else
                line.push_back(buf[i]);
        }
    }
    std::string reply;
    if (line.size() > SimControl::MAX_LINE) {
        reply = "error: line too long";
    } else {
        try {
            reply = handler(line);
        } catch (const std::exception& e) {
            reply = std::string("error: ") + e.what();
        }
    }
    sendAll(connection, reply + "\n");
}

std::string ControlServer::send(const std::string& path, const std::string& line)
{
    const sockaddr_un a = address(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw systemError("socket");
    if (!connectTo(fd, a)) {
        const std::runtime_error e = systemError("cannot reach " + path);
        ::close(fd);
        throw e;
    }
    setTimeouts(fd);
    sendAll(fd, line + "\n");
    std::string reply;
    char buf[512];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
        if (reply.size() > 64 * 1024)
            break;
    }
    ::close(fd);
    while (!reply.empty() && reply.back() == '\n')
        reply.pop_back();
    return reply;
}

} // namespace zelksim
