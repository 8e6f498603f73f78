#include "EventBus.h"

#include <algorithm>

namespace zelkd {

int EventBus::subscribe(Subscriber subscriber)
{
    QMutexLocker lock(&mutex);
    const int handle = nextHandle++;
    subscribers.emplace_back(handle, std::move(subscriber));
    return handle;
}

void EventBus::unsubscribe(int handle)
{
    QMutexLocker lock(&mutex);
    subscribers.erase(std::remove_if(subscribers.begin(), subscribers.end(),
                                     [handle](const auto& s) { return s.first == handle; }),
                      subscribers.end());
}

void EventBus::publish(const Event& event)
{
    QMutexLocker lock(&mutex);
    for (const auto& s : subscribers)
        s.second(event);
}

} // namespace zelkd
