#include "config/config.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "kalvix3.h"
#include "store/call_store.h"

namespace kalvix3d {

namespace {

struct KindFacts {
    std::string name; // UTF-8
    bool usb = false;
    int historySize = 0;
    int dialPorts = 0;
};

std::map<int, KindFacts> catalogue() {
    int32_t count = 0;
    GetKinds2(1, &count, nullptr);
    std::vector<KindInfo> kinds(static_cast<size_t>(count > 0 ? count : 0));
    if (count > 0)
        GetKinds2(1, &count, kinds.data());
    std::map<int, KindFacts> facts;
    for (const KindInfo &info : kinds)
        facts[info.kind] = KindFacts{utf8FromCp932(std::string(info.name, strnlen(info.name, sizeof info.name))),
                                     info.usbDriver != 0, info.historySize,
                                     Kalvix3DialPorts(info.dialFlags)};
    return facts;
}

// Collects problems with their places in the file.
class Checker {
public:
    explicit Checker(std::string file) : file(std::move(file)) {}
    void at(const toml::source_region &where, const std::string &what) {
        std::ostringstream text;
        // A problem with no place of its own (a missing key) is put at the top of the file.
        auto line = where.begin.line ? where.begin.line : 1;
        auto column = where.begin.line ? where.begin.column : 1;
        text << file << ":" << line << ":" << column << ": " << what;
        problems.push_back(text.str());
    }
    std::string file;
    std::vector<std::string> problems;
};

// Every key of `table` must be one of `known`.
void refuseUnknownKeys(Checker &check, const toml::table &table, std::set<std::string> known,
                       const std::string &where) {
    for (auto &&[key, value] : table) {
        (void)value;
        if (!known.count(std::string(key.str()))) {
            std::string list;
            for (const std::string &name : known)
                list += (list.empty() ? "" : ", ") + name;
            check.at(key.source(), "unknown key \"" + std::string(key.str()) + "\" in " + where +
                                       " (known: " + list + ")");
        }
    }
}

// A string value, or a problem when it has another type; nullopt when absent.
std::optional<std::string> stringAt(Checker &check, const toml::table &table, const char *key,
                                    bool nonEmpty = true) {
    const toml::node *node = table.get(key);
    if (!node)
        return std::nullopt;
    if (!node->is_string()) {
        check.at(node->source(), std::string("\"") + key + "\" must be a string");
        return std::nullopt;
    }
    std::string value = node->as_string()->get();
    if (nonEmpty && value.empty()) {
        check.at(node->source(), std::string("\"") + key + "\" must not be empty");
        return std::nullopt;
    }
    return value;
}

std::optional<int64_t> integerAt(Checker &check, const toml::table &table, const char *key) {
    const toml::node *node = table.get(key);
    if (!node)
        return std::nullopt;
    if (!node->is_integer()) {
        check.at(node->source(), std::string("\"") + key + "\" must be a whole number");
        return std::nullopt;
    }
    return node->as_integer()->get();
}

void readLine(Checker &check, const toml::table &table, size_t index,
              const std::map<int, KindFacts> &kinds, Config &config) {
    refuseUnknownKeys(check, table, {"slot", "kind", "port", "label", "import-history"},
                      "[[line]]");
    LineConfig line;
    line.slot = static_cast<int>(index);
    if (auto slot = integerAt(check, table, "slot")) {
        if (*slot != 0 && *slot != 1)
            check.at(table.get("slot")->source(), "\"slot\" must be 0 or 1");
        else
            line.slot = static_cast<int>(*slot);
    }
    if (index >= 2) {
        check.at(table.source(), "at most two [[line]] tables: the library has two line slots");
        return;
    }
    auto kind = integerAt(check, table, "kind");
    if (!kind && !table.get("kind"))
        check.at(table.source(), "[[line]] needs \"kind\": the device kind (see `kalvix3 kinds`)");
    if (kind) {
        auto found = kinds.find(static_cast<int>(*kind));
        if (found == kinds.end()) {
            check.at(table.get("kind")->source(),
                     "kind " + std::to_string(*kind) +
                         " is not a device of the catalogue (see `kalvix3 kinds`)");
        } else {
            line.kind = static_cast<int>(*kind);
            line.kindName = found->second.name;
            line.usb = found->second.usb;
            line.historySize = found->second.historySize;
            line.dialPorts = found->second.dialPorts;
        }
    }
    const toml::node *port = table.get("port");
    if (port) {
        std::optional<std::string> device;
        if (port->is_integer()) {
            int64_t number = port->as_integer()->get();
            if (number >= 1 && number <= 9)
                device = devicePathOfComPort("COM" + std::to_string(number));
        } else if (port->is_string()) {
            const std::string &text = port->as_string()->get();
            if (!text.empty() && text[0] == '/')
                device = text;
            else
                device = devicePathOfComPort(text);
        }
        if (!device)
            check.at(port->source(), "\"port\" must be a device path (\"/dev/serial/by-id/...\", "
                                     "\"/dev/ttyUSB0\") or a COM port (\"COM1\" to \"COM9\")");
        else if (line.usb)
            check.at(port->source(), "kind " + std::to_string(line.kind) +
                                         " is a USB adapter, opened through its driver: "
                                         "remove \"port\"");
        else
            line.devicePath = *device;
    } else if (line.kind != 0 && !line.usb) {
        check.at(table.source(), "[[line]] of kind " + std::to_string(line.kind) +
                                     " needs \"port\": a device path or \"COMn\"");
    }
    line.label = stringAt(check, table, "label").value_or("line " + std::to_string(line.slot));
    if (const toml::node *flag = table.get("import-history")) {
        if (!flag->is_boolean())
            check.at(flag->source(), "\"import-history\" must be true or false");
        else
            line.importHistory = flag->as_boolean()->get();
    }
    for (const LineConfig &other : config.lines) {
        if (other.slot == line.slot)
            check.at(table.source(), "slot " + std::to_string(line.slot) +
                                         " is used by an earlier [[line]]: give each its own");
        if (!line.devicePath.empty() && other.devicePath == line.devicePath)
            check.at(port->source(), "port \"" + line.devicePath +
                                         "\" is used by an earlier [[line]]");
        if (!other.label.empty() && other.label == line.label)
            check.at(table.source(), "label \"" + line.label + "\" is used by an earlier [[line]]");
    }
    config.lines.push_back(line);
}

// A whole number within [low, high], or a problem.
std::optional<int> boundedAt(Checker &check, const toml::table &table, const char *key, int low,
                             int high) {
    auto value = integerAt(check, table, key);
    if (!value)
        return std::nullopt;
    if (*value < low || *value > high) {
        check.at(table.get(key)->source(), std::string("\"") + key + "\" must be from " +
                                               std::to_string(low) + " to " +
                                               std::to_string(high));
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

std::optional<bool> booleanAt(Checker &check, const toml::table &table, const char *key) {
    const toml::node *node = table.get(key);
    if (!node)
        return std::nullopt;
    if (!node->is_boolean()) {
        check.at(node->source(), std::string("\"") + key + "\" must be true or false");
        return std::nullopt;
    }
    return node->as_boolean()->get();
}

void readNcid(Checker &check, const toml::table &table, NcidConfig &ncid) {
    refuseUnknownKeys(check, table,
                      {"enabled", "bind", "port", "max-clients", "replay", "client-buffer",
                       "forward"},
                      "[ncid]");
    ncid.enabled = booleanAt(check, table, "enabled").value_or(true);
    ncid.bind = stringAt(check, table, "bind").value_or(ncid.bind);
    ncid.port = boundedAt(check, table, "port", 0, 65535).value_or(ncid.port); // 0: any free one
    ncid.maxClients = boundedAt(check, table, "max-clients", 1, 100000).value_or(ncid.maxClients);
    ncid.replay = boundedAt(check, table, "replay", 0, 1000000).value_or(ncid.replay);
    ncid.clientBuffer =
        boundedAt(check, table, "client-buffer", 1024, 64 * 1024 * 1024).value_or(ncid.clientBuffer);
    if (auto forward = stringAt(check, table, "forward")) {
        auto colon = forward->rfind(':');
        bool good = colon != std::string::npos && colon > 0 && colon + 1 < forward->size();
        for (size_t i = colon + 1; good && i < forward->size(); ++i)
            good = std::isdigit(static_cast<unsigned char>((*forward)[i])) != 0;
        if (!good)
            check.at(table.get("forward")->source(),
                     "\"forward\" must be \"host:port\" of an NCID server");
        else
            ncid.forward = *forward;
    }
}

void readMqtt(Checker &check, const toml::table &table, MqttConfig &mqtt) {
    refuseUnknownKeys(check, table,
                      {"enabled", "host", "port", "client-id", "username", "password", "ca-file",
                       "cert-file", "key-file", "keepalive", "topic-prefix", "discovery",
                       "discovery-prefix", "ring-seconds"},
                      "[mqtt]");
    mqtt.enabled = booleanAt(check, table, "enabled").value_or(true);
    if (auto host = stringAt(check, table, "host"))
        mqtt.host = *host;
    else if (!table.get("host"))
        check.at(table.source(), "[mqtt] needs \"host\": the broker's name or address");
    mqtt.port = boundedAt(check, table, "port", 1, 65535).value_or(mqtt.port);
    mqtt.clientId = stringAt(check, table, "client-id").value_or("");
    mqtt.username = stringAt(check, table, "username").value_or("");
    mqtt.password = stringAt(check, table, "password", false).value_or("");
    mqtt.caFile = stringAt(check, table, "ca-file").value_or("");
    mqtt.certFile = stringAt(check, table, "cert-file").value_or("");
    mqtt.keyFile = stringAt(check, table, "key-file").value_or("");
    if (mqtt.certFile.empty() != mqtt.keyFile.empty())
        check.at(table.source(), "[mqtt] \"cert-file\" and \"key-file\" go together");
    if (!mqtt.certFile.empty() && mqtt.caFile.empty())
        check.at(table.source(), "[mqtt] a client certificate needs \"ca-file\" (TLS)");
    if (!mqtt.password.empty() && mqtt.username.empty())
        check.at(table.get("password")->source(), "[mqtt] \"password\" needs \"username\"");
    mqtt.keepAlive = boundedAt(check, table, "keepalive", 5, 3600).value_or(mqtt.keepAlive);
    for (auto [key, target] : {std::pair{"topic-prefix", &mqtt.topicPrefix},
                               std::pair{"discovery-prefix", &mqtt.discoveryPrefix}}) {
        if (auto prefix = stringAt(check, table, key)) {
            if (prefix->find_first_of("#+") != std::string::npos || prefix->front() == '/' ||
                prefix->back() == '/')
                check.at(table.get(key)->source(),
                         std::string("\"") + key +
                             "\" must be a topic without wildcards or a leading or trailing '/'");
            else
                *target = *prefix;
        }
    }
    mqtt.discovery = booleanAt(check, table, "discovery").value_or(true);
    mqtt.ringSeconds = boundedAt(check, table, "ring-seconds", 1, 600).value_or(mqtt.ringSeconds);
}

bool isLoopback(const std::string &address) {
    return address == "127.0.0.1" || address == "::1" || address == "localhost" ||
           address.rfind("127.", 0) == 0;
}

void readWeb(Checker &check, const toml::table &table, WebConfig &web) {
    refuseUnknownKeys(check, table,
                      {"enabled", "bind", "port", "password-hash", "display-token", "max-clients"},
                      "[web]");
    web.enabled = booleanAt(check, table, "enabled").value_or(true);
    web.bind = stringAt(check, table, "bind").value_or(web.bind);
    web.port = boundedAt(check, table, "port", 0, 65535).value_or(web.port);
    web.maxClients = boundedAt(check, table, "max-clients", 2, 10000).value_or(web.maxClients);
    if (auto hash = stringAt(check, table, "password-hash")) {
        if (hash->rfind("$argon2id$", 0) != 0)
            check.at(table.get("password-hash")->source(),
                     "\"password-hash\" must be an Argon2id hash: make one with "
                     "`kalvix3d --hash-password`");
        else
            web.passwordHash = *hash;
    }
    if (auto token = stringAt(check, table, "display-token")) {
        if (token->size() < 16 || token->find_first_of(" \t\r\n") != std::string::npos)
            check.at(table.get("display-token")->source(),
                     "\"display-token\" must be at least 16 characters without spaces");
        else
            web.displayToken = *token;
    }
    if (web.enabled && web.passwordHash.empty() && !isLoopback(web.bind))
        check.at(table.get("bind") ? table.get("bind")->source() : table.source(),
                 "[web] bound to \"" + web.bind +
                     "\" needs \"password-hash\": without a password the page is only served "
                     "on loopback");
}

} // namespace

ConfigError::ConfigError(std::vector<std::string> problems)
    : std::runtime_error(problems.empty() ? "configuration error" : problems.front()),
      list(std::move(problems)) {}

std::optional<std::string> devicePathOfComPort(const std::string &text) {
    if (text.size() != 4 || (text.compare(0, 3, "COM") != 0 && text.compare(0, 3, "com") != 0))
        return std::nullopt;
    if (text[3] < '1' || text[3] > '9')
        return std::nullopt;
    return "/dev/ttyS" + std::to_string(text[3] - '1');
}

Config loadConfig(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ConfigError({path + ":1:1: cannot read the file"});
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad())
        throw ConfigError({path + ":1:1: cannot read the file"});

    toml::table root;
    try {
        root = toml::parse(bytes.str(), path);
    } catch (const toml::parse_error &error) {
        std::ostringstream text;
        text << path << ":" << error.source().begin.line << ":" << error.source().begin.column
             << ": " << error.description();
        throw ConfigError({text.str()});
    }

    Checker check(path);
    Config config;
    config.path = path;
    refuseUnknownKeys(check, root, {"site", "database", "phonebook", "line", "ncid", "mqtt", "web"},
                      "the file");
    config.site = stringAt(check, root, "site").value_or("");
    if (!root.get("site"))
        check.at({}, "\"site\" is missing: the name of this place, shown with every call");
    config.database = stringAt(check, root, "database").value_or("/var/lib/kalvix3d/calls.db");
    if (const toml::node *phonebook = root.get("phonebook")) {
        if (!phonebook->is_table()) {
            check.at(phonebook->source(), "\"phonebook\" must be a table: [phonebook]");
        } else {
            refuseUnknownKeys(check, *phonebook->as_table(), {"csv"}, "[phonebook]");
            config.phonebookCsv = stringAt(check, *phonebook->as_table(), "csv").value_or("");
        }
    }
    if (const toml::node *web = root.get("web")) {
        if (!web->is_table())
            check.at(web->source(), "\"web\" must be a table: [web]");
        else
            readWeb(check, *web->as_table(), config.web);
    }
    for (const char *name : {"ncid", "mqtt"}) {
        const toml::node *node = root.get(name);
        if (!node)
            continue;
        if (!node->is_table()) {
            check.at(node->source(), std::string("\"") + name + "\" must be a table: [" + name +
                                         "]");
        } else if (std::string(name) == "ncid") {
            readNcid(check, *node->as_table(), config.ncid);
        } else {
            readMqtt(check, *node->as_table(), config.mqtt);
            if (config.mqtt.clientId.empty())
                config.mqtt.clientId = "kalvix3d-" + config.site;
        }
    }
    const toml::node *lines = root.get("line");
    if (!lines) {
        check.at({}, "no [[line]]: configure one or two lines");
    } else if (!lines->is_array_of_tables()) {
        check.at(lines->source(), "\"line\" must be an array of tables: [[line]]");
    } else {
        std::map<int, KindFacts> kinds = catalogue();
        const toml::array &array = *lines->as_array();
        for (size_t i = 0; i < array.size(); ++i)
            readLine(check, *array[i].as_table(), i, kinds, config);
    }
    if (!check.problems.empty())
        throw ConfigError(check.problems);
    // Relative paths are taken from the configuration file's folder, not from wherever the
    // service happens to be started (systemd starts it in /).
    std::filesystem::path folder = std::filesystem::absolute(path).parent_path();
    for (std::string *file : {&config.database, &config.phonebookCsv, &config.mqtt.caFile,
                              &config.mqtt.certFile, &config.mqtt.keyFile})
        if (!file->empty() && std::filesystem::path(*file).is_relative())
            *file = (folder / *file).lexically_normal().string();
    return config;
}

} // namespace kalvix3d
