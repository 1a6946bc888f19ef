// kalvix3d-netbench: what the network outputs cost, each figure beside its floor measured in the
// same run. The outputs run in this process exactly as in kalvix3d (the same event loop, store,
// announcer, NCID server and MQTT publisher); a call is committed to a real SQLite log and
// announced, as the recorder does once the library's notification has handed it over. Debian's
// mosquitto broker is started on a free loopback port.
//
//   kalvix3d-netbench [--rows FILE] [--calls N] [--clients N] [--replay N]
//   kalvix3d-netbench --faults [--cycles N]   the faults of docs/RELIABILITY.md, printed
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <mosquitto.h>

#include "announcer.h"
#include "config/config.h"
#include "driver.h"
#include "net/event_loop.h"
#include "net/mqtt_publisher.h"
#include "net/ncid_protocol.h"
#include "net/ncid_server.h"
#include "store/call_store.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace kalvix3d;

const char kSection[] = "The service's network outputs (NCID server, MQTT; one process)";

struct Options {
    std::string rows;
    int calls = 200;
    int clients = 1000;
    int replay = 10000;
    bool faults = false;
    int cycles = 5000;
};

std::vector<std::string> output;

void row(const std::string &what, const std::string &figure, const std::string &floor,
         const std::string &target, bool met) {
    std::cout << what << ": " << figure << " | floor " << floor << " (" << (met ? "met" : "MISSED")
              << ")" << std::endl;
    output.push_back(std::string(kSection) + "\t" + what + "\t" + figure + "\t" + floor + "\t" +
                     target + "\t" + (met ? "met" : "MISSED"));
}

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value < 1 ? "%.3f ms" : "%.2f ms", value);
    return text;
}
double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
double worst(const std::vector<double> &v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

long long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6));
    return 0;
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Reads from fd until `text` has arrived (or 10 s passed). True when it came.
bool readUntil(int fd, const std::string &text, std::string &buffer) {
    auto deadline = Clock::now() + 10s;
    while (buffer.find(text) == std::string::npos) {
        pollfd wait{fd, POLLIN, 0};
        if (Clock::now() > deadline || poll(&wait, 1, 100) < 0)
            return false;
        if (!(wait.revents & POLLIN))
            continue;
        char bytes[65536];
        ssize_t got = ::read(fd, bytes, sizeof bytes);
        if (got <= 0)
            return false;
        buffer.append(bytes, static_cast<size_t>(got));
    }
    return true;
}

// A connected pair of loopback sockets: the floor of any TCP delivery.
std::pair<int, int> barePair() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener, reinterpret_cast<sockaddr *>(&address), size);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
    int client = connectTo(ntohs(address.sin_port));
    int server = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::close(listener);
    return {server, client};
}

Call sampleCall(int i) {
    Call call;
    call.timeUtc = isoFromSeconds(1796774400 + i);
    call.utcOffsetMinutes = 540;
    call.site = "bench";
    call.lineLabel = "A";
    call.lineSlot = 0;
    call.kind = 2;
    call.number = "03" + std::to_string(10000000 + i);
    call.name = "Yamada Taro";
    return call;
}

struct Service {
    driver::TempDir dir{"kalvix3d-netbench"};
    Config config;
    std::unique_ptr<CallStore> store;
    net::EventLoop loop;
    Announcer announcer;
    std::unique_ptr<net::NcidServer> ncid;
    std::unique_ptr<net::MqttPublisher> mqtt;

