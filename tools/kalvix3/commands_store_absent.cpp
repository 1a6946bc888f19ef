// Where the call store is not built (Windows: the service and its SQLite log are POSIX only),
// `log` and `phonebook` say so instead of being unknown commands.
#include <cstdio>

#include "cli.h"

namespace tool {

namespace {

int noCallLog(const char *command) {
    std::fprintf(stderr,
                 "kalvix3 %s: the call log belongs to the caller-ID service kalvix3d, which runs "
                 "on Linux and other POSIX systems; this build has no call log.\n",
                 command);
    return 1;
}

} // namespace

void registerLog(CommandLine &commands) {
    commands.add("log", "The service's call log (not in this build)", [] { return noCallLog("log"); })
        ->allow_extras();
}

void registerPhonebook(CommandLine &commands) {
    commands.add("phonebook", "The service's phonebook (not in this build)",
                 [] { return noCallLog("phonebook"); })
        ->allow_extras();
}

} // namespace tool
