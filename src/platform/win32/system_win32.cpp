#include "platform/system.h"

#include <windows.h>

namespace kalvix3::platform {

namespace {
constexpr DWORD kExtendedVersionSize = 156; // OSVERSIONINFOEXA
constexpr DWORD kBasicVersionSize = 148;    // OSVERSIONINFOA
static_assert(sizeof(OSVERSIONINFOEXA) == kExtendedVersionSize);
static_assert(sizeof(OSVERSIONINFOA) == kBasicVersionSize);
} // namespace

std::string systemDirectory() {
    char directory[MAX_PATH] = {}; // 260; the result is not examined, as the buffer stays zero
    GetSystemDirectoryA(directory, MAX_PATH);
    return directory;
}

// The extended record first; systems that know only the basic one refuse its size.
uint32_t windowsPlatformId() {
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = kExtendedVersionSize;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&version))) {
        version.dwOSVersionInfoSize = kBasicVersionSize;
        if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&version)))
            return 0;
    }
    return version.dwPlatformId;
}

bool fileExists(const std::string &path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int utcYear() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    return now.wYear;
}

std::string systemFilePath(const std::string &directory, const char *backslashName) {
    return directory + backslashName;
}

} // namespace kalvix3::platform