    Service(int replay, int maxClients, int mqttPort) {
        config.site = "bench";
        config.database = dir.path() + "/calls.db";
        LineConfig line;
        line.label = "A";
        line.kind = 2;
        config.lines.push_back(line);
        config.ncid.enabled = true;
        config.ncid.port = 0;
        config.ncid.replay = replay;
        config.ncid.maxClients = maxClients;
        config.mqtt.enabled = mqttPort > 0;
        config.mqtt.host = "127.0.0.1";
        config.mqtt.port = mqttPort;
        config.mqtt.clientId = "kalvix3d-netbench";
        store = std::make_unique<CallStore>(config.database);
        loop.start();
        ncid = std::make_unique<net::NcidServer>(loop, *store, config.ncid);
        ncid->start();
        announcer.subscribe(ncid.get());
        if (mqttPort > 0) {
            mqtt = std::make_unique<net::MqttPublisher>(loop, *store, config);
            mqtt->start();
            announcer.subscribe(mqtt.get());
        }
    }
    ~Service() {
        announcer.unsubscribe(ncid.get());
        if (mqtt)
            announcer.unsubscribe(mqtt.get());
        loop.post([this] { ncid->close(); });
        loop.stop();
        if (mqtt)
            mqtt->stop();
    }
    // What the recorder does with a call handed over by the library's notification.
    // Returns when the announcement began (after the commit).
    Clock::time_point hear(const Call &call) {
        Call stored = store->addCall(call);
        auto announced = Clock::now();
        announcer.announceCall(stored);
        return announced;
    }
};

