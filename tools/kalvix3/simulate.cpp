// kalvix3 simulate: one simulated serial device on a pseudo-terminal, steered from the keyboard,
// for developers who test their own hosts without hardware.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "cli.h"
#include "platform.h"
#include "text.h"

#ifdef KALVIX3_HAVE_SERIAL_SIM
#include "kalvix3_sim/console.h"
#include "kalvix3_sim/serial_device.h"
#include <unistd.h> // mkdtemp
#endif

namespace tool {

#ifdef KALVIX3_HAVE_SERIAL_SIM
namespace fs = std::filesystem;
using namespace kalvix3::sim;

namespace {

int runSimulate(int32_t kind, int32_t port) {
    if (!familyOfKind(kind)) {
        std::fprintf(stderr,
                     "kalvix3 simulate: kind %d has no serial device. The USB adapters are "
                     "simulated inside the host's process by the stand-in ITUSB.DLL (see "
                     "sim/itusb/simusb.h).\n",
                     kind);
        return 2;
    }
    std::unique_ptr<SerialDevice> device;
    try {
        device = SerialDevice::start(kind);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "kalvix3 simulate: %s\n", error.what());
        return 1;
    }
    std::string pattern = (fs::temp_directory_path() / "kalvix3-sim.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "kalvix3 simulate: cannot make a temporary folder\n");
        return 1;
    }
    fs::path link = fs::path(pattern) / ("COM" + std::to_string(port));
    fs::create_symlink(device->slavePath(), link);
    std::printf("Simulating a %s (kind %d) on %s.\n", familyName(device->family()), kind,
                device->slavePath().c_str());
    std::printf("Point the library at it:\n  export KALVIX3_COM_DIR=%s\n"
                "  kalvix3 watch --kind %d --port %d\n\n%s",
                pattern.c_str(), kind, port, kConsoleHelp);
    std::fflush(stdout);

    runConsole(device, std::cin, std::cout, [&](SerialDevice &fresh) {
        std::error_code failed;
        fs::remove(link, failed);
        fs::create_symlink(fresh.slavePath(), link, failed);
    });
    device->stop();
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
    return 0;
}
} // namespace
#else
namespace {
int runSimulate(int32_t, int32_t) {
    const char *absence = platform::serialSimulatorsAbsence();
    std::fprintf(stderr,
                 "kalvix3 simulate: %s. The USB adapters run against the stand-in ITUSB.DLL: see "
                 "`kalvix3 demo`.\n",
                 absence ? absence : "the serial device simulators are not built here");
    return 1;
}
} // namespace
#endif

void registerSimulate(CommandLine &commands) {
    struct SimulateOptions {
        int32_t kind = 0;
        int32_t port = 1;
    };
    auto options = std::make_shared<SimulateOptions>();
    CLI::App *simulate = commands.add(
        "simulate", "a simulated serial device on a pseudo-terminal, steered from the keyboard (POSIX)",
        [options] { return runSimulate(options->kind, options->port); });
    simulate->add_option("--kind", options->kind, "the serial device kind to simulate")
        ->type_name("K")
        ->check(wholeNumber())
        ->required();
    simulate->add_option("--port", options->port, "the COM port number it is linked as")
        ->type_name("N")
        ->check(wholeNumber())
        ->capture_default_str();
}

} // namespace tool
