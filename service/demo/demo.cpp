// kalvix3d-demo: runs the caller-ID service for a few seconds against simulated adapters (an NTT
// number-display adapter and an ALEXON terminal adapter behind /dev/serial/by-id-like links),
// places calls, unplugs and replugs the terminal adapter, and shows the call log with the
// phonebook's names, with the web page up: it prints its address and a login. Exit status 0
// only when everything expected arrived. With --keep the service stays up until Ctrl-C, and a
// simulated call arrives every few seconds, so the page can be watched.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

const char *kDemoPassword = "kalvix3-demo";

std::string passwordHashLine() {
    std::string command = std::string("printf '%s\\n' '") + kDemoPassword + "' | '" +
                          kalvix3dPath() + "' --hash-password";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "";
    char line[512] = {};
    std::string text = fgets(line, sizeof line, pipe) ? line : "";
    pclose(pipe);
    return text.rfind("password-hash = ", 0) == 0 ? text : "";
}

// One HTTP/1.1 request to the page on loopback; the whole answer (status line, headers, body),
// or "" when it did not come within two seconds.
std::string httpExchange(int port, const std::string &request) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        auto deadline = std::chrono::steady_clock::now() + 2s;
        char buffer[4096];
        for (;;) {
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, 100) < 0 || std::chrono::steady_clock::now() > deadline)
                break;
            if (!(wait.revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            answer.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    return answer;
}

long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

int demo(bool keep) {
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
    std::string hash = passwordHashLine();
    writeFile(config, "site = \"Tanaka Clinic\"\n"
                      "database = \"" + database + "\"\n"
                      "[web]\nport = " + (keep ? "8380" : "0") + "\n" + hash + ""
                      "[phonebook]\ncsv = \"" + dir.path() + "/phonebook.csv\"\n"
                      "[[line]]\nkind = 2\nport = \"" + display.link() + "\"\nlabel = \"店舗\"\n"
                      "[[line]]\nkind = 15\nport = \"" + terminal.link() + "\"\nlabel = \"FAX\"\n");
    Tally tally;
    const std::regex anyLine("kalvix3d: (line|call|phonebook|ready)");
    const Event announced{{"event", "call"}};

    say("\n== The caller-ID service kalvix3d: slot 0 = number-display adapter (店舗), slot 1 = "
        "ALEXON terminal adapter (FAX), both simulated");
    say("  kalvix3d --config " + config);
    auto started = std::chrono::steady_clock::now();
    auto running = startService({"--config", config}, {"TMPDIR=" + dir.path()});
    Process &service = *running;
    bool ready = bool(service.waitForEvent({{"event", "ready"}}, 10s));
    long long readyMs = millisecondsSince(started);
    bool imported = bool(service.waitForEvent({{"event", "history"}, {"slot", 0}, {"added", 2}}, 20s));
    size_t shown = echo(service, 0, anyLine);
    say("  (lines tried " + std::to_string(readyMs) + " ms after start)");
    tally.check(ready, "the service started and tried its lines");
    tally.check(imported, "the adapter's history imported (2 calls from while it was down)");
    tally.check(terminal.device().waitForReceived("ATG55=0\r\n", 5s), "ALEXON initialised");
    auto listening = service.waitForEvent({{"event", "listening"}, {"output", "web"}}, 1s);
    std::string pageAddress = listening ? (*listening)["address"].get<std::string>() : "";
    const std::string loopback = "http://127.0.0.1:";
    int webPort = pageAddress.rfind(loopback, 0) == 0 ? std::atoi(pageAddress.c_str() + loopback.size()) : 0;
    tally.check(webPort > 0 && !hash.empty(), "the web page is served");

    say("\n== Calls");
    size_t calls = service.events(announced).size();
    auto waitCalls = [&](size_t count) {
        for (int i = 0; i < 100 && service.events(announced).size() < count; ++i)
            std::this_thread::sleep_for(50ms);
        return service.events(announced).size() >= count;
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
    size_t mark = service.eventCount();
    terminal.unplug();
    bool down = bool(service.waitForEvent({{"event", "line"}, {"slot", 1}, {"cause", "device-missing"}}, 5s, mark));
    tally.check(down, "line 1 reported down");
    std::this_thread::sleep_for(500ms);
    mark = service.eventCount();
    auto plugged = std::chrono::steady_clock::now();
    terminal.plugIn();
    bool up = waitForLineUp(service, 1, 5s, mark);
    long long backMs = millisecondsSince(plugged);
    tally.check(up && backMs < 2000, "line 1 back within 2 s");
    tally.check(terminal.device().waitForReceived("ATG55=0\r\n", 5s), "ALEXON initialised again");
    terminal.device().waitUntilSent(2s); // its answer to the last command is out
    std::this_thread::sleep_for(200ms);
    terminal.device().placeCall(Call::withNumber("0455556666"));
    tally.check(waitCalls(++calls), "call after the replug logged");
    shown = echo(service, shown, anyLine);
    say("  (line 1 was up again " + std::to_string(backMs) + " ms after the adapter reappeared)");

    say("\n== The web page");
    std::string url = "http://127.0.0.1:" + std::to_string(webPort) + "/";
    std::string body = std::string("{\"password\":\"") + kDemoPassword + "\"}";
    std::string login = httpExchange(
        webPort, "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                 "Content-Type: application/json\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body);
    std::smatch cookie;
    bool loggedIn = login.rfind("HTTP/1.1 200", 0) == 0 &&
                    std::regex_search(login, cookie, std::regex("Set-Cookie: ([^;]+)"));
    tally.check(loggedIn, "a login on the web page with the demo password");
    std::string page = loggedIn ? httpExchange(webPort, "GET /api/calls?limit=10 HTTP/1.1\r\n"
                                                        "Host: 127.0.0.1\r\nConnection: close\r\n"
                                                        "Cookie: " + cookie[1].str() + "\r\n\r\n")
                                : "";
    tally.check(page.find("\"total\":6") != std::string::npos, "the page's API lists the 6 calls");
    say("  " + url + "   log in with the password " + kDemoPassword);

    if (keep) {
        say("\n  kalvix3d stays up with the simulated adapters: open " + url +
            " in a browser and log in with the password " + kDemoPassword +
            ".\n  A simulated call arrives every 8 seconds. Ctrl-C ends the demo.");
        sigset_t stop; // blocked in every thread since main() began
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        const char *callers[] = {"0312345678", "09012345678", "P", "0667778888", "0120123456",
                                 "0455556666", "O", "05012345678", "C"};
        timespec every{8, 0};
        for (size_t turn = 0; sigtimedwait(&stop, nullptr, &every) < 0; ++turn) {
            std::string caller = callers[turn % (sizeof callers / sizeof *callers)];
            auto &device = turn % 3 == 2 ? terminal.device() : display.device();
            device.waitUntilSent(2s);
            device.placeCall(caller == "P"   ? Call::of(CallerKind::Withheld)
                             : caller == "O" ? Call::of(CallerKind::OutOfArea)
                             : caller == "C" ? Call::of(CallerKind::PublicPhone)
                                             : Call::withNumber(caller));
            say("  a call from " + caller + " on line " + (turn % 3 == 2 ? "1" : "0"));
        }
        say("  stopping");
    }

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
        tally.check(keep ? log.size() >= 6 : log.size() == 6, "6 calls in the log (4 live, 2 imported)");
        tally.check(keep ? named >= 4 : named == 4, "4 calls named from the phonebook");
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

int main(int argc, char **argv) {
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--keep") {
            keep = true;
        } else {
            std::cerr << "usage: kalvix3d-demo [--keep]\n";
            return 2;
        }
    }
    if (keep) {
        // Ctrl-C is taken by the demo's main thread (sigtimedwait); every thread started later
        // inherits the mask. The service, in the same process group, stops on it by itself.
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    }
    try {
        return demo(keep);
    } catch (const std::exception &error) {
        std::cerr << "kalvix3d-demo: " << error.what() << "\n";
        return 1;
    }
}
