// kalvix3d-webrig: brings up kalvix3d with its web page against a simulated number-display
// adapter (slot 0, keeps a history) and a simulated NEC Aterm IT75/D terminal adapter (slot 1,
// dials through three telephone ports; the library's dial holds its caller 5.4 s), and
// lets the browser test drive the adapters. `kalvix3d-webrig usb` instead brings up one NEC
// Aterm on USB (kind 34, slot 0, through the stand-in driver) that refuses every dial, with
// at most 3 web connections. It
// prints one JSON line when the page is up, then
// takes commands on stdin, one per line, and answers each with one line:
//   call SLOT NUMBER|P|O|C     the adapter rings with that caller      -> ok
//   unplug SLOT | plug SLOT    the adapter goes away / comes back       -> ok
//   received SLOT TEXT MS      did the adapter receive TEXT within MS   -> yes | no
//   quit                       SIGTERM to the service, its exit status  -> exit N
// KALVIX3_WEB_LOG_CALLS=N fills the call log with N older calls first (for the figures).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "call_store.h"
#include "driver.h"

using namespace kalvix3d::driver;
using kalvix3::sim::Call;
using kalvix3::sim::CallerKind;

namespace {

const Event kPageListening{{"event", "listening"}, {"output", "web"}};

std::string hashOf(const std::string &password) {
    std::string command = "printf '%s\\n' '" + password + "' | '" + kalvix3dPath() + "' --hash-password";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run kalvix3d --hash-password");
    char line[512] = {};
    std::string text = fgets(line, sizeof line, pipe) ? line : "";
    if (pclose(pipe) != 0 || text.rfind("password-hash = ", 0) != 0)
        throw std::runtime_error("kalvix3d --hash-password failed: " + text);
    return text;
}

std::string unescaped(std::string text) { // "\r" and "\n" in commands
    for (auto [from, to] : {std::pair{"\\r", "\r"}, std::pair{"\\n", "\n"}})
        for (size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, 2, to);
    return text;
}

// The USB rig: the stand-in driver in a private system folder, told to refuse dials.
int runUsb() {
    TempDir dir("kalvix3d-web-usb");
    std::string system = dir.path() + "/system";
    std::filesystem::create_directories(system);
    std::filesystem::copy_file(KALVIX3_STAND_IN_ITUSB, system + "/ITUSB.DLL");
    std::string config = dir.path() + "/kalvix3d.toml";
    writeFile(config, "site = \"Tanaka Clinic\"\ndatabase = \"" + dir.path() + "/calls.db\"\n"
                      "[web]\nport = 0\nmax-clients = 3\n[[line]]\nkind = 34\nlabel = \"Aterm USB\"\n");
    auto started = startService({"--config", config}, {"TMPDIR=" + dir.path(),
                                "KALVIX3_SYSTEM_DIR=" + system, "SIMUSB_DIAL_STATES=0"});
    Process &service = *started;
    auto page = service.waitForEvent(kPageListening, 10s);
    if (!page || !waitForLineUp(service, 0, 10s)) {
        for (const std::string &line : service.lines())
            std::cerr << line << "\n";
        std::cerr << "kalvix3d-webrig: the service did not come up\n";
        return 1;
    }
    std::cout << "{\"url\":\"" << (*page)["address"].get<std::string>() << "\",\"pid\":" << service.pid() << "}" << std::endl;
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        std::cout << "error: only quit" << std::endl;
    }
    service.signal(SIGTERM);
    std::cout << "exit " << service.wait(10s) << std::endl;
    return 0;
}

// A call log of `calls` calls before the service starts (KALVIX3_WEB_LOG_CALLS, for the figures):
// one a minute up to a day ago, from 50,000 numbers that begin 07 (so none is a number the
// test calls from), a few calling often, 4% withheld and the like.
void fillLog(const std::string &path, long calls) {
    kalvix3d::CallStore store(path);
    std::mt19937_64 random(11);
    std::vector<std::string> numbers;
    for (int i = 0; i < 50000; ++i)
        numbers.push_back("07" + std::to_string(10000000 + random() % 90000000));
    std::int64_t start = std::time(nullptr) - 86400 - calls * 60;
    std::vector<kalvix3d::Call> batch;
    for (long i = 0; i < calls; ++i) {
        double u = std::uniform_real_distribution<double>(0, 1)(random);
        kalvix3d::Call c;
        c.timeUtc = kalvix3d::isoFromSeconds(start + i * 60);
        c.utcOffsetMinutes = 540;
        c.site = "Tanaka Clinic";
        c.lineLabel = "店舗";
        c.kind = 2;
        c.number = random() % 25 == 0 ? std::string(1, "POCS"[random() % 4])
                                      : numbers[static_cast<std::size_t>(numbers.size() * u * u * u)];
        batch.push_back(std::move(c));
        if (batch.size() == 100000 || i + 1 == calls) {
            store.addCalls(batch);
            batch.clear();
        }
    }
}

