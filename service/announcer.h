// Where the service tells the world about calls and lines. A call is announced only after the
// call store has committed it. Observers (the log; later the network outputs and the web page)
// are called on the announcing thread and must return quickly: an output that talks to clients
// queues the event and returns.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "store/call_store.h"

namespace kalvix3d {

enum class LineState { up, down, reopening };
const char *lineStateName(LineState state);

struct LineStatus {
    int slot = 0;
    std::string label;
    int kind = 0;
    LineState state = LineState::down;
    std::string reason;  // why it is down, in words ("" when up)
    std::string cause;   // the same as one word for a page to put in its language ("" when up):
                         // not-opened-yet, device-missing, path-unresolved, open-refused,
                         // adapter-gone, stopping
    int openResult = 0;  // the OpenCommLineEx result that kept it down, else 0
    int lineError = 0;   // the line error that took it down, else 0
};

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
