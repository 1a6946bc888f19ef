// System services: the system directory, the Windows platform family, file tests, the clock.
#pragma once

#include <cstdint>
#include <string>

namespace kalvix3::platform {

// GetSystemDirectoryA; on POSIX $KALVIX3_SYSTEM_DIR or the build's default.
std::string systemDirectory();
// dwPlatformId of GetVersionExA (2 for the NT family), 0 when the version could not be read.
uint32_t windowsPlatformId();
// True for an existing regular file; a directory of that name does not count.
bool fileExists(const std::string &path);
// The year of the current system time in UTC.
int utcYear();
// Joins a directory and a name that starts with a backslash ("\ITUSB.DLL").
std::string systemFilePath(const std::string &directory, const char *backslashName);

} // namespace kalvix3::platform
