// The MQTT output: every call published as JSON to <prefix>/<site>/<line>/call (QoS 1), the last
// call retained on <prefix>/<site>/<line>/last_call, each line's state retained on .../state,
// "ringing" ON for a while after a call on .../ringing, the service's availability retained on
// <prefix>/<site>/status ("online", last will "offline"), and Home Assistant device discovery,
// sent again whenever Home Assistant announces itself online.
//
// The call log is the outbox: the id of the last call the broker acknowledged is kept in a file
// next to the database (<database>.mqtt-published). Calls are always read from the store after
// that id, in order, so calls heard while the broker is away, or while the service was stopped,
// are published when it is back, with their original times. Nothing is held in memory but a
// window of calls in flight.
//
// Threads: libmosquitto runs its own network thread (mosquitto_loop_start), which reconnects
// with back-off; its callbacks only post onto the event loop. Everything else runs on the loop.
// The Observer entry points may be called from any thread: they post and return.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>

#include "outputs/output.h"
#include "config/config.h"
#include "net/event_loop.h"
#include "store/call_store.h"

struct mosquitto;
struct mosquitto_message;

namespace kalvix3d::net {

// Topic level text: no '/', '+', '#' or control characters; never empty.
std::string topicLevel(const std::string &text);
// The call as published: event_type "call" (for Home Assistant's event entity) and its fields.
std::string mqttCallJson(const Call &call);

class MqttPublisher : public Output {
public:
    // Calls in flight to the broker at most; the rest wait in the store.
    static constexpr std::size_t kWindow = 100;

    MqttPublisher(EventLoop &loop, CallStore &store, const Config &config);
    ~MqttPublisher() override; // stop()
    MqttPublisher(const MqttPublisher &) = delete;
    MqttPublisher &operator=(const MqttPublisher &) = delete;

    // Starts connecting in the background. Throws std::runtime_error when the client cannot be
    // set up (TLS files that cannot be read, for one).
    void start() override;
    // Publishes "offline", disconnects and ends the network thread; after the loop has stopped.
    void stop();
    void stopAfterLoop() override { stop(); }

    void callAnnounced(const Call &call) override;
    void lineStateChanged(const LineStatus &status) override;

private:
    static void onConnect(mosquitto *, void *self, int result);
    static void onDisconnect(mosquitto *, void *self, int result);
    static void onPublish(mosquitto *, void *self, int messageId);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    void connected();
    void disconnected(int result);
    void acknowledged(int messageId);
    void pump();
    void watch();
    void ring(const Call &call);
    void publishLineState(const LineStatus &status);
    void publishDiscovery();
    bool publish(const std::string &topic, const std::string &payload, bool retain,
                 int *messageId = nullptr);
    void saveAcknowledged();
    std::string lineTopic(int slot, const std::string &label) const;

    struct InFlight {
        int messageId;
        std::int64_t callId;
        bool acked;
    };
    struct LineOut {
        std::string label;
        std::unique_ptr<boost::asio::steady_timer> ringTimer;
        LineStatus status;
        bool known = false;
    };

    EventLoop &loop;
    CallStore &store;
    const Config &config;
    MqttConfig mqtt;
    std::string base;        // <prefix>/<site>
    std::string statusTopic; // <prefix>/<site>/status
    std::string outboxPath;
    mosquitto *client = nullptr;
    bool running = false;
    bool isConnected = false;
    std::int64_t lastAcked = 0;  // persisted
    std::int64_t lastQueued = 0; // handed to the client library
    std::deque<InFlight> inFlight;
    std::map<int, LineOut> lines; // by slot
    std::unique_ptr<boost::asio::steady_timer> watchdog;
    std::int64_t watchedCallId = -1; // the oldest call in flight at the last look
    std::string brokerName;
};

} // namespace kalvix3d::net
