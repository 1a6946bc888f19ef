// The port the stand-in NDA_P1.dll opens, resolved the way the Kalvix3 library resolves COMn.
#pragma once

#include <string>

namespace sim_nda {

class HeldPort {
public:
    HeldPort() = default;
    ~HeldPort() { close(); }
    HeldPort(const HeldPort &) = delete;
    HeldPort &operator=(const HeldPort &) = delete;
    bool open(const std::string &portName); // exclusive; false when busy or missing
    void close();
    bool isOpen() const;

private:
    long long handle = -1;
};

} // namespace sim_nda
