// What an output may ask of the lines: a dial, or one line's history read now. The supervisor
// does both on its own thread, after the work queued before; each returns at once and calls
// `done` later on that thread, where it must return quickly (post the result on).
#pragma once

#include <functional>
#include <string>

namespace kalvix3d {

// What a history read of one line came to.
struct ImportReport {
    bool read = false;   // the device answered
    std::string problem; // why not, in words, when !read
    int records = 0;     // records the device sent
    int added = 0;       // calls the log did not have yet
};

class LineControl {
public:
    virtual ~LineControl() = default;
    // `done` gets "" or why the call was not placed. Requests left when the service stops are
    // dropped without `done`.
    virtual void requestDial(int slot, int telPort, std::string number,
                             std::function<void(std::string problem)> done) = 0;
    virtual void requestHistoryImport(int slot, std::function<void(ImportReport)> done) = 0;
};

} // namespace kalvix3d
