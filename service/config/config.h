// The service's configuration: one TOML file. Loading checks everything that can be checked
// without opening a line (kinds against the library's catalogue, ports, labels, slots) and
// reports each mistake as "file:line:column: what is wrong".
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kalvix3d {

struct LineConfig {
    int slot = 0;             // the library's line slot, 0 or 1
    int kind = 0;             // device kind of the catalogue
    std::string kindName;     // the catalogue's name of the kind (UTF-8)
    bool usb = false;         // opened through the USB driver: no port
    int historySize = 0;      // records the device keeps; 0 when it keeps none
    int dialPorts = 0;        // telephone ports KalvixDialEx can dial through; 0: cannot dial
    std::string devicePath;   // serial kinds: the device ("/dev/serial/by-id/...", "/dev/ttyS2")
    std::string label;        // UTF-8, e.g. "店舗"
    bool importHistory = true;  // read the device's history at start and on SIGUSR1
};

// The NCID server ([ncid]): off unless the table is there.
struct NcidConfig {
    bool enabled = false;
    std::string bind = "127.0.0.1"; // loopback unless opened to the LAN ("0.0.0.0", "::")
    int port = 3333;
    int maxClients = 100;
    int replay = 200;               // calls of the log sent to a new client; 0: none ("251")
    int clientBuffer = 256 * 1024;  // bytes queued for one client before it is dropped
    std::string forward;            // "host:port" of an NCID server to send each call to, or ""
};

// The MQTT client ([mqtt]): off unless the table is there.
struct MqttConfig {
    bool enabled = false;
    std::string host;
    int port = 1883;
    std::string clientId;           // default "kalvix3d-<site>"
    std::string username;
    std::string password;
    std::string caFile;             // TLS when set
    std::string certFile;           // client certificate (with keyFile)
    std::string keyFile;
    int keepAlive = 30;             // seconds
    std::string topicPrefix = "kalvix3";
    bool discovery = true;          // Home Assistant discovery
    std::string discoveryPrefix = "homeassistant";
    int ringSeconds = 20;           // how long the "ringing" binary sensor stays on after a call
};

// The web page and its JSON API ([web]): off unless the table is there.
struct WebConfig {
    bool enabled = false;
    std::string bind = "127.0.0.1"; // loopback; any other address needs password-hash
    int port = 8380;                // 0: any free one (tests)
    std::string passwordHash;       // Argon2id, from `kalvix3d --hash-password`; "" on loopback: no password
    std::string displayToken;       // read-only access for a wall screen; "" none
    int maxClients = 200;           // connections at once (each open page holds one)
};

struct Config {
    std::string path;          // the file it came from
    std::string site;
    std::string database;
    std::string phonebookCsv;  // empty: the phonebook is only what the database holds
    std::vector<LineConfig> lines;
    NcidConfig ncid;
    MqttConfig mqtt;
    WebConfig web;

    // The configured line in `slot`, or null.
    const LineConfig *line(int slot) const {
        for (const LineConfig &candidate : lines)
            if (candidate.slot == slot)
                return &candidate;
        return nullptr;
    }
};

// All the mistakes of a file, one "file:line:column: what" per entry.
class ConfigError : public std::runtime_error {
public:
    explicit ConfigError(std::vector<std::string> problems);
    const std::vector<std::string> &problems() const { return list; }

private:
    std::vector<std::string> list;
};

// Reads and checks the file. Throws ConfigError.
Config loadConfig(const std::string &path);


} // namespace kalvix3d
