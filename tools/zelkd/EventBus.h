#pragma once

#include <QByteArray>
#include <QMutex>

#include <functional>
#include <vector>

namespace zelkd {

// One thing that happened, as the push stream and later publishers carry
// it: a type ("printer", "temperature", "upload", "log", "job") and a JSON
// object that names its printer where it has one.
struct Event
{
    QByteArray type;
    QByteArray json;
};

// Where every printer state change and event of zelkd is published, and
// where everything that passes them on (the push stream, later a broker
// connection) subscribes. Thread-safe: events come from the main thread
// (printers) and from HTTP threads (uploads). A subscriber's callback runs
// on the publishing thread under the bus's lock: it must only queue the
// event and return, and must not publish or (un)subscribe from it.
class EventBus
{
public:
    using Subscriber = std::function<void(const Event&)>;

    // Returns a handle for unsubscribe(). After unsubscribe() returns, the
    // callback is not running and is never called again.
    int subscribe(Subscriber subscriber);
    void unsubscribe(int handle);

    void publish(const Event& event);

private:
    QMutex mutex; // guards subscribers and nextHandle; held while delivering
    std::vector<std::pair<int, Subscriber>> subscribers;
    int nextHandle = 1;
};

} // namespace zelkd
