// kalvix3d end to end: the real program, simulated adapters behind stable links, a real SQLite
// call log. What a user relies on: calls reach the log with their names, a replugged adapter
// comes back, a crash loses no call the service announced, history is imported once, and a
// broken configuration or call log stops the service before any line is opened.
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "driver.h"
#include "call_store.h"
#include "support/time_bounds.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kalvix3::sim::Call;
using kalvix3::sim::CallerKind;
using kalvix3d::CallOrigin;
using kalvix3d::CallStore;
using kalvix3d::driver::Adapter;
using kalvix3d::driver::Process;
using kalvix3d::driver::TempDir;
using kalvix3d::driver::writeFile;
using kalvix3::testing::scaled;

using kalvix3d::driver::Event;
using kalvix3d::driver::waitForCall;
using kalvix3d::driver::waitForLineUp;

const Event kAnnounced{{"event", "call"}};
const Event kHistoryRead{{"event", "history"}, {"slot", 0}, {"read", true}};

// systemd's end of sd_notify: a datagram socket whose messages are read back.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : path(path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot bind " << path;
    }
    ~NotifySocket() { close(fd); }
    // Reads messages until one contains `text`; false after `limit`.
    bool waitFor(const std::string &text, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char buffer[4096];
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got > 0 && std::string(buffer, static_cast<size_t>(got)).find(text) !=
                               std::string::npos)
                return true;
        }
    }
    const std::string path;

private:
    int fd = -1;
};

class ServiceTest : public ::testing::Test {
protected:
    TempDir dir{"kalvix3d-test"};
    std::string byId = dir.path() + "/by-id";
    std::string configPath = dir.path() + "/kalvix3d.toml";
    std::string database = dir.path() + "/calls.db";

    void SetUp() override { fs::create_directory(byId); }

    // A configuration with the given [[line]] tables (and anything else after them).
    void configure(const std::string &lines, const std::string &phonebook = "") {
        std::string text = "site = \"Clinic\"\ndatabase = \"" + database + "\"\n";
        if (!phonebook.empty()) {
            writeFile(dir.path() + "/phonebook.csv", phonebook);
            text += "[phonebook]\ncsv = \"" + dir.path() + "/phonebook.csv\"\n";
        }
        writeFile(configPath, text + lines);
    }
    static std::string line(int kind, const std::string &port, const std::string &label) {
        return "[[line]]\nkind = " + std::to_string(kind) + "\nport = \"" + port +
               "\"\nlabel = \"" + label + "\"\n";
    }
    std::unique_ptr<Process> start(std::vector<std::string> env = {}) {
        env.push_back("TMPDIR=" + dir.path()); // the port links go here
        return kalvix3d::driver::startService({"--config", configPath}, env, KALVIX3D_PROGRAM);
    }
    static void stop(Process &service) {
        service.signal(SIGTERM);
        EXPECT_EQ(service.wait(scaled(10s)), 0) << "SIGTERM closes the lines and exits 0";
    }
};

