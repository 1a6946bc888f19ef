// The NCID server end to end: the real kalvix3d over a simulated adapter, and NCID clients
// written here from the protocol's public description. Plus the protocol's rules as tables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver.h"
#include "support/time_bounds.h"
#include "net/ncid_protocol.h"
#include "store/call_store.h"

namespace {

using namespace std::chrono_literals;
using kalvix3::testing::scaled;
using kalvix3::sim::CallerKind;
using kalvix3d::driver::Adapter;
using kalvix3d::driver::Process;
using kalvix3d::driver::TempDir;
using kalvix3d::driver::writeFile;
namespace net = kalvix3d::net;

// A client as the NCID documents describe one: lines over TCP, read with a deadline.
class NcidClient {
public:
    explicit NcidClient(int port, int receiveBuffer = 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~NcidClient() { ::close(fd); }
    bool ok() const { return connected; }
    void send(const std::string &text) { (void)!::write(fd, text.data(), text.size()); }
    // The next line without its CR LF; nullopt at the deadline or when the server closed.
    std::optional<std::string> line(std::chrono::milliseconds limit = scaled(5s)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto end = buffered.find("\r\n");
            if (end != std::string::npos) {
                std::string text = buffered.substr(0, end);
                buffered.erase(0, end + 2);
                return text;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd wait{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0)
                return std::nullopt;
            char bytes[4096];
            ssize_t got = ::read(fd, bytes, sizeof bytes);
            if (got <= 0) {
                closedByServer = true;
                return std::nullopt;
            }
            buffered.append(bytes, static_cast<size_t>(got));
        }
    }
    // Lines up to and including the first that starts with `head`.
    std::vector<std::string> until(const std::string &head) {
        std::vector<std::string> lines;
        while (auto next = line()) {
            lines.push_back(*next);
            if (next->rfind(head, 0) == 0)
                break;
        }
        return lines;
    }
    bool closed() {
        while (line(scaled(2s))) {
        }
        return closedByServer;
    }

private:
    int fd = -1;
    bool connected = false;
    bool closedByServer = false;
    std::string buffered;
};

// The service's log so far, for a failure message (long names cut short).
std::string logOf(Process &service) {
    std::string text;
    for (const std::string &line : service.lines())
        text += line.substr(0, 160) + "\n";
    return text;
}

std::string field(const std::string &line, const std::string &label) {
    std::smatch match;
    if (std::regex_search(line, match, std::regex("\\*" + label + "\\*([^*]*)\\*")))
        return match[1];
    return "<none>";
}

// The call's local time as NCID writes it: mmddyyyy and hhmm.
std::pair<std::string, std::string> localStamp(const kalvix3d::Call &call) {
    std::time_t local = *kalvix3d::secondsFromIso(call.timeUtc) + call.utcOffsetMinutes * 60;
    std::tm parts{};
    gmtime_r(&local, &parts);
    char date[16], time[16];
    std::strftime(date, sizeof date, "%m%d%Y", &parts);
    std::strftime(time, sizeof time, "%H%M", &parts);
    return {date, time};
}

// A listening socket on a free loopback port: stands for another NCID server.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    Listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(fd, reinterpret_cast<sockaddr *>(&address), size);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd); }
    // What the first connection sends, up to `bytes` or the deadline.
    std::string firstBytes(size_t bytes, std::chrono::milliseconds limit) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(limit.count())) <= 0)
            return "";
        int peer = accept(fd, nullptr, nullptr);
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (text.size() < bytes && std::chrono::steady_clock::now() < deadline) {
            pollfd more{peer, POLLIN, 0};
            char chunk[512];
            if (poll(&more, 1, 100) <= 0)
                continue;
            ssize_t got = ::read(peer, chunk, sizeof chunk);
            if (got <= 0)
                break;
            text.append(chunk, static_cast<size_t>(got));
        }
        ::close(peer);
        return text;
    }
};

