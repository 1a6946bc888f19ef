#include "cli.h"

#include <cstdio>

#include "platform.h"

namespace tool {

namespace {

// The program's name and the subcommand's, as error messages begin: "kalvix3 watch".
std::string speaker(const CLI::App &app) {
    std::string name = "kalvix3";
    for (const CLI::App *sub : app.get_subcommands())
        name += " " + sub->get_name();
    return name;
}

} // namespace

CommandLine::CommandLine()
    : app("The command-line host of the Kalvix3 library. `kalvix3 COMMAND --help` tells a "
          "command's options.",
          "kalvix3") {
    app.require_subcommand(1);
    app.footer(platform::portNotes());
}

CLI::App *CommandLine::add(const std::string &name, const std::string &description,
                           std::function<int()> run) {
    CLI::App *command = app.add_subcommand(name, description);
    commands.emplace_back(command, std::move(run));
    return command;
}

int CommandLine::run(int argc, char **argv) {
    if (argc >= 2 && std::string(argv[1]) == "help") {
        // `kalvix3 help` and `kalvix3 help COMMAND`, as --help.
        for (const auto &[command, unused] : commands)
            if (argc >= 3 && command->get_name() == argv[2]) {
                std::fputs(command->help("kalvix3").c_str(), stdout);
                return 0;
            }
        std::fputs(app.help().c_str(), stdout);
        return 0;
    }
    if (argc >= 2 && argv[1][0] != '-') {
        bool known = false;
        for (const auto &[command, unused] : commands)
            known = known || command->get_name() == argv[1];
        if (!known) {
            std::fprintf(stderr, "kalvix3: unknown command %s (see `kalvix3 --help`)\n", argv[1]);
            return 2;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(error); // --help: the help of the command it follows, on stdout
        std::string what = error.what();
        if (dynamic_cast<const CLI::RequiredError *>(&error) && app.get_subcommands().empty())
            what = "no command given";
        std::string name = speaker(app);
        std::fprintf(stderr, "%s: %s\nRun `%s --help` for the commands and their options.\n",
                     name.c_str(), what.c_str(), name.c_str());
        return 2;
    }
    for (const auto &[command, run] : commands)
        if (command->parsed())
            return run();
    return 2; // not reached: exactly one command is required
}

const CLI::Validator &wholeNumber() {
    static const CLI::Validator check(
        [](const std::string &text) {
            int32_t value = 0;
            return CLI::detail::lexical_cast(text, value) ? std::string()
                                                          : text + " is not a whole number";
        },
        "");
    return check;
}

void addLineOptions(CLI::App &command, LineOptions &options, bool withJson) {
    command.add_option("--kind", options.kind, "the device kind (see `kalvix3 kinds`)")
        ->type_name("K")
        ->check(wholeNumber())
        ->required();
    command.add_option("--port", options.port, "COM port number (needed by serial kinds)")
        ->type_name("N")
        ->check(wholeNumber());
    command.add_option("--slot", options.slot, "the line slot, 0 or 1")
        ->type_name("S")
        ->check(wholeNumber())
        ->capture_default_str();
    if (withJson)
        command.add_flag("--json", options.json, "one JSON object per line");
}

bool portGivenWhereNeeded(const LineOptions &options, const char *command) {
    if (options.port || isUsbKind(options.kind))
        return true;
    std::fprintf(stderr, "kalvix3 %s: --port is required for a serial device\n", command);
    return false;
}

} // namespace tool
