#pragma once

#include <functional>
#include <string>
#include <thread>

namespace zelksim {

// A local stream socket on which the launcher takes commands: one line per
// connection (at most SimControl::MAX_LINE bytes), one reply line back. The
// socket is the user's only (no access for group or others) and is not inherited by the program
// the launcher starts. A path that exists is refused unless it is a socket
// that nobody listens on any more.
class ControlServer
{
public:
    using Handler = std::function<std::string(const std::string& line)>;

    // Binds and starts serving; throws std::runtime_error with the reason.
    ControlServer(std::string path, Handler handler);
    ~ControlServer(); // stops serving and removes the socket
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& path() const { return path_; }

    // The client side: sends one line and returns the reply without its line
    // end. Throws std::runtime_error when the launcher cannot be reached.
    static std::string send(const std::string& path, const std::string& line);

private:
    void serve();
    void answer(int connection);

    std::string path_;
    Handler handler;
    int listener = -1;
    int wake[2] = {-1, -1}; // written to stop the server thread
    std::thread thread;
};

} // namespace zelksim
