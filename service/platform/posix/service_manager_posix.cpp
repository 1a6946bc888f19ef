// systemd: READY=, STATUS= and STOPPING= through sd_notify; journald reads the priority prefix
// of each line on stderr ("<6>kalvix3d: ...").
#include <cerrno>

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "platform/system.h"

namespace kalvix3d::platform {

void tellReady() { sd_notify(0, "READY=1"); }
void tellStatus(const std::string &text) { sd_notify(0, ("STATUS=" + text).c_str()); }
void tellStopping() { sd_notify(0, "STOPPING=1"); }

void writeLogLine(Priority priority, std::string_view text) {
    std::string line = "<" + std::to_string(static_cast<int>(priority)) + ">kalvix3d: ";
    line += text;
    line += '\n';
    const char *data = line.data();
    size_t left = line.size();
    while (left > 0) { // one write per line, so lines of several threads never interleave
        ssize_t written = write(STDERR_FILENO, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere to log to: nothing else can be done
        data += written;
        left -= static_cast<size_t>(written);
    }
}

} // namespace kalvix3d::platform
