// kalvix3 simulate: one simulated serial device on a pseudo-terminal, steered from the keyboard,
// for developers who test their own hosts without hardware.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "commands.h"
#include "text.h"

#ifdef KALVIX3_HAVE_SERIAL_SIM
#include "kalvix3_sim/serial_device.h"
#endif

namespace tool {

#ifdef KALVIX3_HAVE_SERIAL_SIM
namespace {

namespace fs = std::filesystem;
using namespace kalvix3::sim;

const char *kSimulateHelp =
    "commands:\n"
    "  call NUMBER        a call with a number (digits; the NDA-P1 also takes '-')\n"
    "  withheld | out-of-area | public | no-number   a call without a number\n"
    "  noise N            N bytes of line noise\n"
    "  raw TEXT           TEXT as the device would send it (\\r \\n \\x02 escapes)\n"
    "  history MMDD HHMM NUMBER   add an entry to the stored history (number-display adapters)\n"
    "  sent               what the host sent to the device so far\n"
    "  quit\n";

std::string unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

std::string visible(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char hex[8];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c == 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace

int runSimulate(const Options &options) {
    if (!options.kind) {
        std::fprintf(stderr, "kalvix3 simulate: --kind is required\n");
        return 2;
    }
    if (!familyOfKind(*options.kind)) {
        std::fprintf(stderr,
                     "kalvix3 simulate: kind %d has no serial device. The USB adapters are "
                     "simulated inside the host's process by the stand-in ITUSB.DLL (see "
                     "sim/itusb/simusb.h).\n",
                     *options.kind);
        return 2;
    }
    int32_t port = options.port.value_or(1);
    std::unique_ptr<SerialDevice> device;
    try {
        device = SerialDevice::start(*options.kind);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "kalvix3 simulate: %s\n", error.what());
        return 1;
    }
    std::string pattern = (fs::temp_directory_path() / "kalvix3-sim.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "kalvix3 simulate: cannot make a temporary folder\n");
        return 1;
    }
    fs::path link = fs::path(pattern) / ("COM" + std::to_string(port));
    fs::create_symlink(device->slavePath(), link);
    std::printf("Simulating a %s (kind %d) on %s.\n", familyName(device->family()), *options.kind,
                device->slavePath().c_str());
    std::printf("Point the library at it:\n  export KALVIX3_COM_DIR=%s\n"
                "  kalvix3 watch --kind %d --port %d\n\n%s",
                pattern.c_str(), *options.kind, port, kSimulateHelp);
    std::fflush(stdout);

    std::vector<HistoryEntry> history;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command.empty())
            continue;
        if (command == "quit" || command == "exit")
            break;
        if (command == "call") {
            std::string number;
            words >> number;
            device->placeCall(Call::withNumber(number));
        } else if (command == "withheld") {
            device->placeCall(Call::of(CallerKind::Withheld));
        } else if (command == "out-of-area") {
            device->placeCall(Call::of(CallerKind::OutOfArea));
        } else if (command == "public") {
            device->placeCall(Call::of(CallerKind::PublicPhone));
        } else if (command == "no-number") {
            device->placeCall(Call::of(CallerKind::NoNumber));
        } else if (command == "noise") {
            size_t count = 0;
            words >> count;
            device->injectNoise(count ? count : 16, static_cast<uint32_t>(getpid()));
        } else if (command == "raw") {
            std::string rest;
            std::getline(words, rest);
            device->sendRaw(unescape(rest.empty() ? rest : rest.substr(1)));
        } else if (command == "history") {
            std::string monthDay, hourMinute, number;
            words >> monthDay >> hourMinute >> number;
            history.push_back({monthDay, hourMinute, number});
            device->setHistory(history);
        } else if (command == "sent") {
            for (const Chunk &chunk : device->received())
                std::printf("  %s\n", visible(chunk.bytes).c_str());
        } else {
            std::printf("%s", kSimulateHelp);
        }
        std::fflush(stdout);
    }
    device->stop();
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
    return 0;
}
#else
int runSimulate(const Options &) {
    std::fprintf(stderr, "kalvix3 simulate: the serial device simulators are not built here\n");
    return 1;
}
#endif

} // namespace tool
