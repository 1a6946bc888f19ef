#include "lines/port_links.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace kalvix3d {

PortLinks::PortLinks(const std::string &base) {
    std::string pattern = base + "/kalvix3d-com.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a folder for the port links under " + base + ": " +
                                 std::strerror(errno));
    dir = pattern;
}

PortLinks::~PortLinks() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

bool PortLinks::point(int port, const std::string &target, std::string &why) {
    std::string link = dir + "/COM" + std::to_string(port);
    std::string fresh = link + ".new";
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0) {
        why = "cannot link " + link + " to " + target + ": " + std::strerror(errno);
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

} // namespace kalvix3d
