// The command line of the kalvix3 host program: one subcommand per command, registered by the
// file of its command group, each with its own options and --help.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tool {

class CommandLine {
public:
    CommandLine();
    // Adds a subcommand; `run` is called with nothing else when the parsed command line chose
    // it, and its result is the program's exit status. The options are the caller's to add.
    CLI::App *add(const std::string &name, const std::string &description,
                  std::function<int()> run);
    // Parses argv and runs the chosen command. A mistake in the arguments prints what is wrong
    // and exits 2; --help (of the program or of a subcommand) prints help and exits 0.
    int run(int argc, char **argv);

private:
    CLI::App app;
    std::vector<std::pair<CLI::App *, std::function<int()>>> commands;
};

// What the commands that open a line share.
struct LineOptions {
    int32_t kind = 0;
    std::optional<int32_t> port;
    int32_t slot = 0;
    bool json = false;
};

// --kind (required), --port, --slot and, when `withJson`, --json.
void addLineOptions(CLI::App &command, LineOptions &options, bool withJson = true);
// False (after saying why on stderr) when a serial kind is given no port.
bool portGivenWhereNeeded(const LineOptions &options, const char *command);
bool isUsbKind(int32_t kind); // commands_catalogue.cpp: from the catalogue's usbDriver column
// Checks an integer option's text: "--kind: two is not a whole number".
const CLI::Validator &wholeNumber();

// Registration, one function per subcommand, each in the file of its command group.
void registerKinds(CommandLine &commands);    // commands_catalogue.cpp
void registerVersion(CommandLine &commands);  // commands_catalogue.cpp
void registerWatch(CommandLine &commands);    // commands_line.cpp
void registerHistory(CommandLine &commands);  // commands_line.cpp
void registerDial(CommandLine &commands);     // commands_line.cpp
void registerSimulate(CommandLine &commands); // simulate.cpp
void registerDemo(CommandLine &commands);     // demo.cpp
// The call log's commands (commands_store.cpp; without the call store, as on Windows,
// commands_store_absent.cpp says where they are).
void registerLog(CommandLine &commands);
void registerPhonebook(CommandLine &commands);

} // namespace tool