TEST_F(ServiceTest, CallsReachTheLogWithTheirNames) {
    Adapter display(2, byId + "/display"); // NTT number-display adapter 30
    Adapter terminal(15, byId + "/terminal"); // ALEXON terminal adapter
    configure(line(2, display.link(), "店舗") + line(15, terminal.link(), "FAX"),
              "0312345678,山田太郎\n0667778888,タクシー会社\n");
    NotifySocket systemd(dir.path() + "/notify");
    auto service = start({"NOTIFY_SOCKET=" + systemd.path});
    EXPECT_TRUE(systemd.waitFor("STATUS=line 0 (店舗) up", scaled(5s)));
    EXPECT_TRUE(systemd.waitFor("READY=1", scaled(5s))) << "ready once the lines are tried";
    ASSERT_TRUE(waitForLineUp(*service, 0, scaled(5s)));
    ASSERT_TRUE(waitForLineUp(*service, 1, scaled(5s)));
    ASSERT_TRUE(terminal.device().waitForReceived("ATG55=0\r\n", scaled(5s)));
    // A ring while the library still initialises the ALEXON is not reported: let it finish.
    terminal.device().waitUntilSent(scaled(2s));
    std::this_thread::sleep_for(300ms);

    display.device().placeCall(Call::withNumber("0312345678"));
    ASSERT_TRUE(waitForCall(*service, scaled(5s)));
    display.device().placeCall(Call::of(CallerKind::Withheld));
    terminal.device().placeCall(Call::withNumber("0667778888"));
    for (int i = 0; i < 50 * kalvix3::testing::slowdown() &&
                    service->events(kAnnounced).size() < 3;
         ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(service->events(kAnnounced).size(), 3u);

    // SIGHUP (systemctl reload) reloads the phonebook CSV: the next call has the new name.
    writeFile(dir.path() + "/phonebook.csv", "0312345678,山田花子\n");
    size_t mark = service->eventCount();
    service->signal(SIGHUP);
    ASSERT_TRUE(service->waitForEvent({{"event", "phonebook"}, {"loaded", 1}}, scaled(5s), mark));
    display.device().waitUntilSent(scaled(3s));
    display.device().placeCall(Call::withNumber("0312345678"));
    auto renamed = waitForCall(*service, scaled(5s), mark);
    ASSERT_TRUE(renamed);
    auto announced = service->events(kAnnounced);
    announced.pop_back(); // the renamed call is checked on its own below

    // The command-line host adds a name to the database the service has open: the next call
    // has it.
    Process add(KALVIX3_TOOL, {"phonebook", "add", "045-555-6666", "佐藤医院", "--db", database});
    ASSERT_EQ(add.wait(scaled(10s)), 0) << "kalvix3 phonebook add beside the running service";
    mark = service->eventCount();
    display.device().waitUntilSent(scaled(3s));
    display.device().placeCall(Call::withNumber("0455556666"));
    auto added = waitForCall(*service, scaled(5s), mark);
    ASSERT_TRUE(added);
    stop(*service);
    EXPECT_TRUE(systemd.waitFor("STOPPING=1", scaled(1s)));

    struct Expected {
        const char *number;
        int slot;
        int kind;
        const char *label;
        const char *reason;
        const char *name;
    };
    std::map<std::string, Expected> expected = {
        {"0312345678", {"0312345678", 0, 2, "店舗", "", "山田太郎"}},
        {"P", {"P", 0, 2, "店舗", "withheld", ""}},
        {"0667778888", {"0667778888", 1, 15, "FAX", "", "タクシー会社"}},
    };
    CallStore store(database);
    for (const Event &event : announced) {
        auto call = store.call(event["id"].get<long long>());
        ASSERT_TRUE(call) << "announced call " << event["id"] << " is in the log";
        ASSERT_TRUE(expected.count(call->number)) << call->number;
        const Expected &want = expected[call->number];
        SCOPED_TRACE(want.number);
        EXPECT_EQ(call->lineSlot, want.slot);
        EXPECT_EQ(call->kind, want.kind);
        EXPECT_EQ(call->lineLabel, want.label);
        EXPECT_EQ(call->reason, want.reason);
        EXPECT_EQ(call->name, want.name);
        EXPECT_EQ(call->site, "Clinic");
        EXPECT_EQ(call->origin, CallOrigin::live);
        EXPECT_TRUE(std::regex_match(call->timeUtc,
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
            << call->timeUtc;
        expected.erase(call->number);
    }
    EXPECT_TRUE(expected.empty());
    auto again = store.call((*renamed)["id"].get<long long>());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->name, "山田花子");
    auto named = store.call((*added)["id"].get<long long>());
    ASSERT_TRUE(named);
    EXPECT_EQ(named->name, "佐藤医院");
}

TEST_F(ServiceTest, ARepluggedAdapterIsBackWithinTwoSecondsAndItsCallsAreLogged) {
    Adapter display(2, byId + "/display");
    configure(line(2, display.link(), "店舗"));
    auto service = start();
    ASSERT_TRUE(waitForLineUp(*service, 0, scaled(5s)));
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        size_t mark = service->eventCount();
        display.unplug();
        ASSERT_TRUE(service->waitForEvent({{"event", "line"}, {"slot", 0}, {"state", "down"},
                                           {"cause", "adapter-gone"}, {"lineError", 7}},
                                          scaled(5s), mark));
        ASSERT_TRUE(service->waitForEvent({{"event", "line"}, {"slot", 0}, {"state", "down"},
                                           {"cause", "device-missing"}},
                                          scaled(5s), mark));
        std::this_thread::sleep_for(300ms); // unplugged for a while
        mark = service->eventCount();
        auto plugged = std::chrono::steady_clock::now();
        display.plugIn();
        ASSERT_TRUE(waitForLineUp(*service, 0, scaled(5s), mark));
        auto back = std::chrono::steady_clock::now() - plugged;
        EXPECT_LT(back, scaled(2s)) << "the line came back after "
                            << std::chrono::duration_cast<std::chrono::milliseconds>(back).count()
                            << " ms";
        std::string number = "04500000" + std::to_string(10 + cycle);
        display.device().placeCall(Call::withNumber(number));
        auto call = waitForCall(*service, scaled(5s), mark);
        ASSERT_TRUE(call);
        EXPECT_EQ((*call)["number"], number);
    }
    stop(*service);
    CallStore store(database);
    EXPECT_EQ(store.calls({}).size(), 3u);
}

TEST_F(ServiceTest, KillNineLosesNoAnnouncedCall) {
    Adapter terminal(15, byId + "/terminal");
    configure(line(15, terminal.link(), "FAX"));
    unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::vector<std::pair<long long, std::string>> announced;
    for (int round = 0; round < 10; ++round) {
        terminal.device().clearRecord();
        auto service = start();
        ASSERT_TRUE(waitForLineUp(*service, 0, scaled(5s)));
        ASSERT_TRUE(terminal.device().waitForReceived("ATG55=0\r\n", scaled(5s)));
        std::atomic<bool> placing{true};
        std::thread caller([&] {
            for (int k = 0; placing; ++k) {
                char number[16];
                std::snprintf(number, sizeof number, "09%02d%06d", round, k);
                terminal.device().placeCall(Call::withNumber(number));
                std::this_thread::sleep_for(20ms);
            }
        });
        // Killed at a random moment after the first call of the round is announced, so that
        // every round has calls in flight however loaded the machine is.
        bool heard = service->waitForEvent(kAnnounced, scaled(5s)).has_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 500));
        service->signal(SIGKILL);
        placing = false;
        caller.join();
        EXPECT_EQ(service->wait(scaled(5s)), 128 + SIGKILL);
        EXPECT_TRUE(heard) << "round " << round << ": no call was announced";
        for (const Event &event : service->events(kAnnounced))
            announced.emplace_back(event["id"].get<long long>(), event["number"].get<std::string>());
    }
    ASSERT_GE(announced.size(), 10u) << "calls were announced before the kills";
    CallStore store(database);
    for (const auto &[id, number] : announced) {
        auto call = store.call(id);
        ASSERT_TRUE(call) << "announced call " << id << " (" << number << ") is lost";
        EXPECT_EQ(call->number, number);
    }
}

