// The two outputs every service has: the log (one line per call and per line state change) and
// the service manager's status line (every line's state, for `systemctl status`).
#pragma once

#include <string>
#include <vector>

#include "outputs/output.h"

namespace kalvix3d {

class LogOutput : public Output {
public:
    explicit LogOutput(const OutputContext &) {}
    void callAnnounced(const Call &call) override;
    void lineStateChanged(const LineStatus &status) override;
};

class ManagerStatusOutput : public Output {
public:
    explicit ManagerStatusOutput(const OutputContext &context);
    void callAnnounced(const Call &) override {}
    void lineStateChanged(const LineStatus &status) override;

private:
    struct Shown {
        int slot;
        std::string text;
    };
    std::vector<Shown> lines; // touched only under the announcer's lock
};

} // namespace kalvix3d