// An NCID client that has finished its startup.
int ncidClient(int port) {
    int fd = connectTo(port);
    if (fd < 0)
        return -1;
    std::string hello = "HELLO: IDENT: bench\nHELLO: CMD: no_log\n\n";
    (void)!::write(fd, hello.data(), hello.size());
    std::string buffer;
    if (!readUntil(fd, "300 End of connection startup\r\n", buffer)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void ncidLatency(const Options &options) {
    Service service(0, 10, 0);
    int fd = ncidClient(service.ncid->port());
    std::vector<double> times, fromAnnouncement, floor;
    for (int i = 0; i < options.calls; ++i) {
        std::string buffer;
        auto began = Clock::now();
        auto announced = service.hear(sampleCall(i));
        if (readUntil(fd, "\r\n", buffer)) {
            times.push_back(msBetween(began, Clock::now()));
            fromAnnouncement.push_back(msBetween(announced, Clock::now()));
        }
        std::this_thread::sleep_for(2ms);
    }
    ::close(fd);
    // Floor: the same line over a bare loopback socket, written and read.
    auto [server, client] = barePair();
    std::string line = net::ncidCallLine(sampleCall(0));
    for (int i = 0; i < options.calls; ++i) {
        std::string buffer;
        auto began = Clock::now();
        (void)!::write(server, line.data(), line.size());
        if (readUntil(client, "\r\n", buffer))
            floor.push_back(msBetween(began, Clock::now()));
        std::this_thread::sleep_for(2ms);
    }
    ::close(server);
    ::close(client);
    row("NCID: call handed over, committed and announced, until a client has its CID: line, "
        "median (" + std::to_string(times.size()) + " calls)",
        ms(median(times)), ms(median(floor)) + " (the line over a bare loopback socket)",
        "< 10 ms", median(times) < 10);
    row("NCID: the same, worst", ms(worst(times)), ms(worst(floor)), "< 100 ms",
        worst(times) < 100);
    row("NCID: from the announcement (the commit done) until the client has it, median / worst",
        ms(median(fromAnnouncement)) + " / " + ms(worst(fromAnnouncement)),
        ms(median(floor)) + " / " + ms(worst(floor)), "< 5 ms / < 50 ms",
        median(fromAnnouncement) < 5 && worst(fromAnnouncement) < 50);
}

void ncidManyClients(const Options &options) {
    Service service(0, options.clients + 10, 0);
    long long before = residentKiB();
    std::vector<int> fds;
    for (int i = 0; i < options.clients; ++i) {
        int fd = ncidClient(service.ncid->port());
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(200ms);
    long long after = residentKiB();
    double perClient = fds.empty() ? 0 : double(after - before) / double(fds.size());

    auto lastOfAll = [&](const std::vector<int> &readers, auto send) {
        int epoll = epoll_create1(0);
        for (int fd : readers) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
        }
        auto began = Clock::now();
        send();
        size_t done = 0;
        std::vector<epoll_event> events(256);
        while (done < readers.size() && Clock::now() - began < 10s) {
            int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
            for (int i = 0; i < ready; ++i) {
                char bytes[4096];
                if (::read(events[i].data.fd, bytes, sizeof bytes) > 0) {
                    epoll_ctl(epoll, EPOLL_CTL_DEL, events[i].data.fd, nullptr);
                    ++done;
                }
            }
        }
        ::close(epoll);
        return done == readers.size() ? msBetween(began, Clock::now()) : -1.0;
    };
    std::vector<double> times;
    for (int round = 0; round < 5; ++round)
        times.push_back(lastOfAll(fds, [&] { service.hear(sampleCall(round)); }));
    for (int fd : fds)
        ::close(fd);

    // Floor: the same line written to as many bare loopback sockets by one thread.
    std::vector<std::pair<int, int>> pairs;
    for (size_t i = 0; i < fds.size(); ++i)
        pairs.push_back(barePair());
    std::vector<int> readers;
    for (auto &pair : pairs)
        readers.push_back(pair.second);
    std::string line = net::ncidCallLine(sampleCall(0));
    std::vector<double> floor;
    for (int round = 0; round < 5; ++round)
        floor.push_back(lastOfAll(readers, [&] {
            for (auto &pair : pairs)
                (void)!::write(pair.first, line.data(), line.size());
        }));
    for (auto &pair : pairs) {
        ::close(pair.first);
        ::close(pair.second);
    }
    row("NCID: " + std::to_string(fds.size()) +
            " clients connected, call announced until the last has it, median of 5",
        ms(median(times)),
        ms(median(floor)) + " (the line written to as many bare sockets by one thread)",
        "< 100 ms", median(times) >= 0 && median(times) < 100);
    char memory[64];
    std::snprintf(memory, sizeof memory, "%.1f KiB", perClient);
    row("NCID: memory per connected client (resident size, this process)", memory,
        "kernel socket buffers not counted; the send buffer is fixed at the client buffer, at "
        "most 64 KiB",
        "< 64 KiB", perClient < 64);
}

void ncidReplay(const Options &options) {
    Service service(options.replay, 10, 0);
    std::vector<Call> calls;
    for (int i = 0; i < options.replay; ++i)
        calls.push_back(sampleCall(i));
    service.store->addCalls(calls);
    std::vector<double> times;
    std::string received;
    for (int round = 0; round < 5; ++round) {
        auto began = Clock::now();
        int fd = connectTo(service.ncid->port());
        std::string hello = "HELLO: IDENT: bench\n\n"; // the empty line ends the hellos
        (void)!::write(fd, hello.data(), hello.size());
        std::string buffer;
        if (readUntil(fd, "300 End of connection startup\r\n", buffer))
            times.push_back(msBetween(began, Clock::now()));
        received = buffer;
        ::close(fd);
    }
    // Floor: the same bytes over a bare loopback socket.
    std::vector<double> floor;
    for (int round = 0; round < 5; ++round) {
        auto [server, client] = barePair();
        auto began = Clock::now();
        std::thread writer([&, server = server] {
            (void)!::write(server, received.data(), received.size());
        });
        std::string buffer;
        readUntil(client, "300 End of connection startup\r\n", buffer);
        floor.push_back(msBetween(began, Clock::now()));
        writer.join();
        ::close(server);
        ::close(client);
    }
    row("NCID: log replay of " + std::to_string(options.replay) + " calls (" +
            std::to_string(received.size() / 1024) +
            " KiB) to a new client, connect until 300, median of 5",
        ms(median(times)), ms(median(floor)) + " (the same bytes over a bare loopback socket)",
        "< 1000 ms", !times.empty() && median(times) < 1000);
}

// ---- MQTT --------------------------------------------------------------------------------------

struct Receiver {
    std::mutex lock;
    std::condition_variable arrived;
    int count = 0;
    Clock::time_point last;
    mosquitto *client = nullptr;

    explicit Receiver(int port) {
        client = mosquitto_new("netbench-receiver", true, this);
        mosquitto_message_callback_set(client, [](mosquitto *, void *self,
                                                  const mosquitto_message *message) {
            auto *receiver = static_cast<Receiver *>(self);
            std::string topic = message->topic;
            if (topic.size() < 5 || topic.compare(topic.size() - 5, 5, "/call") != 0)
                return;
            std::lock_guard<std::mutex> hold(receiver->lock);
            ++receiver->count;
            receiver->last = Clock::now();
            receiver->arrived.notify_all();
        });
        mosquitto_connect(client, "127.0.0.1", port, 30);
        mosquitto_subscribe(client, nullptr, "kalvix3/+/+/call", 1);
        mosquitto_subscribe(client, nullptr, "floor/+/+/call", 1);
        mosquitto_loop_start(client);
    }
    ~Receiver() {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
    // The time the next message arrives after `began`, or -1.
    double waitNext(int before, Clock::time_point began) {
        std::unique_lock<std::mutex> hold(lock);
        if (!arrived.wait_for(hold, 5s, [&] { return count > before; }))
            return -1;
        return msBetween(began, last);
    }
    int seen() {
        std::lock_guard<std::mutex> hold(lock);
        return count;
    }
};

void mqttLatency(const Options &options) {
    driver::TempDir dir("kalvix3d-netbench-broker");
    int port = 0;
    {
        auto [a, b] = barePair(); // borrow a free port number
        sockaddr_in address{};
        socklen_t size = sizeof address;
        getsockname(a, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port) + 1;
        ::close(a);
        ::close(b);
    }
    driver::writeFile(dir.path() + "/mosquitto.conf",
                      "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n");
    driver::Process broker(MOSQUITTO_PROGRAM, {"-c", dir.path() + "/mosquitto.conf"});
    if (!broker.waitFor(std::regex("running"), 5s)) {
        std::cerr << "netbench: mosquitto did not start\n";
        return;
    }
    mosquitto_lib_init();
    Receiver receiver(port);
    Service service(0, 10, port);
    std::this_thread::sleep_for(500ms); // both connected and subscribed
    std::vector<double> times, fromAnnouncement, floor;
    for (int i = 0; i < options.calls; ++i) {
        int before = receiver.seen();
        auto began = Clock::now();
        auto announced = service.hear(sampleCall(i));
        double took = receiver.waitNext(before, began);
        if (took >= 0) {
            times.push_back(took);
            fromAnnouncement.push_back(took - msBetween(began, announced));
        }
        std::this_thread::sleep_for(2ms);
    }
    // Floor: the same payload published by a bare client at QoS 1 through the same broker.
    mosquitto *bare = mosquitto_new("netbench-floor", true, nullptr);
    mosquitto_connect(bare, "127.0.0.1", port, 30);
    mosquitto_loop_start(bare);
    std::string payload = net::mqttCallJson(sampleCall(0));
    for (int i = 0; i < options.calls; ++i) {
        int before = receiver.seen();
        auto began = Clock::now();
        mosquitto_publish(bare, nullptr, "floor/bench/A/call", static_cast<int>(payload.size()),
                          payload.data(), 1, false);
        double took = receiver.waitNext(before, began);
        if (took >= 0)
            floor.push_back(took);
        std::this_thread::sleep_for(2ms);
    }
    mosquitto_disconnect(bare);
    mosquitto_loop_stop(bare, false);
    mosquitto_destroy(bare);
    row("MQTT: call handed over, committed and announced, until a subscriber has it (QoS 1, "
        "mosquitto), median (" +
            std::to_string(times.size()) + " calls)",
        ms(median(times)),
        ms(median(floor)) + " (the same payload published by a bare client, same broker)",
        "< 10 ms", !times.empty() && median(times) < 10);
    row("MQTT: the same, worst", ms(worst(times)), ms(worst(floor)), "< 100 ms",
        !times.empty() && worst(times) < 100);
    row("MQTT: from the announcement (the commit done) until the subscriber has it, median / "
        "worst",
        ms(median(fromAnnouncement)) + " / " + ms(worst(fromAnnouncement)),
        ms(median(floor)) + " / " + ms(worst(floor)), "< 5 ms / < 50 ms",
        median(fromAnnouncement) < 5 && worst(fromAnnouncement) < 50);
    broker.signal(SIGTERM);
    broker.wait(5s);
}

// ---- Faults: hostile clients and a killed broker ---------------------------------------------

// A client that finished its startup still gets a call: the server is serving.
bool stillServes(Service &service, int call) {
    int fd = ncidClient(service.ncid->port());
    if (fd < 0)
        return false;
    service.hear(sampleCall(call));
    std::string buffer;
    bool got = readUntil(fd, "CID: ", buffer) && readUntil(fd, "\r\n", buffer);
    ::close(fd);
    return got;
}

void clientFaults(const Options &options) {
    Service service(50, 2000, 0);
    std::vector<Call> calls;
    for (int i = 0; i < 50; ++i)
        calls.push_back(sampleCall(i));
    service.store->addCalls(calls);
    std::mt19937 random(12345);
    int startups = 0;
    auto cycle = [&](int i) {
        int fd = connectTo(service.ncid->port());
        if (fd < 0)
            return false;
        switch (i % 4) {
        case 0: // connects and vanishes at once
            break;
        case 1: { // takes the whole startup, then leaves
            std::string buffer;
            (void)!::write(fd, "\n", 1);
            startups += readUntil(fd, "300 End", buffer);
            break;
        }
        case 2: { // sends garbage: random bytes, some newlines, then vanishes mid-line
            std::string junk(1 + random() % 4096, '\0');
            for (char &c : junk)
                c = static_cast<char>(random() % 8 == 0 ? '\n' : random() % 256);
            (void)!::write(fd, junk.data(), junk.size());
            break;
        }
        case 3: { // one line far longer than any line may be
            std::string big(256 * 1024, 'X');
            (void)!::write(fd, big.data(), big.size());
            break;
        }
        }
        ::close(fd);
        return true;
    };
    for (int i = 0; i < 400; ++i) // warm-up: allocator pools, the store's caches
        cycle(i);
    startups = 0;
    std::this_thread::sleep_for(300ms);
    long long before = residentKiB();
    auto began = Clock::now();
    int done = 0;
    for (int i = 0; i < options.cycles; ++i)
        done += cycle(i);
    double seconds = msBetween(began, Clock::now()) / 1000;
    std::this_thread::sleep_for(500ms);
    long long after = residentKiB();
    bool serving = stillServes(service, 1000);
    std::printf("clients: %d connect/disconnect cycles in %.1f s (vanish at once, full startup "
                "of a 50-call log (%d completed), %s, 256 KiB without a line end): resident %lld KiB before, "
                "%lld KiB after (%+lld KiB); still serving: %s\n",
                done, seconds, startups, "random bytes", before, after, after - before,
                serving ? "yes" : "NO");
}

void brokerKilled(const Options &options) {
    driver::TempDir dir("kalvix3d-netbench-kill");
    int port = 0;
    {
        auto [a, b] = barePair();
        sockaddr_in address{};
        socklen_t size = sizeof address;
        getsockname(a, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port) + 2;
        ::close(a);
        ::close(b);
    }
    std::string conf = dir.path() + "/mosquitto.conf";
    driver::writeFile(conf, "listener " + std::to_string(port) + " 127.0.0.1\n"
                            "allow_anonymous true\n");
    auto broker = std::make_unique<driver::Process>(MOSQUITTO_PROGRAM,
                                                    std::vector<std::string>{"-c", conf});
    broker->waitFor(std::regex("running"), 5s);
    mosquitto_lib_init();
    Service service(0, 10, port);
    std::this_thread::sleep_for(500ms);
    const int calls = std::max(90, options.calls);
    long long before = residentKiB();
    int64_t lastId = 0;
    for (int i = 0; i < calls; ++i) {
        if (i == calls / 3) {
            broker->signal(SIGKILL);
            broker->wait(5s);
        }
        if (i == 2 * calls / 3) {
            broker = std::make_unique<driver::Process>(MOSQUITTO_PROGRAM,
                                                       std::vector<std::string>{"-c", conf});
            broker->waitFor(std::regex("running"), 5s);
        }
        Call stored = service.store->addCall(sampleCall(i));
        lastId = stored.id;
        service.announcer.announceCall(stored);
        std::this_thread::sleep_for(20ms);
    }
    // Every call is acknowledged by the broker in the end: the outbox file reaches the last id.
    auto began = Clock::now();
    long long acked = 0;
    while (Clock::now() - began < 60s) {
        std::ifstream in(service.config.database + ".mqtt-published");
        in >> acked;
        if (acked >= lastId)
            break;
        std::this_thread::sleep_for(100ms);
    }
    long long after = residentKiB();
    std::printf("broker killed (SIGKILL) after %d of %d calls and started again after %d: the "
                "broker acknowledged every call up to %lld of %lld, %.1f s after the last; "
                "resident %lld KiB before, %lld KiB after\n",
                calls / 3, calls, 2 * calls / 3, acked, static_cast<long long>(lastId),
                msBetween(began, Clock::now()) / 1000, before, after);

    // A long absence: the broker away while many calls are heard, then back.
    broker->signal(SIGKILL);
    broker->wait(5s);
    const int backlog = 5000;
    std::vector<Call> heard;
    for (int i = 0; i < backlog; ++i)
        heard.push_back(sampleCall(calls + i));
    service.store->addCalls(heard);
    for (const Call &call : heard) // announced as the recorder would, the broker still away
        service.announcer.announceCall(call);
    lastId = heard.back().id;
    std::this_thread::sleep_for(1s);
    long long duringAbsence = residentKiB();
    broker = std::make_unique<driver::Process>(MOSQUITTO_PROGRAM,
                                               std::vector<std::string>{"-c", conf});
    broker->waitFor(std::regex("running"), 5s);
    began = Clock::now();
    while (Clock::now() - began < 120s) {
        std::ifstream in(service.config.database + ".mqtt-published");
        in >> acked;
        if (acked >= lastId)
            break;
        std::this_thread::sleep_for(100ms);
    }
    std::printf("broker away while %d calls were heard, then started again: acknowledged up to "
                "%lld of %lld, %.1f s after it was back; resident %lld KiB during the absence, "
                "%lld KiB after\n",
                backlog, acked, static_cast<long long>(lastId),
                msBetween(began, Clock::now()) / 1000, duringAbsence, residentKiB());
    broker->signal(SIGTERM);
    broker->wait(5s);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool value = i + 1 < argc;
        if (arg == "--faults")
            options.faults = true;
        else if (arg == "--rows" && value)
            options.rows = argv[++i];
        else if (arg == "--calls" && value)
            options.calls = std::stoi(argv[++i]);
        else if (arg == "--clients" && value)
            options.clients = std::stoi(argv[++i]);
        else if (arg == "--replay" && value)
            options.replay = std::stoi(argv[++i]);
        else if (arg == "--cycles" && value)
            options.cycles = std::stoi(argv[++i]);
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (options.faults) {
        std::signal(SIGPIPE, SIG_IGN);
        clientFaults(options);
        brokerKilled(options);
        return 0;
    }
    ncidLatency(options);
    mqttLatency(options);
    ncidManyClients(options);
    ncidReplay(options);
    if (!options.rows.empty()) {
        std::ofstream out(options.rows);
        for (const std::string &line : output)
            out << line << "\n";
    }
    return 0;
}
