// kalvix3-sim: serves one simulated serial device on a pseudo-terminal until told to quit.
//
//   kalvix3-sim --kind K [--link PATH]
//
// Prints the slave path (and makes PATH a symbolic link to it, so that KALVIX3_COM_DIR=<dir>
// with PATH <dir>/COM3 lets the library open it as COM3), then reads commands from stdin:
// the console commands of kalvix3_sim/console.h. After `replug` PATH points at the new device.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "kalvix3_sim/console.h"
#include "kalvix3_sim/serial_device.h"

using kalvix3::sim::SerialDevice;

namespace {

// Replaces a link left by an earlier run; refuses to replace anything that is not a link.
bool makeLink(const std::string &target, const std::string &link) {
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            std::cerr << link << " exists and is not a symbolic link\n";
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::perror(link.c_str());
        return false;
    }
    return true;
}

int usage() {
    std::cerr << "usage: kalvix3-sim --kind K [--link PATH]\n";
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    int kind = 0;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--kind" && i + 1 < argc)
            kind = std::atoi(argv[++i]);
        else if (arg == "--link" && i + 1 < argc)
            link = argv[++i];
        else
            return usage();
    }
    if (kind == 0)
        return usage();

    std::unique_ptr<SerialDevice> device;
    try {
        device = SerialDevice::start(kind);
    } catch (const std::exception &error) {
        std::cerr << "kalvix3-sim: " << error.what() << "\n";
        return 1;
    }
    if (!link.empty() && !makeLink(device->slavePath(), link))
        return 1;
    std::cout << device->slavePath() << std::endl;

    // `replug`: the new device's pseudo-terminal has another name; the link follows it, as a
    // /dev/serial/by-id link follows a replugged adapter.
    kalvix3::sim::runConsole(device, std::cin, std::cout, [&](SerialDevice &fresh) {
        if (!link.empty())
            makeLink(fresh.slavePath(), link);
    });
    device->stop();
    if (!link.empty())
        unlink(link.c_str());
    return 0;
}
