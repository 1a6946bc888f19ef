#include "announcer.h"

#include <algorithm>

namespace kalvix3d {

void Announcer::subscribe(Observer *observer) {
    std::lock_guard<std::mutex> hold(lock);
    observers.push_back(observer);
}

void Announcer::unsubscribe(Observer *observer) {
    std::lock_guard<std::mutex> hold(lock);
    observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
}

void Announcer::announceCall(const Call &call) {
    std::lock_guard<std::mutex> hold(lock);
    for (Observer *observer : observers)
        observer->callAnnounced(call);
}

void Announcer::announceLineState(const LineStatus &status) {
    std::lock_guard<std::mutex> hold(lock);
    for (Observer *observer : observers)
        observer->lineStateChanged(status);
}

} // namespace kalvix3d
