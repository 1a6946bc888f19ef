// A private directory of COMn links for the library (KALVIX3_COM_DIR): the library opens COMn,
// the service points COMn at the device the configuration names, resolved at the moment the
// line is opened. So "/dev/serial/by-id/..." keeps working when the adapter comes back under
// another ttyUSB number.
#pragma once

#include <string>

namespace kalvix3d {

class PortLinks {
public:
    // Makes a fresh directory under `base` (e.g. $RUNTIME_DIRECTORY or /tmp). Throws
    // std::runtime_error when it cannot.
    explicit PortLinks(const std::string &base);
    ~PortLinks(); // removes the links and the directory
    PortLinks(const PortLinks &) = delete;
    PortLinks &operator=(const PortLinks &) = delete;

    const std::string &directory() const { return dir; }
    // Points COM<port> at `target`, replacing the old link in one step. False with `why` set
    // when the link cannot be made.
    bool point(int port, const std::string &target, std::string &why);

private:
    std::string dir;
};

} // namespace kalvix3d