TEST_F(ServiceTest, HistoryImportedTwiceAddsNothing) {
    Adapter display(2, byId + "/display");
    display.device().setHistory({{"1208", "0912", "0312345678"},
                                 {"1208", "1030", "P"},
                                 {"1207", "1815", "0667778888"}});
    configure(line(2, display.link(), "店舗"), "0312345678,山田太郎\n");
    auto service = start({"TZ=Asia/Tokyo"});
    auto first = service->waitForEvent(kHistoryRead, scaled(20s));
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)["records"], 3);
    EXPECT_EQ((*first)["added"], 3);
    size_t mark = service->eventCount();
    service->signal(SIGUSR1); // on demand: the same records again
    auto second = service->waitForEvent(kHistoryRead, scaled(20s), mark);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)["records"], 3);
    EXPECT_EQ((*second)["added"], 0);
    stop(*service);

    CallStore store(database);
    auto calls = store.calls({});
    ASSERT_EQ(calls.size(), 3u);
    std::map<std::string, kalvix3d::Call> byNumber;
    for (const auto &call : calls) {
        EXPECT_EQ(call.origin, CallOrigin::imported);
        EXPECT_EQ(call.utcOffsetMinutes, 540);
        byNumber[call.number] = call;
    }
    ASSERT_EQ(byNumber.count("0312345678"), 1u);
    EXPECT_EQ(byNumber["0312345678"].name, "山田太郎");
    // The device's 09:12 in Japan is 00:12 UTC.
    EXPECT_EQ(byNumber["0312345678"].timeUtc.substr(4), "-12-08T00:12:00Z");
    ASSERT_EQ(byNumber.count("P"), 1u);
    EXPECT_EQ(byNumber["P"].reason, "withheld");
}