TEST(NcidServer, ClientsGetTheLogThenEveryCallAndAStuckClientIsDropped) {
    TempDir dir("kalvix3d-ncid");
    Listener upstream; // an NCID server the calls are forwarded to
    Adapter display(2, dir.path() + "/display"); // NTT number-display adapter 30
    std::string longName(1500, 'N');
    writeFile(dir.path() + "/phonebook.csv",
              "0311111111,Yamada Taro\n039999," + longName + ",prefix\n");
    writeFile(dir.path() + "/kalvix3d.toml",
              "site = \"Clinic\"\ndatabase = \"" + dir.path() + "/calls.db\"\n"
              "[phonebook]\ncsv = \"" + dir.path() + "/phonebook.csv\"\n"
              "[ncid]\nport = 0\nreplay = 2\nmax-clients = 3\nclient-buffer = 4096\n"
              "forward = \"127.0.0.1:" + std::to_string(upstream.port) + "\"\n"
              "[[line]]\nkind = 2\nport = \"" + display.link() + "\"\nlabel = \"FAX\"\nimport-history = false\n");
    Process service(KALVIX3D_PROGRAM, {"--config", dir.path() + "/kalvix3d.toml"},
                    {"TMPDIR=" + dir.path(), "TZ=Asia/Tokyo"}, kalvix3d::driver::Channel::status);
    auto listening = service.waitForEvent({{"event", "listening"}, {"output", "ncid"}}, scaled(5s));
    ASSERT_TRUE(listening);
    std::string address = (*listening)["address"];
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
    int port = std::stoi(address.substr(address.find(':') + 1));
    ASSERT_TRUE(kalvix3d::driver::waitForLineUp(service, 0, scaled(5s)));

    for (auto call : {kalvix3::sim::Call::withNumber("0311111111"),
                      kalvix3::sim::Call::of(CallerKind::Withheld),
                      kalvix3::sim::Call::of(CallerKind::OutOfArea)}) {
        size_t mark = service.eventCount();
        display.device().placeCall(call);
        ASSERT_TRUE(kalvix3d::driver::waitForCall(service, 5s, mark)) << logOf(service);
    }

    // The first call went on to the other server as a gateway line.
    {
        auto first = kalvix3d::CallStore(dir.path() + "/calls.db").calls({}).back();
        auto [date, time] = localStamp(first);
        std::string sent = upstream.firstBytes(200, scaled(5s));
        EXPECT_EQ(sent.substr(0, sent.find("\r\n")),
                  "CALL: ###DATE" + date.substr(0, 4) + time +
                      "...CALLIN...LINEFAX...NMBR0311111111...NAMEYamada Taro+++");
    }

    // A client that says hello before it has read the banner gets the last two calls.
    NcidClient reader(port);
    ASSERT_TRUE(reader.ok());
    reader.send("HELLO: IDENT: client kalvix3-test 1.0\n");
    auto startup = reader.until("300 ");
    ASSERT_EQ(startup.size(), 7u);
    EXPECT_EQ(startup[0].rfind("200 ", 0), 0u) << startup[0];
    EXPECT_EQ(startup[1].rfind("210 API ", 0), 0u) << startup[1];
    EXPECT_EQ(startup[2], "254 Start of call log");
    EXPECT_EQ(startup[5], "250 End of call log");
    EXPECT_EQ(startup[6], "300 End of connection startup");
    kalvix3d::CallStore store(dir.path() + "/calls.db");
    auto logged = store.calls({}); // newest first
    ASSERT_EQ(logged.size(), 3u);
    struct Expected {
        const std::string &line;
        const kalvix3d::Call &call;
        const char *number;
        const char *name;
    };
    for (const Expected &want : {Expected{startup[3], logged[1], "PRIVATE", "PRIVATE"},
                                 Expected{startup[4], logged[0], "OUT-OF-AREA", "OUT-OF-AREA"}}) {
        SCOPED_TRACE(want.line);
        EXPECT_EQ(want.line.rfind("CIDLOG: *", 0), 0u);
        auto [date, time] = localStamp(want.call);
        EXPECT_EQ(want.call.utcOffsetMinutes, 540);
        EXPECT_EQ(field(want.line, "DATE"), date);
        EXPECT_EQ(field(want.line, "TIME"), time);
        EXPECT_EQ(field(want.line, "LINE"), "FAX");
        EXPECT_EQ(field(want.line, "NMBR"), want.number);
        EXPECT_EQ(field(want.line, "NAME"), want.name);
    }

    // no_log: the log is not sent.
    NcidClient quiet(port);
    quiet.send("HELLO: IDENT: quiet\nHELLO: CMD: no_log\n");
    auto quietStartup = quiet.until("300 ");
    ASSERT_EQ(quietStartup.size(), 4u);
    EXPECT_EQ(quietStartup[2], "251 Call log not sent");

    // A client that never reads, with a small window; the fourth client is one too many.
    NcidClient stuck(port, 1024);
    {
        NcidClient extra(port);
        auto refused = extra.line();
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->rfind("MSG: Too many clients", 0), 0u) << *refused;
        EXPECT_TRUE(extra.closed());
    }

    // Keep-alives, unknown lines, client jobs and gateway input change nothing.
    reader.send("\n\r\nFOO: bar\nCALL: ###DATE12081200...CALLIN...LINE1...NMBR1...NAMEx+++\n");
    reader.send("REQ: YO\n");
    EXPECT_EQ(reader.line(), "ACK: REQ YO");
    reader.send("REQ: clear\n");
    EXPECT_EQ(reader.line(), "400 Start of data requested");
    EXPECT_EQ(reader.line().value_or("").rfind("INFO: denied", 0), 0u);
    EXPECT_EQ(reader.line(), "410 End of data");

    // Long-named calls fill the stuck client's buffers; the readers get every call in time.
    size_t mark = service.lineCount();
    for (int i = 0; i < 24; ++i) {
        auto placed = std::chrono::steady_clock::now();
        // Numbers differ: the adapter's repeat of the same number would be taken for a resend.
        std::string number = "03999999" + std::to_string(10 + i);
        display.device().placeCall(kalvix3::sim::Call::withNumber(number));
        for (NcidClient *client : {&reader, &quiet}) {
            auto cid = client->line(scaled(3s));
            ASSERT_TRUE(cid) << "call " << i;
            EXPECT_EQ(cid->rfind("CID: *", 0), 0u) << *cid;
            EXPECT_EQ(field(*cid, "NMBR"), number);
            EXPECT_EQ(field(*cid, "NAME"), longName);
            EXPECT_LT(std::chrono::steady_clock::now() - placed, scaled(2s));
        }
    }
    EXPECT_TRUE(service.waitFor(std::regex("ncid: client .* dropped: it does not read"), 2s, mark));
    NcidClient next(port); // the dropped client's place is free again
    EXPECT_EQ(next.until("300 ").size(), 7u);

    // A line that goes away and comes back is told as a message.
    display.unplug();
    auto down = reader.line();
    ASSERT_TRUE(down) << logOf(service);
    EXPECT_EQ(down->rfind("MSG: line 0 (FAX) down", 0), 0u) << *down;
    EXPECT_EQ(field(*down, "LINE"), "FAX");
    display.plugIn();
    std::optional<std::string> up;
    while ((up = reader.line()) && up->find(" up***") == std::string::npos) {
    }
    ASSERT_TRUE(up);
    EXPECT_EQ(up->rfind("MSG: line 0 (FAX) up***DATE*", 0), 0u) << *up;

    quiet.send("GOODBYE\n");
    EXPECT_TRUE(quiet.closed());
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(scaled(10s)), 0);
}

