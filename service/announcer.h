// Where the service tells the world about calls and lines. A call is announced only after the
// call store has committed it.
//
// Observers run under the announcer's lock, on the announcing thread (the recorder's for calls,
// the supervisor's for lines): one announcement at a time, every observer in the order it
// subscribed, so each sees the events in the order they happened. An observer must return
// quickly and must not subscribe, unsubscribe or announce from inside a callback (the lock is
// held); an output that talks to clients copies the event, posts it onto the event loop and
// returns.
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

// Thread-safe list of observers; see above for what runs under its lock.
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
