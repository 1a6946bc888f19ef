#include "log.h"

#include "platform/system.h"

namespace kalvix3d {

void logLine(Priority priority, const std::string &text) {
    std::string line = text;
    for (char &c : line)
        if (c == '\n')
            c = ' ';
    platform::writeLogLine(priority, line);
}

} // namespace kalvix3d