TEST(NcidProtocol, CallLinesForEveryKindOfCaller) {
    struct Case {
        const char *number;
        const char *name;
        const char *label;
        const char *line;
    };
    const Case cases[] = {
        {"0312345678", "山田太郎", "店舗",
         "CID: *DATE*12082026*TIME*0912*LINE*店舗*NMBR*0312345678*MESG*NONE*NAME*山田太郎*"},
        {"0312345678", "", "FAX",
         "CID: *DATE*12082026*TIME*0912*LINE*FAX*NMBR*0312345678*MESG*NONE*NAME*NO NAME*"},
        {"P", "", "FAX", "CID: *DATE*12082026*TIME*0912*LINE*FAX*NMBR*PRIVATE*MESG*NONE*NAME*PRIVATE*"},
        {"O", "", "FAX",
         "CID: *DATE*12082026*TIME*0912*LINE*FAX*NMBR*OUT-OF-AREA*MESG*NONE*NAME*OUT-OF-AREA*"},
        {"C", "", "FAX",
         "CID: *DATE*12082026*TIME*0912*LINE*FAX*NMBR*PAYPHONE*MESG*NONE*NAME*PAYPHONE*"},
        {"S", "", "FAX",
         "CID: *DATE*12082026*TIME*0912*LINE*FAX*NMBR*NO-NUMBER*MESG*NONE*NAME*UNAVAILABLE*"},
        {"$", "", "FAX",
         "CID: *DATE*12082026*TIME*0912*LINE*FAX*NMBR*RING*MESG*NONE*NAME*No Caller ID*"},
        // A delimiter or a line end in a name or label cannot break the line apart.
        {"0312345678", "A*B\r\nC", "", "CID: *DATE*12082026*TIME*0912*LINE*-*NMBR*0312345678*MESG*NONE*NAME*A-B  C*"},
    };
    for (const Case &c : cases) {
        kalvix3d::Call call;
        call.timeUtc = "2026-12-08T00:12:00Z"; // 09:12 in Japan, that date
        call.utcOffsetMinutes = 540;
        call.number = c.number;
        call.name = c.name;
        call.lineLabel = c.label;
        EXPECT_EQ(net::ncidCallLine(call), std::string(c.line) + "\r\n");
    }
    kalvix3d::Call late;
    late.timeUtc = "2026-12-31T15:30:00Z"; // already the new year in Japan
    late.utcOffsetMinutes = 540;
    late.number = "0120000000";
    late.lineLabel = "1";
    EXPECT_EQ(net::ncidCallLine(late, "CIDLOG:"),
              "CIDLOG: *DATE*01012027*TIME*0030*LINE*1*NMBR*0120000000*MESG*NONE*NAME*NO NAME*\r\n");
    EXPECT_EQ(net::ncidGatewayCallLine(late),
              "CALL: ###DATE01010030...CALLIN...LINE1...NMBR0120000000...NAMENO NAME+++\r\n");
}

