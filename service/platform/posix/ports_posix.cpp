#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/ports.h"

namespace kalvix3d::platform {

namespace {

std::string linkFolderBase() {
    for (const char *name : {"RUNTIME_DIRECTORY", "TMPDIR"})
        if (const char *dir = std::getenv(name); dir && *dir) {
            std::string first = dir;
            return first.substr(0, first.find(':')); // systemd may list several
        }
    return "/tmp";
}

// Points `link` at `target`, replacing the old link in one step.
bool pointLink(const std::string &link, const std::string &target, std::string &why) {
    std::string fresh = link + ".new";
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0) {
        why = "cannot link " + link + " to " + target + ": " + std::strerror(errno);
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

} // namespace

const char *const kPortHelp =
    "\"port\" must be a device path (\"/dev/serial/by-id/...\", \"/dev/ttyUSB0\") or a COM port "
    "(\"COM1\" to \"COM9\")";

std::optional<std::string> devicePathOfPort(const std::string &text) {
    if (!text.empty() && text[0] == '/')
        return text;
    if (text.size() != 4 || (text.compare(0, 3, "COM") != 0 && text.compare(0, 3, "com") != 0))
        return std::nullopt;
    if (text[3] < '1' || text[3] > '9')
        return std::nullopt;
    return "/dev/ttyS" + std::to_string(text[3] - '1');
}

PortResolver::PortResolver() {
    std::string base = linkFolderBase();
    std::string pattern = base + "/kalvix3d-com.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a folder for the port links under " + base + ": " +
                                 std::strerror(errno));
    dir = pattern;
    setenv("KALVIX3_COM_DIR", dir.c_str(), 1);
}

PortResolver::~PortResolver() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

PortResolver::Resolved PortResolver::resolve(int slot, const std::string &devicePath) {
    Resolved resolved;
    struct stat info {};
    if (stat(devicePath.c_str(), &info) != 0) {
        resolved.cause = LineCause::deviceMissing;
        resolved.why = "the device " + devicePath + " is not there (" + std::strerror(errno) +
                       "): is the adapter plugged in?";
        return resolved;
    }
    int port = slot + 1; // COM1 for slot 0, COM2 for slot 1, in the private folder
    std::error_code ignored;
    std::string target = std::filesystem::canonical(devicePath, ignored).string();
    std::string why;
    if (target.empty() || !pointLink(dir + "/COM" + std::to_string(port), target, why)) {
        resolved.cause = LineCause::pathUnresolved;
        resolved.why = why.empty() ? "the device path cannot be resolved" : why;
        return resolved;
    }
    resolved.comPort = port;
    return resolved;
}

} // namespace kalvix3d::platform
