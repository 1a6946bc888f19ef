#include "config/config.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "kalvix3.h"
#include "platform/ports.h"
#include "platform/system.h"
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

// What the readers of one file share: its problems, the configuration read so far (a later key
// may default from an earlier one) and the library's catalogue, read when a line first needs it.
class Reading {
public:
    explicit Reading(const std::string &path) : check(path) { config.path = path; }
    const std::map<int, KindFacts> &kinds() {
        if (!facts)
            facts = catalogue();
        return *facts;
    }
    // A file name as given, or from the configuration file's folder when it is relative: not
    // from wherever the service happens to be started (systemd starts it in /).
    std::string fromFolder(const std::string &name) const {
        if (name.empty() || !std::filesystem::path(name).is_relative())
            return name;
        std::filesystem::path folder = std::filesystem::absolute(config.path).parent_path();
        return (folder / name).lexically_normal().string();
    }
    Checker check;
    Config config;

private:
    std::optional<std::map<int, KindFacts>> facts;
};

// One key of a table as its reader sees it (or, for a rule, just the table).
struct Field {
    Reading &file;
    const toml::table &table;
    const char *key;        // nullptr for a rule
    const toml::node *node; // nullptr when the key is absent

    // A problem at the key, or at its table when the key is absent.
    void problem(const std::string &what) const {
        file.check.at(node ? node->source() : table.source(), what);
    }
    // A problem at another key of the table, or at the table when that one is absent.
    void problemAt(const char *other, const std::string &what) const {
        const toml::node *there = table.get(other);
        file.check.at(there ? there->source() : table.source(), what);
    }
    std::string quoted() const { return std::string("\"") + key + "\""; }

    // The value, or a problem when it has another type ("must be <type>"); nullopt when absent
    // or wrong.
    template <typename T>
    std::optional<T> value(const char *type) const {
        if (!node)
            return std::nullopt;
        if (const toml::value<T> *value = node->as<T>())
            return value->get();
        problem(quoted() + " must be " + type);
        return std::nullopt;
    }
    std::optional<std::string> text(bool nonEmpty = true) const {
        auto text = value<std::string>("a string");
        if (text && nonEmpty && text->empty()) {
            problem(quoted() + " must not be empty");
            return std::nullopt;
        }
        return text;
    }
    std::optional<int64_t> whole() const { return value<int64_t>("a whole number"); }
    std::optional<bool> flag() const { return value<bool>("true or false"); }
    // A whole number within [low, high]; `must` words the range when "from low to high" does not.
    std::optional<int> bounded(int low, int high, const char *must = nullptr) const {
        auto number = whole();
        if (!number)
            return std::nullopt;
        if (*number < low || *number > high) {
            problem(quoted() + " must be " +
                    (must ? must : "from " + std::to_string(low) + " to " + std::to_string(high)));
            return std::nullopt;
        }
        return static_cast<int>(*number);
    }
};

// One entry of a table's declaration: a key with its reader, or a rule across the keys above it.
// The entries run in their order, so a reader sees the values of the keys declared before it.
template <typename Target>
struct Entry {
    const char *key = nullptr;     // nullptr: a rule
    const char *missing = nullptr; // the problem when the key is absent; nullptr: optional
    std::function<bool(const Field &, Target &)> run; // false: read no further in this table

    Entry required(const char *problem) && {
        missing = problem;
        return std::move(*this);
    }
};

template <typename Target>
using Keys = std::vector<Entry<Target>>;

