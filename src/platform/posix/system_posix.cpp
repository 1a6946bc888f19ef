#include "platform/system.h"

#include <cstdlib>
#include <ctime>
#include <sys/stat.h>

#ifndef KALVIX3_DEFAULT_SYSTEM_DIR
#define KALVIX3_DEFAULT_SYSTEM_DIR "/usr/lib/kalvix3/system"
#endif

namespace kalvix3::platform {

std::string systemDirectory() {
    const char *configured = std::getenv("KALVIX3_SYSTEM_DIR");
    return configured && *configured ? configured : KALVIX3_DEFAULT_SYSTEM_DIR;
}

uint32_t windowsPlatformId() { return 2; } // reported as the NT family

bool fileExists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

int utcYear() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    return parts.tm_year + 1900;
}

std::string systemFilePath(const std::string &directory, const char *backslashName) {
    std::string name = backslashName;
    if (!name.empty() && name.front() == '\\')
        name.front() = '/';
    return directory + name;
}

} // namespace kalvix3::platform
