#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kalvix3d::platform {

std::string replaceFileDurably(const std::string &path, const std::string &text) {
    std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 &&
                   ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   ::fsync(fd) == 0;
    int why = written ? 0 : errno;
    if (fd >= 0)
        ::close(fd);
    if (!written)
        return "cannot write " + temporary + ": " + std::strerror(why);
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        return "cannot replace " + path + ": " + std::strerror(errno);
    // The folder's entry, so the rename survives a power cut too.
    std::string folder = std::filesystem::path(path).parent_path().string();
    int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return "";
}

} // namespace kalvix3d::platform
