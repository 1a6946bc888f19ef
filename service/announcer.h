// Where the service tells the world about calls and lines. A call is announced only after the
// call store has committed it. Observers (the log; later the network outputs and the web page)
// are called on the announcing thread and must return quickly: an output that talks to clients
// queues the event and returns.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/call.h"
#include "core/line_status.h"

namespace kalvix3d {

class Observer {
public:
    virtual ~Observer() = default;
    virtual void callAnnounced(const Call &call) = 0;
    virtual void lineStateChanged(const LineStatus &status) = 0;
};

// Thread-safe list of observers; announcements are delivered one at a time, in order.
class Announcer {
public:
    void subscribe(Observer *observer);
    void unsubscribe(Observer *observer);
    void announceCall(const Call &call);
    void announceLineState(const LineStatus &status);

private:
    std::mutex lock;
    std::vector<Observer *> observers;
};

} // namespace kalvix3d
