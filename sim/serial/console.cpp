#include "kalvix3_sim/console.h"

#include <cstdio>
#include <istream>
#include <ostream>
#include <sstream>
#include <vector>

namespace kalvix3::sim {

const char kConsoleHelp[] =
    "commands:\n"
    "  call NUMBER        a call with a number (digits; the NDA-P1 also takes '-')\n"
    "  withheld | out-of-area | public | no-number   a call without a number\n"
    "  noise N            N bytes of line noise\n"
    "  raw TEXT           TEXT as the device would send it (\\r \\n \\xNN escapes)\n"
    "  history add MMDD HHMM NUMBER | history clear   the stored history (number-display adapters)\n"
    "  sent               what the host sent to the device so far\n"
    "  vanish             unplug the device\n"
    "  replug             unplug it and plug a new one in (a new pseudo-terminal, the link follows)\n"
    "  quit\n";

namespace {

Call callFor(const std::string &what) {
    if (what == "withheld")
        return Call::of(CallerKind::Withheld);
    if (what == "out-of-area")
        return Call::of(CallerKind::OutOfArea);
    if (what == "public")
        return Call::of(CallerKind::PublicPhone);
    if (what == "none" || what == "no-number")
        return Call::of(CallerKind::NoNumber);
    return Call::withNumber(what);
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

std::string escapedBytes(const std::string &bytes) {
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

std::string unescapedBytes(const std::string &text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            bytes += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            bytes += '\r';
        else if (c == 'n')
            bytes += '\n';
        else if (c == 'x' && i + 2 < text.size() + 0 && isHexDigit(text[i + 1]) &&
                 i + 2 < text.size() && isHexDigit(text[i + 2])) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            bytes += c;
    }
    return bytes;
}

namespace {

void runConsoleOn(SerialDevice &first, std::unique_ptr<SerialDevice> &owned, std::istream &in,
                  std::ostream &out, const std::function<void(SerialDevice &)> &plugged) {
    SerialDevice *current = &first;
    std::vector<HistoryEntry> history;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command.empty())
            continue;
        if (command == "quit" || command == "exit")
            break;
        if (command == "call") {
            std::string what;
            words >> what;
            current->placeCall(callFor(what));
        } else if (command == "withheld" || command == "out-of-area" || command == "public" ||
                   command == "no-number") {
            current->placeCall(callFor(command));
        } else if (command == "noise") {
            size_t count = 0;
            words >> count;
            current->injectNoise(count ? count : 16);
        } else if (command == "raw") {
            std::string rest;
            std::getline(words, rest);
            current->sendRaw(unescapedBytes(rest.empty() ? rest : rest.substr(1)));
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
            current->setHistory(history);
        } else if (command == "sent") {
            out << escapedBytes(current->receivedBytes()) << std::endl;
        } else if (command == "vanish") {
            current->vanish();
        } else if (command == "replug" && plugged) {
            current->vanish();
            owned = SerialDevice::start(owned->kind());
            current = owned.get();
            current->setHistory(history);
            plugged(*current);
            out << "plugged in again on " << current->slavePath() << std::endl;
        } else {
            out << "unknown command: " << command << "\n" << kConsoleHelp << std::flush;
        }
    }
}

} // namespace

void runConsole(SerialDevice &device, std::istream &in, std::ostream &out) {
    std::unique_ptr<SerialDevice> none;
    runConsoleOn(device, none, in, out, {});
}

void runConsole(std::unique_ptr<SerialDevice> &device, std::istream &in, std::ostream &out,
                const std::function<void(SerialDevice &)> &plugged) {
    runConsoleOn(*device, device, in, out, plugged);
}

} // namespace kalvix3::sim
