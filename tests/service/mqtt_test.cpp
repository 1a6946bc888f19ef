// The MQTT output end to end: Debian's mosquitto broker on a free loopback port, two kalvix3d
// services of different sites publishing into it, and one subscriber that sees both. The broker
// is stopped and started again in the middle of a stream of calls: no call is lost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "driver.h"
#include "support/time_bounds.h"
#include "store/call_store.h"

namespace {

using namespace std::chrono_literals;
using kalvix3::testing::scaled;
using json = nlohmann::json;
using kalvix3d::driver::Adapter;
using kalvix3d::driver::Process;

const kalvix3d::driver::Event kConnected{{"event", "mqtt"}, {"state", "connected"}};
using kalvix3d::driver::TempDir;
using kalvix3d::driver::writeFile;

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Debian's broker with a configuration of its own; it keeps sessions across a restart.
class Broker {
public:
    // `extra`: more configuration (TLS, a password file) instead of anonymous access. "user
    // root" keeps a broker started by root from dropping to a user that cannot read the files.
    Broker(const std::string &dir, int port, const std::string &extra = "allow_anonymous true\n")
        : port(port) {
        config = dir + "/mosquitto.conf";
        writeFile(config, "listener " + std::to_string(port) + " 127.0.0.1\n" + extra +
                              "persistence true\npersistence_location " + dir +
                              "/\nlog_dest stderr\nuser root\n");
    }
    void start() {
        process = std::make_unique<Process>(MOSQUITTO_PROGRAM,
                                            std::vector<std::string>{"-c", config});
        for (int i = 0; i < 100 && !accepts(port); ++i)
            std::this_thread::sleep_for(50ms);
    }
    void stop() {
        process->signal(SIGTERM); // it saves the sessions and their queued messages
        process->wait(scaled(10s));
        process.reset();
    }

private:
    int port;
    std::string config;
    std::unique_ptr<Process> process;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained;
};

// A subscriber with a session the broker keeps (not clean), QoS 1, reconnecting by itself.
class Subscriber {
public:
    // With `tlsDir`: TLS with that folder's ca.crt, client.crt and client.key, user and password.
    explicit Subscriber(int port, const std::string &tlsDir = "") {
        mosquitto_lib_init();
        client = mosquitto_new("kalvix3-test-subscriber", false, this);
        if (!tlsDir.empty()) {
            mosquitto_tls_set(client, (tlsDir + "/ca.crt").c_str(), nullptr,
                              (tlsDir + "/client.crt").c_str(), (tlsDir + "/client.key").c_str(),
                              nullptr);
            mosquitto_username_pw_set(client, "kalvix3d", "secret");
        }
        mosquitto_connect_callback_set(client, [](mosquitto *m, void *, int result) {
            if (result == 0) {
                mosquitto_subscribe(m, nullptr, "kalvix3/#", 1);
                mosquitto_subscribe(m, nullptr, "homeassistant/device/#", 1);
            }
        });
        mosquitto_message_callback_set(client, [](mosquitto *, void *self,
                                                  const mosquitto_message *message) {
            auto *subscriber = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> hold(subscriber->lock);
            subscriber->messages.push_back(
                {message->topic,
                 std::string(static_cast<const char *>(message->payload),
                             static_cast<size_t>(message->payloadlen)),
                 message->retain});
        });
        mosquitto_reconnect_delay_set(client, 1, 1, false);
        mosquitto_connect(client, "127.0.0.1", port, 10);
        mosquitto_loop_start(client);
    }
    ~Subscriber() {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
    void publish(const std::string &topic, const std::string &payload) {
        mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, false);
    }
    std::vector<Message> on(const std::string &topic) {
        std::lock_guard<std::mutex> hold(lock);
        std::vector<Message> found;
        for (const Message &message : messages)
            if (message.topic == topic)
                found.push_back(message);
        return found;
    }
    // Waits until `done` holds for the messages so far.
    template <class Test> bool waitUntil(Test done, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (done())
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return done();
    }

private:
    mosquitto *client = nullptr;
    std::mutex lock;
    std::vector<Message> messages;
};

struct Site {
    std::string name;
    std::unique_ptr<Adapter> adapter;
    std::string database;
    std::unique_ptr<Process> service;
};

TEST(Mqtt, TwoSitesOneBrokerRestartedMidStreamNoCallLost) {
    TempDir dir("kalvix3d-mqtt");
    int port = freePort();
    Broker broker(dir.path(), port);
    broker.start();
    Subscriber subscriber(port);

    Site sites[2];
    const char *names[] = {"North", "South"};
    for (int s = 0; s < 2; ++s) {
        Site &site = sites[s];
        site.name = names[s];
        std::string home = dir.path() + "/" + site.name;
        std::filesystem::create_directory(home);
        site.adapter = std::make_unique<Adapter>(2, home + "/display");
        site.database = home + "/calls.db";
        writeFile(home + "/kalvix3d.toml",
                  "site = \"" + site.name + "\"\ndatabase = \"" + site.database + "\"\n"
                  "[mqtt]\nhost = \"127.0.0.1\"\nport = " + std::to_string(port) +
                      "\nring-seconds = 1\n"
                      "[[line]]\nkind = 2\nport = \"" + site.adapter->link() +
                      "\"\nlabel = \"Front desk\"\nimport-history = false\n");
        site.service = kalvix3d::driver::startService(
            {"--config", home + "/kalvix3d.toml"}, {"TMPDIR=" + home, "TZ=Asia/Tokyo"},
            KALVIX3D_PROGRAM);
    }
    for (Site &site : sites) {
        ASSERT_TRUE(site.service->waitForEvent(kConnected, scaled(10s)));
        ASSERT_TRUE(kalvix3d::driver::waitForLineUp(*site.service, 0, scaled(5s)));
    }

    // A stream of calls on both sites; the broker goes away after a third and comes back after
    // two thirds.
    const int kCalls = 24;
    for (int i = 0; i < kCalls; ++i) {
        if (i == kCalls / 3)
            broker.stop();
        if (i == 2 * kCalls / 3)
            broker.start();
        for (int s = 0; s < 2; ++s) {
            size_t mark = sites[s].service->eventCount();
            sites[s].adapter->device().placeCall(
                kalvix3::sim::Call::withNumber("0" + std::to_string(5 + s) + "0000000" +
                                               std::to_string(10 + i)));
            ASSERT_TRUE(kalvix3d::driver::waitForCall(*sites[s].service, 5s, mark));
        }
    }

    for (Site &site : sites) {
        SCOPED_TRACE(site.name);
        EXPECT_TRUE(site.service->waitFor(std::regex("mqtt: lost "), 0ms)) << "the broker went";
        std::string topic = "kalvix3/" + site.name + "/Front desk/call";
        kalvix3d::CallStore store(site.database);
        auto logged = store.callsAfter(0, 1000);
        ASSERT_EQ(logged.size(), static_cast<size_t>(kCalls));
        EXPECT_TRUE(subscriber.waitUntil(
            [&] {
                std::set<int64_t> seen;
                for (const Message &message : subscriber.on(topic))
                    seen.insert(json::parse(message.payload).value("id", int64_t{0}));
                return seen.size() == logged.size();
            },
            scaled(30s)))
            << "calls published: " << subscriber.on(topic).size() << " of " << logged.size();
        // In order, each with what the log holds (a resend may repeat one).
        std::vector<int64_t> order;
        for (const Message &message : subscriber.on(topic)) {
            json call = json::parse(message.payload);
            int64_t id = call["id"];
            if (!order.empty() && id <= order.back())
                continue;
            order.push_back(id);
            auto stored = store.call(id);
            ASSERT_TRUE(stored);
            EXPECT_EQ(call["number"], stored->number);
            EXPECT_EQ(call["time"], stored->timeUtc);
            EXPECT_EQ(call["site"], site.name);
            EXPECT_EQ(call["line"], "Front desk");
            EXPECT_EQ(call["event_type"], "call");
            EXPECT_FALSE(message.retained);
        }
        EXPECT_EQ(order.size(), logged.size()) << "calls out of order";

        auto status = subscriber.on("kalvix3/" + site.name + "/status");
        ASSERT_FALSE(status.empty());
        EXPECT_EQ(status.back().payload, "online");
        auto state = subscriber.on("kalvix3/" + site.name + "/Front desk/state");
        ASSERT_FALSE(state.empty());
        EXPECT_EQ(json::parse(state.back().payload)["state"], "up");
        EXPECT_FALSE(subscriber.on("kalvix3/" + site.name + "/Front desk/last_call").empty());
        auto ringing = subscriber.on("kalvix3/" + site.name + "/Front desk/ringing");
        EXPECT_TRUE(std::any_of(ringing.begin(), ringing.end(),
                                [](const Message &m) { return m.payload == "ON"; }));

        auto discovery = subscriber.on("homeassistant/device/kalvix3d_" + site.name + "/config");
        ASSERT_FALSE(discovery.empty());
        json config = json::parse(discovery.back().payload);
        std::multiset<std::string> platforms;
        for (auto &[id, component] : config["components"].items())
            platforms.insert(component["platform"].get<std::string>());
        EXPECT_EQ(platforms, (std::multiset<std::string>{"binary_sensor", "event", "sensor",
                                                          "sensor"}));
    }

    // Home Assistant comes online: the discovery is sent again.
    std::string northConfig = "homeassistant/device/kalvix3d_North/config";
    size_t before = subscriber.on(northConfig).size();
    subscriber.publish("homeassistant/status", "online");
    EXPECT_TRUE(subscriber.waitUntil([&] { return subscriber.on(northConfig).size() > before; },
                                     scaled(5s)));

    // A service that stops says it is offline.
    sites[0].service->signal(SIGTERM);
    EXPECT_EQ(sites[0].service->wait(scaled(10s)), 0);
    EXPECT_TRUE(subscriber.waitUntil(
        [&] {
            auto status = subscriber.on("kalvix3/North/status");
            return !status.empty() && status.back().payload == "offline";
        },
        scaled(5s)));
    sites[1].service->signal(SIGTERM);
    EXPECT_EQ(sites[1].service->wait(scaled(10s)), 0);
}

// A broker that wants TLS with a client certificate and a password: the service connects with
// what its configuration names (files relative to the configuration's folder), a wrong password
// is refused and said so.
TEST(Mqtt, TlsWithAClientCertificateAndAPassword) {
    TempDir dir("kalvix3d-mqtt-tls");
    const std::string tls = dir.path() + "/tls";
    std::filesystem::create_directory(tls);
    const std::string make =
        "cd '" + tls + "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 "
        "-subj '/CN=Kalvix3 test CA' && "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
        "-subj '/CN=127.0.0.1' -addext 'subjectAltName=IP:127.0.0.1' && "
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
        "-out server.crt -days 2 -copy_extensions copy && "
        "openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr "
        "-subj '/CN=kalvix3d' && "
        "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
        "-out client.crt -days 2 && "
        "mosquitto_passwd -c -b passwd kalvix3d secret";
    ASSERT_EQ(std::system(("(" + make + ") >/dev/null 2>&1").c_str()), 0) << make;
    int port = freePort();
    Broker broker(dir.path(), port,
                  "cafile " + tls + "/ca.crt\ncertfile " + tls + "/server.crt\nkeyfile " + tls +
                      "/server.key\nrequire_certificate true\nallow_anonymous false\n"
                      "password_file " + tls + "/passwd\n");
    broker.start();
    Subscriber subscriber(port, tls);

    Adapter display(2, dir.path() + "/display");
    auto configure = [&](const std::string &name, const std::string &password,
                         const std::string &device) {
        writeFile(dir.path() + "/" + name + ".toml",
                  "site = \"" + name + "\"\ndatabase = \"" + name + ".db\"\n"
                  "[mqtt]\nhost = \"127.0.0.1\"\nport = " + std::to_string(port) +
                      "\nusername = \"kalvix3d\"\npassword = \"" + password +
                      "\"\nca-file = \"tls/ca.crt\"\ncert-file = \"tls/client.crt\"\n"
                      "key-file = \"tls/client.key\"\n"
                      "[[line]]\nkind = 2\nport = \"" + device +
                      "\"\nlabel = \"A\"\nimport-history = false\n");
        return kalvix3d::driver::startService({"--config", dir.path() + "/" + name + ".toml"},
                                              {"TMPDIR=" + dir.path()}, KALVIX3D_PROGRAM);
    };
    auto good = configure("Secure", "secret", display.link());
    auto wrong = configure("Wrong", "guess", dir.path() + "/nothing");
    ASSERT_TRUE(good->waitForEvent(kConnected, scaled(10s)));
    ASSERT_TRUE(kalvix3d::driver::waitForLineUp(*good, 0, scaled(5s)));
    EXPECT_TRUE(wrong->waitFor(std::regex("mqtt: .* refused the connection: .*not authori"), scaled(10s)));

    display.device().placeCall(kalvix3::sim::Call::withNumber("0312345678"));
    EXPECT_TRUE(subscriber.waitUntil(
        [&] {
            auto calls = subscriber.on("kalvix3/Secure/A/call");
            return !calls.empty() && json::parse(calls.back().payload)["number"] == "0312345678";
        },
        scaled(10s)));
    for (auto *service : {good.get(), wrong.get()}) {
        service->signal(SIGTERM);
        EXPECT_EQ(service->wait(scaled(10s)), 0);
    }
}

} // namespace