TEST_F(ServiceTest, ConfigurationMistakesAreReportedWithTheirPlace) {
    const std::string head = "site = \"Clinic\"\ndatabase = \"" + database + "\"\n";
    struct Case {
        std::string text;
        std::string message; // after "file:"
    };
    const Case cases[] = {
        {head + "[[line]]\nkind = 2\nport = \"/dev/ttyUSB0\"\ncolour = \"red\"\n",
         ":6:1: unknown key \"colour\" in [[line]]"},
        {head + "tone = 3\n[[line]]\nkind = 2\nport = \"/dev/ttyUSB0\"\n",
         ":3:1: unknown key \"tone\" in the file"},
        {"site = \"Clinic\n", ":1:"},
        {head + "[[line]]\nkind = 99\nport = \"COM3\"\n",
         ":4:8: kind 99 is not a device of the catalogue"},
        {head + "[[line]]\nkind = 2\n", ":3:1: [[line]] of kind 2 needs \"port\""},
        {head + "[[line]]\nkind = 32\nport = \"COM3\"\n",
         ":5:8: kind 32 is a USB adapter, opened through its driver: remove \"port\""},
        {head + "[[line]]\nkind = 2\nport = \"COM12\"\n", ":5:8: \"port\" must be a device path"},
        {head + "[[line]]\nslot = 2\nkind = 2\nport = \"COM1\"\n", ":4:8: \"slot\" must be 0 or 1"},
        {head + "[[line]]\nkind = 2\nport = \"COM1\"\n[[line]]\nkind = 2\nport = \"COM1\"\n",
         ":8:8: port \"/dev/ttyS0\" is used by an earlier [[line]]"},
        {head + "[[line]]\nkind = 2\nport = \"COM1\"\n[[line]]\nkind = 2\nport = \"COM2\"\n"
                "[[line]]\nkind = 2\nport = \"COM3\"\n",
         ":9:1: at most two [[line]] tables"},
        {"database = \"x.db\"\n[[line]]\nkind = 2\nport = \"COM1\"\n", ":1:1: \"site\" is missing"},
        {head, ":1:1: no [[line]]"},
        {head + "[[line]]\nkind = \"2\"\nport = \"COM1\"\n", ":4:8: \"kind\" must be a whole number"},
        // The web page is served beyond loopback only behind a password.
        {head + "[web]\nbind = \"0.0.0.0\"\n[[line]]\nkind = 2\nport = \"COM1\"\n",
         ":4:8: [web] bound to \"0.0.0.0\" needs \"password-hash\""},
        {head + "[web]\npassword-hash = \"secret\"\n[[line]]\nkind = 2\nport = \"COM1\"\n",
         ":4:17: \"password-hash\" must be an Argon2id hash"},
        {head + "[web]\ndisplay-token = \"short\"\n[[line]]\nkind = 2\nport = \"COM1\"\n",
         ":4:17: \"display-token\" must be at least 16 characters"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        writeFile(configPath, c.text);
        Process check(KALVIX3D_PROGRAM, {"--check-config", configPath});
        EXPECT_EQ(check.wait(scaled(10s)), 2);
        std::string output;
        for (const std::string &text : check.lines())
            output += text + "\n";
        EXPECT_NE(output.find(configPath + c.message), std::string::npos) << output;
    }
    Process missing(KALVIX3D_PROGRAM, {"--check-config", dir.path() + "/none.toml"});
    EXPECT_EQ(missing.wait(scaled(10s)), 2);
    Process example(KALVIX3D_PROGRAM, {"--check-config", KALVIX3D_EXAMPLE_CONFIG});
    EXPECT_EQ(example.wait(scaled(10s)), 0) << "the shipped example is valid";
}

TEST_F(ServiceTest, AnUnusableCallLogStopsTheServiceBeforeAnyLineOpens) {
    Adapter terminal(15, byId + "/terminal");
    writeFile(dir.path() + "/garbage.db", std::string(4096, 'x'));
    const std::pair<std::string, std::string> cases[] = {
        {dir.path() + "/garbage.db", "not a database"},
        {dir.path() + "/missing/calls.db", "calls.db"},
    };
    for (const auto &[path, why] : cases) {
        SCOPED_TRACE(path);
        database = path;
        configure(line(15, terminal.link(), "FAX"));
        auto service = start();
        EXPECT_EQ(service->wait(scaled(10s)), 1);
        auto refused = service->waitFor(std::regex("^<3>kalvix3d: cannot start: the call log "
                                                   "cannot be used: (.*)$"),
                                        0ms);
        ASSERT_TRUE(refused);
        EXPECT_NE((*refused)[1].find(why), std::string::npos) << (*refused)[1];
        EXPECT_EQ(terminal.device().receivedBytes(), "") << "no line was opened";
    }
}

} // namespace
