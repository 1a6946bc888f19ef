// Where the call store is not built (the 32-bit Windows build, which has no SQLite built for
// it), `log` and `phonebook` say so instead of being unknown commands.
#include <cstdio>

#include "cli.h"

namespace tool {

namespace {

int noCallLog(const char *command) {
    std::fprintf(stderr,
                 "kalvix3 %s: this build has no call log of the caller-ID service kalvix3d; the "
                 "64-bit kalvix3.exe and the Linux kalvix3 have.\n",
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
