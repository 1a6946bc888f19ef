#include "log.h"

#include <cerrno>
#include <unistd.h>

namespace kalvix3d {

void logLine(Priority priority, const std::string &text) {
    std::string line = "<" + std::to_string(static_cast<int>(priority)) + ">kalvix3d: " + text;
    for (char &c : line)
        if (c == '\n')
            c = ' ';
    line += '\n';
    const char *data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = write(STDERR_FILENO, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere to log to: nothing else can be done
        data += written;
        left -= static_cast<size_t>(written);
    }
}

} // namespace kalvix3d
