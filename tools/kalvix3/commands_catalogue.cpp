// The commands that need no device: kinds (the catalogue) and version.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "host_line.h"
#include "kalvix3.h"
#include "text.h"

namespace tool {

namespace {

std::vector<KindInfo> catalogue() {
    int32_t count = 0;
    GetKinds2(1, &count, nullptr);
    std::vector<KindInfo> kinds(static_cast<size_t>(count));
    GetKinds2(1, &count, kinds.data());
    return kinds;
}

} // namespace

// A kind whose adapter the library opens through its USB driver: the catalogue says so.
bool isUsbKind(int32_t kind) {
    for (const KindInfo &info : catalogue())
        if (info.kind == kind)
            return info.usbDriver != 0;
    return false;
}

namespace {

std::string dialPorts(int32_t flags) {
    int32_t ports = Kalvix3DialPorts(flags);
    return ports == 0 ? "-" : "1-" + std::to_string(ports);
}

std::string padded(const std::string &utf8, size_t columns) {
    // Every code page 932 character shows as one column (half width) or two (full width):
    // count UTF-8 lead bytes, two columns for 3-byte sequences other than half-width katakana.
    size_t width = 0;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if ((c & 0xC0) == 0x80)
            continue;
        bool halfWidthKana = c == 0xEF && i + 1 < utf8.size() &&
                             (static_cast<unsigned char>(utf8[i + 1]) == 0xBD ||
                              static_cast<unsigned char>(utf8[i + 1]) == 0xBE);
        width += (c >= 0xE0 && !halfWidthKana) ? 2 : 1;
    }
    return utf8 + std::string(width < columns ? columns - width : 1, ' ');
}

int runKinds(bool json) {
    std::vector<KindInfo> kinds = catalogue();
    if (!json)
        printLine("kind  name                                 history  dial ports  USB");
    for (const KindInfo &info : kinds) {
        std::string name = utf8FromCp932(std::string(info.name, strnlen(info.name, sizeof info.name)));
        if (json) {
            printJson({{"kind", info.kind},
                       {"name", name},
                       {"historySize", info.historySize},
                       {"dialFlags", info.dialFlags},
                       {"usbDriver", info.usbDriver != 0}});
            continue;
        }
        char number[8];
        std::snprintf(number, sizeof number, "%4d", info.kind);
        std::string history = info.historySize ? std::to_string(info.historySize) : "-";
        printLine(std::string(number) + "  " + padded(name, 37) + padded(history, 9) +
                  padded(dialPorts(info.dialFlags), 12) + (info.usbDriver ? "yes" : "-"));
    }
    return 0;
}

int runVersion() {
    int32_t version = 0;
    GetKalvix3Version(&version);
    std::printf("Kalvix3 %d.%d.%d.%d\n", (version >> 24) & 0xFF, (version >> 16) & 0xFF,
                (version >> 8) & 0xFF, version & 0xFF);
    return 0;
}

} // namespace

void registerKinds(CommandLine &commands) {
    auto json = std::make_shared<bool>(false);
    CLI::App *kinds = commands.add("kinds", "the device catalogue", [json] { return runKinds(*json); });
    kinds->add_flag("--json", *json, "one JSON object per kind");
}

void registerVersion(CommandLine &commands) {
    commands.add("version", "the library's version", runVersion);
}

} // namespace tool
