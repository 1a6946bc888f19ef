#include "net/mqtt_publisher.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "log.h"
#include "outputs/status_stream.h"
#include "platform/files.h"

#ifndef KALVIX3D_VERSION
#define KALVIX3D_VERSION "0"
#endif

namespace kalvix3d::net {

using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

constexpr int kQos = 1;

// An identifier Home Assistant accepts ([a-zA-Z0-9_-]); other bytes become '_' and a short hash
// of the whole text keeps two different names apart.
std::string identifier(const std::string &text) {
    std::string out;
    bool changed = false;
    std::uint32_t hash = 2166136261u;
    for (unsigned char byte : text) {
        hash = (hash ^ byte) * 16777619u;
        bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                     (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
        out.push_back(plain ? static_cast<char>(byte) : '_');
        changed = changed || !plain;
    }
    if (changed || out.empty()) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "_%08x", hash);
        out += suffix;
    }
    return out;
}

} // namespace

std::string topicLevel(const std::string &text) {
    std::string out;
    for (unsigned char byte : text)
        out.push_back(byte == '/' || byte == '+' || byte == '#' || byte < 0x20 || byte == 0x7f
                          ? '_'
                          : static_cast<char>(byte));
    return out.empty() ? "_" : out;
}

std::string mqttCallJson(const Call &call) {
    json body = {
        {"event_type", "call"},
        {"id", call.id},
        {"number", call.number},
        {"reason", call.reason},
        {"name", call.name},
        {"line", call.lineLabel},
        {"slot", call.lineSlot},
        {"kind", call.kind},
        {"site", call.site},
        {"time", call.timeUtc},
        {"local_time", localTimeOf(call)},
        {"origin", originName(call.origin)},
        {"formatted", call.formatted},
        {"type", numberKindWords(call.numberKind).key},
        {"area", call.area},
    };
    // The store keeps UTF-8; anything else is replaced rather than refused.
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

MqttPublisher::MqttPublisher(EventLoop &loop, CallStore &store, const Config &config)
    : loop(loop), store(store), config(config), mqtt(config.mqtt),
      base(mqtt.topicPrefix + "/" + topicLevel(config.site)), statusTopic(base + "/status"),
      outboxPath(config.database + ".mqtt-published"),
      brokerName(mqtt.host + ":" + std::to_string(mqtt.port)) {
    for (const LineConfig &line : config.lines) {
        LineOut &out = lines[line.slot];
        out.label = line.label;
        out.ringTimer = std::make_unique<boost::asio::steady_timer>(loop.context());
        out.status.slot = line.slot;
        out.status.label = line.label;
        out.status.kind = line.kind;
    }
}

MqttPublisher::~MqttPublisher() { stop(); }

std::string MqttPublisher::lineTopic(int slot, const std::string &label) const {
    auto found = lines.find(slot);
    return base + "/" + topicLevel(found != lines.end() ? found->second.label : label);
}

void MqttPublisher::start() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });

    // Where publishing resumes: after the last call the broker took. The first time, after the
    // newest call already in the log (the history is not sent again).
    std::ifstream saved(outboxPath);
    long long id = 0;
    if (saved >> id && id >= 0) {
        lastAcked = id;
    } else {
        lastAcked = store.newestCallId();
        saveAcknowledged();
    }
    lastQueued = lastAcked;

    client = mosquitto_new(mqtt.clientId.c_str(), true, this);
    if (!client)
        throw std::runtime_error("cannot create the MQTT client");
    auto fail = [this](const std::string &what, int result) {
        mosquitto_destroy(client);
        client = nullptr;
        throw std::runtime_error(what + ": " + mosquitto_strerror(result));
    };
    int result = MOSQ_ERR_SUCCESS;
    mosquitto_connect_callback_set(client, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(client, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(client, &MqttPublisher::onPublish);
    mosquitto_message_callback_set(client, &MqttPublisher::onMessage);
    result = mosquitto_will_set(client, statusTopic.c_str(), 7, "offline", kQos, true);
    if (result != MOSQ_ERR_SUCCESS)
        fail("the last will cannot be set", result);
    if (!mqtt.username.empty()) {
        result = mosquitto_username_pw_set(client, mqtt.username.c_str(),
                                           mqtt.password.empty() ? nullptr : mqtt.password.c_str());
        if (result != MOSQ_ERR_SUCCESS)
            fail("the user name cannot be set", result);
    }
    if (!mqtt.caFile.empty()) {
        result = mosquitto_tls_set(client, mqtt.caFile.c_str(), nullptr,
                                   mqtt.certFile.empty() ? nullptr : mqtt.certFile.c_str(),
                                   mqtt.keyFile.empty() ? nullptr : mqtt.keyFile.c_str(), nullptr);
        if (result != MOSQ_ERR_SUCCESS)
            fail("TLS cannot be set up (ca-file " + mqtt.caFile + ")", result);
    }
    mosquitto_reconnect_delay_set(client, 1, 30, true);
    result = mosquitto_connect_async(client, mqtt.host.c_str(), mqtt.port, mqtt.keepAlive);
    if (result != MOSQ_ERR_SUCCESS)
        logLine(Priority::warning, "mqtt: " + brokerName + ": " + mosquitto_strerror(result) +
                                       "; trying again in the background");
    result = mosquitto_loop_start(client);
    if (result != MOSQ_ERR_SUCCESS)
        fail("the MQTT network thread cannot start", result);
    running = true;
    watchdog = std::make_unique<boost::asio::steady_timer>(loop.context());
    loop.post([this] { watch(); });
    logLine(Priority::info, "mqtt: publishing to " + brokerName + " under " + base +
                                " (from call " + std::to_string(lastAcked) + " on)");
}

void MqttPublisher::stop() {
    if (!client)
        return;
    if (running) {
        // The will is for a service that vanishes; one that stops says so itself.
        mosquitto_publish(client, nullptr, statusTopic.c_str(), 7, "offline", kQos, true);
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        running = false;
    }
    mosquitto_destroy(client);
    client = nullptr;
}

// ---- From the network thread: post and return --------------------------------------------------

void MqttPublisher::onConnect(mosquitto *, void *self, int result) {
    auto *publisher = static_cast<MqttPublisher *>(self);
    publisher->loop.post([publisher, result] {
        if (result == 0) {
            publisher->connected();
        } else {
            logLine(Priority::error, "mqtt: " + publisher->brokerName + " refused the connection: " +
                                         mosquitto_connack_string(result));
            status::report({{"event", "mqtt"}, {"state", "refused"}});
        }
    });
}

void MqttPublisher::onDisconnect(mosquitto *, void *self, int result) {
    auto *publisher = static_cast<MqttPublisher *>(self);
    publisher->loop.post([publisher, result] { publisher->disconnected(result); });
}

void MqttPublisher::onPublish(mosquitto *, void *self, int messageId) {
    auto *publisher = static_cast<MqttPublisher *>(self);
    publisher->loop.post([publisher, messageId] { publisher->acknowledged(messageId); });
}

void MqttPublisher::onMessage(mosquitto *, void *self, const mosquitto_message *message) {
    auto *publisher = static_cast<MqttPublisher *>(self);
    std::string payload(static_cast<const char *>(message->payload),
                        static_cast<std::size_t>(message->payloadlen));
    if (payload == "online") // Home Assistant has (re)started: it needs the discovery again
        publisher->loop.post([publisher] { publisher->publishDiscovery(); });
}

// ---- On the loop ------------------------------------------------------------------------------

void MqttPublisher::connected() {
    if (!client)
        return;
    isConnected = true;
    logLine(Priority::info, "mqtt: connected to " + brokerName);
    status::report({{"event", "mqtt"}, {"state", "connected"}});
    publish(statusTopic, "online", true);
    if (mqtt.discovery) {
        std::string haStatus = mqtt.discoveryPrefix + "/status";
        mosquitto_subscribe(client, nullptr, haStatus.c_str(), kQos);
        publishDiscovery();
    }
    for (auto &[slot, out] : lines) {
        if (out.known)
            publishLineState(out.status);
        out.ringTimer->cancel();
        publish(lineTopic(slot, out.label) + "/ringing", "OFF", true);
    }
    pump();
}

void MqttPublisher::disconnected(int result) {
    if (!isConnected)
        return;
    isConnected = false;
    if (result != 0)
        logLine(Priority::warning, "mqtt: lost " + brokerName + " (" + mosquitto_strerror(result) +
                                       "); calls wait in the call log; reconnecting");
    status::report({{"event", "mqtt"}, {"state", "lost"}});
}

void MqttPublisher::acknowledged(int messageId) {
    for (InFlight &entry : inFlight)
        if (entry.messageId == messageId)
            entry.acked = true;
    std::int64_t before = lastAcked;
    while (!inFlight.empty() && inFlight.front().acked) {
        lastAcked = inFlight.front().callId;
        inFlight.pop_front();
    }
    if (lastAcked != before)
        saveAcknowledged();
    pump();
}

void MqttPublisher::pump() {
    if (!client || !isConnected || inFlight.size() >= kWindow)
        return;
    std::vector<Call> calls;
    try {
        calls = store.callsAfter(lastQueued, static_cast<int>(kWindow - inFlight.size()));
    } catch (const std::exception &error) {
        logLine(Priority::warning, std::string("mqtt: the call log cannot be read: ") +
                                       error.what());
        return;
    }
    for (const Call &call : calls) {
        std::string topic = lineTopic(call.lineSlot, call.lineLabel);
        std::string body = mqttCallJson(call);
        int messageId = 0;
        if (!publish(topic + "/call", body, false, &messageId))
            return; // tried again on the next acknowledgement or connection
        publish(topic + "/last_call", body, true);
        inFlight.push_back({messageId, call.id, false});
        lastQueued = call.id;
    }
}

// The library sends a QoS 1 message again after a reconnection until the broker takes it. Should
// an acknowledgement still never come, the window would stay full: a call that has waited for one
// over two looks while connected is sent again from the log, with those after it.
void MqttPublisher::watch() {
    if (!watchdog)
        return;
    if (isConnected && !inFlight.empty()) {
        if (inFlight.front().callId == watchedCallId) {
            logLine(Priority::warning, "mqtt: call " + std::to_string(watchedCallId) +
                                           " was not acknowledged in time; sending again from "
                                           "the call log");
            inFlight.clear();
            lastQueued = lastAcked;
            pump();
        }
        watchedCallId = inFlight.empty() ? -1 : inFlight.front().callId;
    } else {
        watchedCallId = -1;
    }
    watchdog->expires_after(30s);
    watchdog->async_wait([this](boost::system::error_code error) {
        if (!error)
            watch();
    });
}

bool MqttPublisher::publish(const std::string &topic, const std::string &payload, bool retain,
                            int *messageId) {
    int result = mosquitto_publish(client, messageId, topic.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), kQos, retain);
    // Not connected: the library keeps a QoS 1 message and sends it once it is back.
    if (result == MOSQ_ERR_SUCCESS || result == MOSQ_ERR_NO_CONN)
        return true;
    logLine(Priority::warning, "mqtt: cannot publish to " + topic + ": " +
                                   mosquitto_strerror(result));
    return false;
}

