// kalvix3d-demo: runs the caller-ID service for a few seconds against simulated adapters (an NTT
// number-display adapter and an ALEXON terminal adapter behind /dev/serial/by-id-like links),
// places calls, unplugs and replugs the terminal adapter, and shows the call log with the
// phonebook's names. Exit status 0 only when everything expected arrived.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "call_store.h"

namespace {

using namespace std::chrono_literals;
using kalvix3::sim::Call;
using kalvix3::sim::CallerKind;
using namespace kalvix3d::driver;

struct Tally {
    int expected = 0;
    std::vector<std::string> missing;
    void check(bool ok, const std::string &what) {
        ++expected;
        if (!ok)
            missing.push_back(what);
    }
};

void say(const std::string &text) { std::cout << text << std::endl; }

// Shows the service's own log lines from `from` on, without the priority prefix.
size_t echo(Process &service, size_t from, const std::regex &only) {
    auto lines = service.lines();
    for (size_t i = from; i < lines.size(); ++i) {
        std::string text = std::regex_replace(lines[i], std::regex("^<\\d>kalvix3d: "), "");
        if (std::regex_search(lines[i], only))
            say("  kalvix3d: " + text);
    }
    return lines.size();
}

long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

int demo() {
    auto began = std::chrono::steady_clock::now();
    TempDir dir("kalvix3d-demo");
    std::string byId = dir.path() + "/serial/by-id";
    std::filesystem::create_directories(byId);
    Adapter display(2, byId + "/usb-FTDI_ND30_A10K001-if00-port0");
    Adapter terminal(15, byId + "/usb-Prolific_ALEX-TD503-if00-port0");
    display.device().setHistory({{"1207", "1815", "0667778888"}, {"1207", "1902", "P"}});
    std::string config = dir.path() + "/kalvix3d.toml";
    std::string database = dir.path() + "/calls.db";
    writeFile(dir.path() + "/phonebook.csv",
              "number,name\n03-1234-5678,山田太郎\n06-6777-8888,タクシー会社\n045-555-6666,田中商店\n");
    writeFile(config, "site = \"Tanaka Clinic\"\n"
                      "database = \"" + database + "\"\n"
                      "[phonebook]\ncsv = \"" + dir.path() + "/phonebook.csv\"\n"
                      "[[line]]\nkind = 2\nport = \"" + display.link() + "\"\nlabel = \"店舗\"\n"
                      "[[line]]\nkind = 15\nport = \"" + terminal.link() + "\"\nlabel = \"FAX\"\n");
    Tally tally;
    const std::regex anyLine("kalvix3d: (line|call|phonebook|ready)");
    const std::regex announced(R"(^<5>kalvix3d: call (\d+) on line (\d) \([^)]*\): (\S+))");

    say("\n== The caller-ID service kalvix3d: slot 0 = number-display adapter (店舗), slot 1 = "
        "ALEXON terminal adapter (FAX), both simulated");
    say("  kalvix3d --config " + config);
    auto started = std::chrono::steady_clock::now();
    Process service(kalvix3dPath(), {"--config", config}, {"TMPDIR=" + dir.path()});
    bool ready = bool(service.waitFor(std::regex("ready: every line has been tried"), 10s));
    long long readyMs = millisecondsSince(started);
    bool imported = bool(service.waitFor(std::regex("line 0 .*history read .* 2 new"), 20s));
    size_t shown = echo(service, 0, anyLine);
    say("  (lines tried " + std::to_string(readyMs) + " ms after start)");
    tally.check(ready, "the service started and tried its lines");
    tally.check(imported, "the adapter's history imported (2 calls from while it was down)");
    tally.check(terminal.device().waitForReceived("ATG55=0\r\n", 5s), "ALEXON initialised");

    say("\n== Calls");
    size_t calls = service.matches(announced).size();
    auto waitCalls = [&](size_t count) {
        for (int i = 0; i < 100 && service.matches(announced).size() < count; ++i)
            std::this_thread::sleep_for(50ms);
        return service.matches(announced).size() >= count;
    };
    display.device().placeCall(Call::withNumber("0312345678"));
    tally.check(waitCalls(++calls), "call 0312345678 logged");
    display.device().waitUntilSent(3s);
    display.device().placeCall(Call::of(CallerKind::Withheld));
    tally.check(waitCalls(++calls), "withheld call logged");
    terminal.device().placeCall(Call::withNumber("0667778888"));
    tally.check(waitCalls(++calls), "call 0667778888 on the terminal adapter logged");
    shown = echo(service, shown, std::regex("kalvix3d: call"));

    say("\n== The terminal adapter is unplugged, and plugged back in");
    size_t mark = service.lineCount();
    terminal.unplug();
    bool down = bool(service.waitFor(std::regex("line 1 .*: down: the device"), 5s, mark));
    tally.check(down, "line 1 reported down");
    std::this_thread::sleep_for(500ms);
    mark = service.lineCount();
    auto plugged = std::chrono::steady_clock::now();
    terminal.plugIn();
    bool up = bool(service.waitFor(std::regex("line 1 .*: up"), 5s, mark));
    long long backMs = millisecondsSince(plugged);
    tally.check(up && backMs < 2000, "line 1 back within 2 s");
    tally.check(terminal.device().waitForReceived("ATG55=0\r\n", 5s), "ALEXON initialised again");
    terminal.device().waitUntilSent(2s); // its answer to the last command is out
    std::this_thread::sleep_for(200ms);
    terminal.device().placeCall(Call::withNumber("0455556666"));
    tally.check(waitCalls(++calls), "call after the replug logged");
    shown = echo(service, shown, anyLine);
    say("  (line 1 was up again " + std::to_string(backMs) + " ms after the adapter reappeared)");

    service.signal(SIGTERM);
    int status = service.wait(10s);
    echo(service, shown, std::regex("kalvix3d: (stopping|stopped)"));
    tally.check(status == 0, "SIGTERM: lines closed, exit status 0");

    say("\n== The call log (" + database + "), oldest first");
    try {
        kalvix3d::CallStore store(database, true);
        auto log = store.calls({});
        char row[256];
        std::snprintf(row, sizeof row, "  %-3s %-21s %-12s %-9s %-6s %s", "id", "time (UTC)",
                      "number", "heard", "line", "name / reason");
        say(row);
        int named = 0;
        for (auto call = log.rbegin(); call != log.rend(); ++call) {
            std::string who = call->name.empty() ? call->reason : call->name;
            std::snprintf(row, sizeof row, "  %-3lld %-21s %-12s %-9s %-6s %s",
                          static_cast<long long>(call->id), call->timeUtc.c_str(),
                          call->number.c_str(),
                          call->origin == kalvix3d::CallOrigin::live ? "live" : "imported",
                          call->lineSlot == 0 ? "0" : "1", who.c_str());
            say(row);
            named += !call->name.empty();
        }
        tally.check(log.size() == 6, "6 calls in the log (4 live, 2 imported)");
        tally.check(named == 4, "4 calls named from the phonebook");
    } catch (const std::exception &error) {
        say(std::string("  cannot read the call log: ") + error.what());
        tally.check(false, "the call log can be read");
    }

    std::printf("\n%d of %d expected results of the service arrived in %.1f s.\n",
                tally.expected - static_cast<int>(tally.missing.size()), tally.expected,
                static_cast<double>(millisecondsSince(began)) / 1000.0);
    for (const std::string &what : tally.missing)
        say("  missing: " + what);
    return tally.missing.empty() ? 0 : 1;
}

} // namespace

int main() {
    try {
        return demo();
    } catch (const std::exception &error) {
        std::cerr << "kalvix3d-demo: " << error.what() << "\n";
        return 1;
    }
}
