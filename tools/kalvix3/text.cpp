#include "text.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform.h"
#include "core/words.h"

namespace tool {

std::string utf8FromCp932(const std::string &bytes) { return platform::utf8FromCp932(bytes); }

// The service's log keeps the same words: one mapping for both.
std::string reasonInWords(const std::string &text) { return kalvix3d::reasonInWords(text); }

std::string openResultInWords(int32_t code) {
    switch (code) {
    case 0:
        return "open";
    case 1:
        return std::string("the port could not be opened: it does not exist, or another program (or "
                           "the other line) has it open. Check the port number, ") +
               platform::portWhereabouts() + "and that nothing else uses the port.";
    case 12: return "that line slot is already open: close it first.";
    case 31:
        return std::string("a driver file of the USB adapter is missing from the system directory: "
                           "install the adapter's driver") +
               platform::driverWhereabouts() + ".";
    default: return kalvix3d::openFailureInWords(code);
    }
}

namespace {

std::string format(const std::tm &parts, const char *pattern) {
    char text[64];
    std::strftime(text, sizeof text, pattern, &parts);
    return text;
}

} // namespace

std::string localTimeNow() {
    return format(platform::localParts(std::time(nullptr)), "%Y-%m-%d %H:%M:%S");
}

// The offset is the local time less UTC (strftime's %z names the zone on Windows).
std::string isoTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm local = platform::localParts(now), utc = platform::utcParts(now);
    int days = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1)
                                            : local.tm_yday - utc.tm_yday;
    int minutes = days * 1440 + (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
    char offset[8];
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", minutes < 0 ? '-' : '+',
                  std::abs(minutes) / 60, std::abs(minutes) % 60);
    return format(local, "%Y-%m-%dT%H:%M:%S") + offset;
}

} // namespace tool