void MqttPublisher::callAnnounced(const Call &call) {
    loop.post([this, call] {
        pump();
        if (call.origin == CallOrigin::live)
            ring(call);
    });
}

void MqttPublisher::ring(const Call &call) {
    auto found = lines.find(call.lineSlot);
    if (found == lines.end() || !isConnected)
        return;
    int slot = call.lineSlot;
    std::string topic = lineTopic(slot, call.lineLabel) + "/ringing";
    publish(topic, "ON", true);
    // Adapters report the caller once, at the first ring, and nothing when it stops: the sensor
    // stays on for ring-seconds after the last call on the line.
    found->second.ringTimer->expires_after(std::chrono::seconds(mqtt.ringSeconds));
    found->second.ringTimer->async_wait([this, topic](boost::system::error_code error) {
        if (!error && isConnected)
            publish(topic, "OFF", true);
    });
}

void MqttPublisher::lineStateChanged(const LineStatus &status) {
    loop.post([this, status] {
        LineOut &out = lines[status.slot];
        if (!out.ringTimer)
            out.ringTimer = std::make_unique<boost::asio::steady_timer>(loop.context());
        if (out.label.empty())
            out.label = status.label;
        out.status = status;
        out.known = true;
        if (isConnected)
            publishLineState(status);
    });
}

