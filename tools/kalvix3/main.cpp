// kalvix3: the command-line host of the Kalvix3 library.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "kalvix3.h"

int main(int argc, char **argv) {
    std::string error;
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0)) {
        std::fputs(tool::usageText(), stdout);
        return 0;
    }
    auto options = tool::parseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "kalvix3: %s\n%s", error.c_str(), tool::usageText());
        return 2;
    }
    const std::string &command = options->command;
    if (command == "kinds")
        return tool::runKinds(*options);
    if (command == "watch")
        return tool::runWatch(*options);
    if (command == "history")
        return tool::runHistory(*options);
    if (command == "dial")
        return tool::runDial(*options);
    if (command == "simulate")
        return tool::runSimulate(*options);
    if (command == "demo")
        return tool::runDemo(*options);
    if (command == "version") {
        int32_t version = 0;
        GetKalvix3Version(&version);
        std::printf("Kalvix3 %d.%d.%d.%d\n", (version >> 24) & 0xFF, (version >> 16) & 0xFF,
                    (version >> 8) & 0xFF, version & 0xFF);
        return 0;
    }
    std::fprintf(stderr, "kalvix3: unknown command %s\n%s", command.c_str(), tool::usageText());
    return 2;
}