int run() {
    TempDir dir("kalvix3d-web");
    const char *logCalls = std::getenv("KALVIX3_WEB_LOG_CALLS");
    long prefilled = logCalls ? std::atol(logCalls) : 0;
    if (prefilled > 0)
        fillLog(dir.path() + "/calls.db", prefilled);
    std::string byId = dir.path() + "/serial/by-id";
    std::filesystem::create_directories(byId);
    Adapter display(2, byId + "/usb-FTDI_ND30_A10K001-if00-port0");
    Adapter terminal(33, byId + "/usb-Prolific_Aterm_IT75D-if00-port0");
    display.device().setHistory({{"1207", "1815", "0667778888"}, {"1207", "1902", "P"}});
    Adapter *adapters[2] = {&display, &terminal};
    const std::string password = "kalvix3-test-pw";
    const std::string token = "wall-screen-token-0123456789";
    std::string config = dir.path() + "/kalvix3d.toml";
    writeFile(config, "site = \"Tanaka Clinic\"\ndatabase = \"" + dir.path() + "/calls.db\"\n"
                      "[web]\nport = 0\n" + hashOf(password) +
                      "display-token = \"" + token + "\"\n"
                      "[[line]]\nkind = 2\nport = \"" + display.link() + "\"\nlabel = \"店舗\"\n"
                      "[[line]]\nkind = 33\nport = \"" + terminal.link() + "\"\nlabel = \"FAX\"\n");
    auto started = startService({"--config", config}, {"TMPDIR=" + dir.path()});
    Process &service = *started;
    auto page = service.waitForEvent(kPageListening, 10s);
    bool ready = page && service.waitForEvent({{"event", "ready"}}, 10s) &&
                 service.waitForEvent({{"event", "history"}, {"slot", 0}}, 10s);
    if (!ready) {
        for (const std::string &line : service.lines())
            std::cerr << line << "\n";
        std::cerr << "kalvix3d-webrig: the service did not come up\n";
        return 1;
    }
    std::cout << "{\"url\":\"" << (*page)["address"].get<std::string>() << "\",\"password\":\"" << password
              << "\",\"displayToken\":\"" << token << "\",\"pid\":" << service.pid()
              << ",\"logCalls\":" << prefilled << "}"
              << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, argument;
        int slot = -1;
        words >> command >> slot;
        std::getline(words >> std::ws, argument);
        Adapter *adapter = slot == 0 || slot == 1 ? adapters[slot] : nullptr;
        if (command == "quit") {
            service.signal(SIGTERM);
            std::cout << "exit " << service.wait(10s) << std::endl;
            return 0;
        } else if (!adapter) {
            std::cout << "error: which slot?" << std::endl;
        } else if (command == "call") {
            adapter->device().waitUntilSent(3s);
            Call call = argument == "P"   ? Call::of(CallerKind::Withheld)
                        : argument == "O" ? Call::of(CallerKind::OutOfArea)
                        : argument == "C" ? Call::of(CallerKind::PublicPhone)
                                          : Call::withNumber(argument);
            adapter->device().placeCall(call);
            std::cout << "ok" << std::endl;
        } else if (command == "unplug") {
            adapter->unplug();
            std::cout << "ok" << std::endl;
        } else if (command == "plug") {
            adapter->plugIn();
            std::cout << "ok" << std::endl;
        } else if (command == "received") {
            auto space = argument.rfind(' ');
            std::string text = unescaped(argument.substr(0, space));
            auto limit = std::chrono::milliseconds(std::stoi(argument.substr(space + 1)));
            std::cout << (adapter->device().waitForReceived(text, limit) ? "yes" : "no")
                      << std::endl;
        } else {
            std::cout << "error: unknown command" << std::endl;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return argc > 1 && std::string(argv[1]) == "usb" ? runUsb() : run();
    } catch (const std::exception &error) {
        std::cerr << "kalvix3d-webrig: " << error.what() << "\n";
        return 1;
    }
}
