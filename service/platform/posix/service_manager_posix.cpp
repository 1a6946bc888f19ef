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

bool writeWhole(int descriptor, std::string_view text) {
    const char *data = text.data();
    size_t left = text.size();
    while (left > 0) { // one write per line, so lines of several threads never interleave
        ssize_t written = write(descriptor, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

void writeLogLine(Priority priority, std::string_view text) {
    std::string line = "<" + std::to_string(static_cast<int>(priority)) + ">kalvix3d: ";
    line += text;
    line += '\n';
    writeWhole(STDERR_FILENO, line); // nowhere else to log to when it fails
}

} // namespace kalvix3d::platform
