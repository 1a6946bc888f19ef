// Command-line options of the kalvix3 host program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool {

struct Options {
    std::string command;
    std::optional<int32_t> port, kind, slot, count, telPort;
    bool json = false;
    std::vector<std::string> arguments; // what is left: a number to dial, ...
};

// Parses argv; on a mistake returns nullopt and sets `error`.
std::optional<Options> parseOptions(int argc, char **argv, std::string &error);
const char *usageText();

} // namespace tool
