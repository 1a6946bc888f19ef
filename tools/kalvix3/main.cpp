// kalvix3: the command-line host of the Kalvix3 library.
#include "cli.h"

int main(int argc, char **argv) {
    tool::CommandLine commands;
    tool::registerKinds(commands);
    tool::registerWatch(commands);
    tool::registerHistory(commands);
    tool::registerDial(commands);
    tool::registerSimulate(commands);
    tool::registerDemo(commands);
    tool::registerLog(commands);
    tool::registerPhonebook(commands);
    tool::registerVersion(commands);
    return commands.run(argc, argv);
}
