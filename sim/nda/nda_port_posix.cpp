#include "nda_port.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace sim_nda {

namespace {
std::string devicePath(const std::string &portName) {
    const char *directory = std::getenv("KALVIX3_COM_DIR");
    if (directory && *directory)
        return std::string(directory) + "/" + portName;
    if (portName.size() == 4 && portName.compare(0, 3, "COM") == 0)
        return "/dev/ttyS" + std::to_string(portName[3] - '1');
    return "/dev/null/" + portName;
}
} // namespace

bool HeldPort::open(const std::string &portName) {
    close();
    int fd = ::open(devicePath(portName).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    handle = fd;
    return true;
}

void HeldPort::close() {
    if (handle >= 0)
        ::close(static_cast<int>(handle));
    handle = -1;
}

bool HeldPort::isOpen() const { return handle >= 0; }

} // namespace sim_nda