// Every key of `table` must be one of `keys`.
template <typename Target>
void refuseUnknownKeys(Checker &check, const toml::table &table, const Keys<Target> &keys,
                       const std::string &where) {
    std::set<std::string> known;
    for (const Entry<Target> &entry : keys)
        if (entry.key)
            known.insert(entry.key);
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

// Reads `table` entry by entry into `target`; false when a rule stopped it.
template <typename Target>
bool readTable(Reading &file, const toml::table &table, const std::string &where,
               const Keys<Target> &keys, Target &target) {
    refuseUnknownKeys(file.check, table, keys, where);
    for (const Entry<Target> &entry : keys) {
        Field field{file, table, entry.key, entry.key ? table.get(entry.key) : nullptr};
        if (entry.key && !field.node && entry.missing)
            field.problem(entry.missing);
        if (!entry.run(field, target))
            return false;
    }
    return true;
}

// The kinds of entries. A key keeps the default of its field (config.h) when it is absent or
// wrong, unless its reader gives another.

template <typename Target>
Entry<Target> key(const char *name, std::function<void(const Field &, Target &)> read) {
    return {name, nullptr, [read](const Field &field, Target &target) {
                read(field, target);
                return true;
            }};
}

template <typename Target>
Entry<Target> rule(std::function<void(const Field &, const Target &)> check) {
    return {nullptr, nullptr, [check](const Field &in, Target &target) {
                check(in, target);
                return true;
            }};
}

// A rule that, when it fails (returns false), stops the reading of the table.
template <typename Target>
Entry<Target> guard(std::function<bool(const Field &, const Target &)> holds) {
    return {nullptr, nullptr,
            [holds](const Field &in, Target &target) { return holds(in, target); }};
}

// A text, not empty.
template <typename Target>
Entry<Target> text(const char *name, std::string Target::*field) {
    return key<Target>(name, [field](const Field &f, Target &target) {
        if (auto value = f.text())
            target.*field = *value;
    });
}

// A text that may be empty.
template <typename Target>
Entry<Target> anyText(const char *name, std::string Target::*field) {
    return key<Target>(name, [field](const Field &f, Target &target) {
        if (auto value = f.text(false))
            target.*field = *value;
    });
}

// A text that `valid` accepts; otherwise "\"name\" must be <must>".
template <typename Target>
Entry<Target> text(const char *name, std::string Target::*field,
                   bool (*valid)(const std::string &), const char *must) {
    return key<Target>(name, [field, valid, must](const Field &f, Target &target) {
        if (auto value = f.text()) {
            if (!valid(*value))
                f.problem(f.quoted() + " must be " + must);
            else
                target.*field = *value;
        }
    });
}

// A file name, relative ones taken from the configuration file's folder.
template <typename Target>
Entry<Target> path(const char *name, std::string Target::*field,
                   std::string (*fallback)() = nullptr) {
    return key<Target>(name, [field, fallback](const Field &f, Target &target) {
        if (auto value = f.text())
            target.*field = *value;
        else if (fallback)
            target.*field = fallback();
        target.*field = f.file.fromFolder(target.*field);
    });
}

template <typename Target>
Entry<Target> whole(const char *name, int Target::*field, int low, int high,
                    const char *must = nullptr) {
    return key<Target>(name, [field, low, high, must](const Field &f, Target &target) {
        if (auto value = f.bounded(low, high, must))
            target.*field = *value;
    });
}

template <typename Target>
Entry<Target> flag(const char *name, bool Target::*field, std::optional<bool> fallback = {}) {
    return key<Target>(name, [field, fallback](const Field &f, Target &target) {
        if (auto value = f.flag())
            target.*field = *value;
        else if (fallback)
            target.*field = *fallback;
    });
}

template <typename Part>
void readSubTable(const Field &f, const Keys<Part> &keys, Part &part) {
    if (!f.node)
        return;
    if (!f.node->is_table())
        f.problem(f.quoted() + " must be a table: [" + f.key + "]");
    else
        readTable(f.file, *f.node->as_table(), "[" + std::string(f.key) + "]", keys, part);
}

// A [name] table read into the member `part` of the target.
template <typename Target, typename Part>
Entry<Target> table(const char *name, Part Target::*part, const Keys<Part> &keys) {
    return key<Target>(name, [part, &keys](const Field &f, Target &target) {
        readSubTable(f, keys, target.*part);
    });
}

// A [name] table whose keys are read into the target itself.
template <typename Target>
Entry<Target> table(const char *name, const Keys<Target> &keys) {
    return key<Target>(name,
                       [&keys](const Field &f, Target &target) { readSubTable(f, keys, target); });
}

// [[name]] tables, each read into a new element of `list` unless a rule stopped it.
template <typename Target, typename Part>
Entry<Target> tables(const char *name, std::vector<Part> Target::*list, const Keys<Part> &keys) {
    return key<Target>(name, [list, &keys](const Field &f, Target &target) {
        if (!f.node)
            return;
        if (!f.node->is_array_of_tables()) {
            f.problem(f.quoted() + " must be an array of tables: [[" + f.key + "]]");
            return;
        }
        const std::string where = "[[" + std::string(f.key) + "]]";
        for (const toml::node &element : *f.node->as_array()) {
            Part part;
            if (readTable(f.file, *element.as_table(), where, keys, part))
                (target.*list).push_back(std::move(part));
        }
    });
}

bool isHostPort(const std::string &text) {
    auto colon = text.rfind(':');
    bool good = colon != std::string::npos && colon > 0 && colon + 1 < text.size();
    for (size_t i = colon + 1; good && i < text.size(); ++i)
        good = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    return good;
}

// Not empty: text() refuses "".
bool isTopic(const std::string &text) {
    return text.find_first_of("#+") == std::string::npos && text.front() != '/' &&
           text.back() != '/';
}

bool isArgon2idHash(const std::string &text) { return text.rfind("$argon2id$", 0) == 0; }

bool isDisplayToken(const std::string &text) {
    return text.size() >= 16 && text.find_first_of(" \t\r\n") == std::string::npos;
}

bool isLoopback(const std::string &address) {
    return address == "127.0.0.1" || address == "::1" || address == "localhost" ||
           address.rfind("127.", 0) == 0;
}

// The device a "port" names: a device path, a "COMn" text, or the n of COMn.
// The device a port value names: a path or COMn as text, or COMn's number.
std::optional<std::string> deviceOfPort(const toml::node &port) {
    if (port.is_integer()) {
        int64_t number = port.as_integer()->get();
        if (number >= 1 && number <= 9)
            return platform::devicePathOfPort("COM" + std::to_string(number));
    } else if (port.is_string()) {
        return platform::devicePathOfPort(port.as_string()->get());
    }
    return std::nullopt;
}

// Each table is the list of its keys, read in this order; the unknown-key check and its
// "(known: ...)" list come from these lists alone. To add a key: one entry in its table's list,
// made with text, anyText, path, whole, flag, table or key<T>(name, reader), reading into a
// field of config.h (a new field gets its default there), `.required(problem)` when it cannot be
// left out; then describe it in service/kalvix3d.toml.

const Keys<Config> kPhonebook = {
    path("csv", &Config::phonebookCsv),
};

const Keys<NcidConfig> kNcid = {
    flag("enabled", &NcidConfig::enabled, true),
    text("bind", &NcidConfig::bind),
    whole("port", &NcidConfig::port, 0, 65535), // 0: any free one
    whole("max-clients", &NcidConfig::maxClients, 1, 100000),
    whole("replay", &NcidConfig::replay, 0, 1000000),
    whole("client-buffer", &NcidConfig::clientBuffer, 1024, 64 * 1024 * 1024),
    text("forward", &NcidConfig::forward, isHostPort, "\"host:port\" of an NCID server"),
};

const Keys<MqttConfig> kMqtt = {
    flag("enabled", &MqttConfig::enabled, true),
    text("host", &MqttConfig::host).required("[mqtt] needs \"host\": the broker's name or address"),
    whole("port", &MqttConfig::port, 1, 65535),
    key<MqttConfig>("client-id", [](const Field &id, MqttConfig &mqtt) {
        mqtt.clientId = id.text().value_or("kalvix3d-" + id.file.config.site);
    }),
    text("username", &MqttConfig::username),
    anyText("password", &MqttConfig::password),
    path("ca-file", &MqttConfig::caFile),
    path("cert-file", &MqttConfig::certFile),
    path("key-file", &MqttConfig::keyFile),
    rule<MqttConfig>([](const Field &in, const MqttConfig &mqtt) {
        if (mqtt.certFile.empty() != mqtt.keyFile.empty())
            in.problem("[mqtt] \"cert-file\" and \"key-file\" go together");
        if (!mqtt.certFile.empty() && mqtt.caFile.empty())
            in.problem("[mqtt] a client certificate needs \"ca-file\" (TLS)");
        if (!mqtt.password.empty() && mqtt.username.empty())
            in.problemAt("password", "[mqtt] \"password\" needs \"username\"");
    }),
    whole("keepalive", &MqttConfig::keepAlive, 5, 3600),
    text("topic-prefix", &MqttConfig::topicPrefix, isTopic,
         "a topic without wildcards or a leading or trailing '/'"),
    text("discovery-prefix", &MqttConfig::discoveryPrefix, isTopic,
         "a topic without wildcards or a leading or trailing '/'"),
    flag("discovery", &MqttConfig::discovery),
    whole("ring-seconds", &MqttConfig::ringSeconds, 1, 600),
};

const Keys<WebConfig> kWeb = {
    flag("enabled", &WebConfig::enabled, true),
    text("bind", &WebConfig::bind),
    whole("port", &WebConfig::port, 0, 65535),
    whole("max-clients", &WebConfig::maxClients, 2, 10000),
    text("password-hash", &WebConfig::passwordHash, isArgon2idHash,
         "an Argon2id hash: make one with `kalvix3d --hash-password`"),
    text("display-token", &WebConfig::displayToken, isDisplayToken,
         "at least 16 characters without spaces"),
    rule<WebConfig>([](const Field &in, const WebConfig &web) {
        if (web.enabled && web.passwordHash.empty() && !isLoopback(web.bind))
            in.problemAt("bind", "[web] bound to \"" + web.bind +
                                     "\" needs \"password-hash\": without a password the page is "
                                     "only served on loopback");
    }),
};

const Keys<LineConfig> kLine = {
    key<LineConfig>("slot", [](const Field &slot, LineConfig &line) {
        // Default: the order of the tables, i.e. the number of lines read before this one.
        line.slot = slot.bounded(0, 1, "0 or 1")
                        .value_or(static_cast<int>(slot.file.config.lines.size()));
    }),
    guard<LineConfig>([](const Field &in, const LineConfig &) {
        if (in.file.config.lines.size() < 2)
            return true;
        in.problem("at most two [[line]] tables: the library has two line slots");
        return false;
    }),
    key<LineConfig>("kind", [](const Field &kind, LineConfig &line) {
        auto number = kind.whole();
        if (!number)
            return;
        auto found = kind.file.kinds().find(static_cast<int>(*number));
        if (found == kind.file.kinds().end()) {
            kind.problem("kind " + std::to_string(*number) +
                         " is not a device of the catalogue (see `kalvix3 kinds`)");
            return;
        }
        line.kind = static_cast<int>(*number);
        line.kindName = found->second.name;
        line.usb = found->second.usb;
        line.historySize = found->second.historySize;
        line.dialPorts = found->second.dialPorts;
    }).required("[[line]] needs \"kind\": the device kind (see `kalvix3 kinds`)"),
    // Serial kinds need it, USB ones must not have it: read after "kind".
    key<LineConfig>("port", [](const Field &port, LineConfig &line) {
        if (!port.node) {
            if (line.kind != 0 && !line.usb)
                port.problem("[[line]] of kind " + std::to_string(line.kind) +
                             " needs \"port\": a device path or \"COMn\"");
            return;
        }
        std::optional<std::string> device = deviceOfPort(*port.node);
        if (!device)
            port.problem(platform::kPortHelp);
        else if (line.usb)
            port.problem("kind " + std::to_string(line.kind) +
                         " is a USB adapter, opened through its driver: remove \"port\"");
        else
            line.devicePath = *device;
    }),
    key<LineConfig>("label", [](const Field &label, LineConfig &line) {
        line.label = label.text().value_or("line " + std::to_string(line.slot));
    }),
    flag("import-history", &LineConfig::importHistory),
    rule<LineConfig>([](const Field &in, const LineConfig &line) {
        for (const LineConfig &other : in.file.config.lines) {
            if (other.slot == line.slot)
                in.problem("slot " + std::to_string(line.slot) +
                           " is used by an earlier [[line]]: give each its own");
            if (!line.devicePath.empty() && other.devicePath == line.devicePath)
                in.problemAt("port",
                             "port \"" + line.devicePath + "\" is used by an earlier [[line]]");
            if (!other.label.empty() && other.label == line.label)
                in.problem("label \"" + line.label + "\" is used by an earlier [[line]]");
        }
    }),
};

// The file itself ("the file" in problems).
const Keys<Config> kFile = {
    text("site", &Config::site)
        .required("\"site\" is missing: the name of this place, shown with every call"),
    path("database", &Config::database, &platform::defaultDatabasePath),
    table("phonebook", kPhonebook),
    table("web", &Config::web, kWeb),
    table("ncid", &Config::ncid, kNcid),
    table("mqtt", &Config::mqtt, kMqtt),
    tables("line", &Config::lines, kLine).required("no [[line]]: configure one or two lines"),
};

} // namespace

ConfigError::ConfigError(std::vector<std::string> problems)
    : std::runtime_error(problems.empty() ? "configuration error" : problems.front()),
      list(std::move(problems)) {}


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

    Reading file(path);
    readTable(file, root, "the file", kFile, file.config);
    if (!file.check.problems.empty())
        throw ConfigError(file.check.problems);
    return std::move(file.config);
}

} // namespace kalvix3d
