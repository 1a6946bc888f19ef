// kalvix3-sim: serves one simulated serial device on a pseudo-terminal until told to quit.
//
//   kalvix3-sim --kind K [--link PATH]
//
// Prints the slave path (and makes PATH a symbolic link to it, so that KALVIX3_COM_DIR=<dir>
// with PATH <dir>/COM3 lets the library open it as COM3), then reads commands from stdin:
//   call NUMBER | call withheld | call out-of-area | call public | call none
//   noise N                          N bytes of line noise
//   history add MMDD HHMM NUMBER     store a call for history requests (number-display kinds)
//   history clear
//   sent                             what the library has sent so far, escaped
//   vanish                           close the master side, as an unplugged adapter
//   quit                             (also end of input)
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "kalvix3_sim/serial_device.h"

using kalvix3::sim::Call;
using kalvix3::sim::CallerKind;
using kalvix3::sim::HistoryEntry;
using kalvix3::sim::SerialDevice;

namespace {

std::string escaped(const std::string &bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\\')
            text += "\\\\";
        else if (c >= 0x20 && c < 0x7F)
            text += static_cast<char>(c);
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

Call callFor(const std::string &what) {
    if (what == "withheld")
        return Call::of(CallerKind::Withheld);
    if (what == "out-of-area")
        return Call::of(CallerKind::OutOfArea);
    if (what == "public")
        return Call::of(CallerKind::PublicPhone);
    if (what == "none")
        return Call::of(CallerKind::NoNumber);
    return Call::withNumber(what);
}

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

    std::vector<HistoryEntry> history;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "call") {
            std::string what;
            words >> what;
            device->placeCall(callFor(what));
        } else if (command == "noise") {
            size_t count = 0;
            words >> count;
            device->injectNoise(count);
        } else if (command == "history") {
            std::string action;
            words >> action;
            if (action == "clear") {
                history.clear();
            } else if (action == "add") {
                HistoryEntry entry;
                words >> entry.monthDay >> entry.hourMinute >> entry.number;
                history.push_back(entry);
            }
            device->setHistory(history);
        } else if (command == "sent") {
            std::cout << escaped(device->receivedBytes()) << std::endl;
        } else if (command == "vanish") {
            device->vanish();
        } else if (command == "quit") {
            break;
        } else if (!command.empty()) {
            std::cerr << "unknown command: " << command << "\n";
        }
    }
    device->stop();
    if (!link.empty())
        unlink(link.c_str());
    return 0;
}