TEST(NcidProtocol, ClientLinesAndTheLineReader) {
    using Kind = net::ClientLineKind;
    const std::pair<const char *, Kind> cases[] = {
        {"", Kind::keepAlive},
        {"  ", Kind::keepAlive},
        {"HELLO: IDENT: client ncid 1.0", Kind::helloIdent},
        {"HELLO: CMD: no_log", Kind::helloNoLog},
        {"HELLO:CMD:no_log", Kind::helloNoLog},
        {"HELLO: CMD: something_else", Kind::helloOther},
        {"GOODBYE", Kind::goodbye},
        {"REQ: YO", Kind::requestYo},
        {"REQ: dial 0312345678", Kind::requestJob},
        {"CALL: ###DATE12081200...CALLIN...LINE1...NMBR1...NAMEx+++", Kind::gatewayInput},
        {"+MSG: hello", Kind::gatewayInput},
        {"MSG: a user message", Kind::gatewayInput},
        {"WHATEVER: comes next", Kind::unknown},
        {"random words", Kind::unknown},
    };
    for (const auto &[text, kind] : cases)
        EXPECT_EQ(net::parseClientLine(text).kind, kind) << text;
    EXPECT_EQ(net::parseClientLine("HELLO: IDENT: client ncid 1.0").argument, "client ncid 1.0");

    net::NcidLineReader reader(16);
    std::vector<std::string> lines;
    reader.feed("HEL", lines);
    reader.feed("LO\r\n\nREQ: YO\n", lines);
    reader.feed(std::string(40, 'x') + "\nafter\n", lines); // too long: skipped, next kept
    reader.feed("part", lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"HELLO", "", "REQ: YO", "after"}));
    EXPECT_EQ(reader.overlong(), 1u);
}

} // namespace