void MqttPublisher::publishLineState(const LineStatus &status) {
    json body = {{"state", lineStateName(status.state)},
                 {"reason", status.reason},
                 {"open_result", status.openResult},
                 {"line_error", status.lineError},
                 {"slot", status.slot},
                 {"kind", status.kind},
                 {"since", isoFromSeconds(std::chrono::duration_cast<std::chrono::seconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count())}};
    publish(lineTopic(status.slot, status.label) + "/state",
            body.dump(-1, ' ', false, json::error_handler_t::replace), true);
}

void MqttPublisher::publishDiscovery() {
    if (!isConnected || !mqtt.discovery)
        return;
    std::string node = "kalvix3d_" + identifier(config.site);
    json availability = {{"topic", statusTopic}};
    json components = json::object();
    for (const auto &[slot, out] : lines) {
        std::string topic = lineTopic(slot, out.label);
        std::string id = node + "_line" + std::to_string(slot);
        components[id + "_call"] = {
            {"platform", "event"},
            {"name", out.label + " call"},
            {"unique_id", id + "_call"},
            {"state_topic", topic + "/call"},
            {"event_types", {"call"}},
            {"icon", "mdi:phone-incoming"},
        };
        components[id + "_last_caller"] = {
            {"platform", "sensor"},
            {"name", out.label + " last caller"},
            {"unique_id", id + "_last_caller"},
            {"state_topic", topic + "/last_call"},
            // The name, else the reason in words ("withheld" rather than "P"), else the number.
            {"value_template", "{{ value_json.name or value_json.reason or value_json.number }}"},
            {"json_attributes_topic", topic + "/last_call"},
            {"icon", "mdi:card-account-phone"},
        };
        components[id + "_ringing"] = {
            {"platform", "binary_sensor"},
            {"name", out.label + " ringing"},
            {"unique_id", id + "_ringing"},
            {"state_topic", topic + "/ringing"},
            {"payload_on", "ON"},
            {"payload_off", "OFF"},
            {"device_class", "sound"},
        };
        components[id + "_health"] = {
            {"platform", "sensor"},
            {"name", out.label + " line"},
            {"unique_id", id + "_health"},
            {"state_topic", topic + "/state"},
            {"value_template", "{{ value_json.state }}"},
            {"json_attributes_topic", topic + "/state"},
            {"device_class", "enum"},
            {"options", {"up", "down", "reopening"}},
            {"entity_category", "diagnostic"},
        };
    }
    json discovery = {
        {"device",
         {{"identifiers", {node}},
          {"name", "Caller ID " + config.site},
          {"manufacturer", "Kalvix3"},
          {"model", "kalvix3d"},
          {"sw_version", KALVIX3D_VERSION}}},
        {"origin", {{"name", "kalvix3d"}, {"sw_version", KALVIX3D_VERSION}}},
        {"availability", json::array({availability})},
        {"qos", kQos},
        {"components", components},
    };
    publish(mqtt.discoveryPrefix + "/device/" + node + "/config",
            discovery.dump(-1, ' ', false, json::error_handler_t::replace), true);
}

void MqttPublisher::saveAcknowledged() {
    // Replaced whole: a crash or a power cut leaves the old id or the new one, never an empty
    // file (which would read as "first start" and skip the calls the broker had not taken yet).
    if (std::string why = platform::replaceFileDurably(outboxPath, std::to_string(lastAcked) + "\n");
        !why.empty())
        logLine(Priority::warning, "mqtt: " + why);
}

} // namespace kalvix3d::net
