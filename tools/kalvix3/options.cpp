#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace tool {

namespace {

bool parseInteger(const std::string &text, int32_t &value) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long parsed = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX)
        return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

struct IntegerOption {
    const char *name;
    std::optional<int32_t> Options::*field;
};

constexpr IntegerOption kIntegerOptions[] = {
    {"--port", &Options::port},   {"--kind", &Options::kind},
    {"--slot", &Options::slot},   {"--count", &Options::count},
    {"--tel-port", &Options::telPort},
};

} // namespace

std::optional<Options> parseOptions(int argc, char **argv, std::string &error) {
    Options options;
    if (argc < 2) {
        error = "no command given";
        return std::nullopt;
    }
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--json") {
            options.json = true;
            continue;
        }
        const IntegerOption *match = nullptr;
        for (const IntegerOption &option : kIntegerOptions)
            if (word == option.name)
                match = &option;
        if (match == nullptr) {
            if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
                error = "unknown option " + word;
                return std::nullopt;
            }
            options.arguments.push_back(word);
            continue;
        }
        int32_t value = 0;
        if (i + 1 >= argc || !parseInteger(argv[i + 1], value)) {
            error = word + " needs a whole number";
            return std::nullopt;
        }
        options.*(match->field) = value;
        ++i;
    }
    return options;
}

const char *usageText() {
    return "usage: kalvix3 COMMAND [options]\n"
           "  kinds [--json]                                 the device catalogue\n"
           "  watch --kind K [--port N] [--slot S] [--json]  print calls as they arrive\n"
           "  history --kind K [--port N] [--count C] [--json]  read the device's call history\n"
           "  dial --kind K [--port N] --tel-port P NUMBER   place a call through an adapter\n"
           "  simulate --kind K                              a simulated device on a pseudo-terminal\n"
           "  demo                                           everything, against simulators\n"
           "  version\n"
           "COM port N is $KALVIX3_COM_DIR/COMN when KALVIX3_COM_DIR is set, else /dev/ttyS<N-1>.\n"
           "USB kinds ignore the port and load ITUSB.DLL from $KALVIX3_SYSTEM_DIR.\n";
}

} // namespace tool
