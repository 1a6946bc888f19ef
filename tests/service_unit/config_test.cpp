// The configuration reader in-process: the shipped example gives what it says, values that
// default from other keys come out right, and each mistake is reported with its place.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/config.h"

namespace {

namespace fs = std::filesystem;
using kalvix3d::Config;
using kalvix3d::ConfigError;
using kalvix3d::loadConfig;

// A fresh folder under the system's temporary one, removed with its files at the end.
class Folder {
public:
    Folder() {
        std::string name = (fs::temp_directory_path() / "kalvix3d-config-XXXXXX").string();
        if (!mkdtemp(name.data()))
            ADD_FAILURE() << "cannot make " << name;
        where = name;
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(where, ignored);
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    std::string write(const std::string &name, const std::string &text) const {
        std::string file = where + "/" + name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    std::string where;
};

// The problems of a file that must not load; empty (and a failure) when it loads.
std::vector<std::string> problemsOf(const std::string &file) {
    try {
        loadConfig(file);
    } catch (const ConfigError &error) {
        return error.problems();
    }
    ADD_FAILURE() << file << " loaded";
    return {};
}

TEST(Config, TheShippedExampleGivesWhatItSays) {
    Config config = loadConfig(KALVIX3D_EXAMPLE_CONFIG);
    EXPECT_EQ(config.site, "Tanaka Clinic");
    EXPECT_EQ(config.database, "/var/lib/kalvix3d/calls.db");
    EXPECT_EQ(config.phonebookCsv, "");
    ASSERT_EQ(config.lines.size(), 1u);
    EXPECT_EQ(config.lines[0].slot, 0);
    EXPECT_EQ(config.lines[0].kind, 2);
    EXPECT_FALSE(config.lines[0].usb);
    EXPECT_EQ(config.lines[0].label, "店舗");
    EXPECT_EQ(config.lines[0].devicePath,
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KXYZ-if00-port0");
    EXPECT_TRUE(config.lines[0].importHistory);
    EXPECT_TRUE(config.ncid.enabled);
    EXPECT_EQ(config.ncid.bind, "127.0.0.1");
    EXPECT_EQ(config.ncid.port, 3333);
    EXPECT_EQ(config.ncid.replay, 200);
    EXPECT_EQ(config.ncid.clientBuffer, 262144);
    EXPECT_EQ(config.ncid.forward, "");
    EXPECT_TRUE(config.web.enabled);
    EXPECT_EQ(config.web.port, 8380);
    EXPECT_EQ(config.web.passwordHash, "");
    EXPECT_FALSE(config.mqtt.enabled) << "[mqtt] is commented out";
}

// Values that come from other keys when left out: the MQTT client id from the site, slots and
// labels from the order of the lines, relative paths from the file's folder.
TEST(Config, DefaultsTakenFromOtherKeys) {
    Folder folder;
    std::string file = folder.write("kalvix3d.toml", "site = \"Clinic\"\n"
                                                     "database = \"calls.db\"\n"
                                                     "[phonebook]\n"
                                                     "csv = \"sub/../book.csv\"\n"
                                                     "[mqtt]\n"
                                                     "host = \"broker\"\n"
                                                     "ca-file = \"/etc/ca.crt\"\n"
                                                     "cert-file = \"tls/c.crt\"\n"
                                                     "key-file = \"tls/c.key\"\n"
                                                     "[[line]]\n"
                                                     "kind = 2\n"
                                                     "port = \"COM3\"\n"
                                                     "[[line]]\n"
                                                     "kind = 32\n");
    Config config = loadConfig(file);
    EXPECT_EQ(config.database, folder.where + "/calls.db");
    EXPECT_EQ(config.phonebookCsv, folder.where + "/book.csv");
    EXPECT_TRUE(config.mqtt.enabled);
    EXPECT_EQ(config.mqtt.clientId, "kalvix3d-Clinic");
    EXPECT_EQ(config.mqtt.port, 1883);
    EXPECT_EQ(config.mqtt.caFile, "/etc/ca.crt");
    EXPECT_EQ(config.mqtt.certFile, folder.where + "/tls/c.crt");
    EXPECT_EQ(config.mqtt.keyFile, folder.where + "/tls/c.key");
    EXPECT_FALSE(config.ncid.enabled);
    EXPECT_FALSE(config.web.enabled);
    ASSERT_EQ(config.lines.size(), 2u);
    EXPECT_EQ(config.lines[0].slot, 0);
    EXPECT_EQ(config.lines[0].label, "line 0");
    EXPECT_EQ(config.lines[0].devicePath, "/dev/ttyS2");
    EXPECT_EQ(config.lines[1].slot, 1);
    EXPECT_EQ(config.lines[1].label, "line 1");
    EXPECT_TRUE(config.lines[1].usb);
    EXPECT_EQ(config.lines[1].devicePath, "");
}

// Every problem of each file, in order, after "file:".
TEST(Config, MistakesAreReportedWithTheirPlace) {
    const std::string site = "site = \"Clinic\"\n";
    const std::string line = "[[line]]\nkind = 2\nport = \"COM1\"\n";
    struct Case {
        std::string text;
        std::vector<std::string> problems;
    };
    const Case cases[] = {
        {site + "[mqtt]\nhots = \"broker\"\n" + line,
         {":3:1: unknown key \"hots\" in [mqtt] (known: ca-file, cert-file, client-id, "
          "discovery, discovery-prefix, enabled, host, keepalive, key-file, password, port, "
          "ring-seconds, topic-prefix, username)",
          ":2:1: [mqtt] needs \"host\": the broker's name or address"}},
        {site + "colour = 1\n[[line]]\nkind = 2\nport = \"COM1\"\nlable = \"A\"\n",
         {":2:1: unknown key \"colour\" in the file (known: database, line, mqtt, ncid, "
          "phonebook, site, web)",
          ":6:1: unknown key \"lable\" in [[line]] (known: import-history, kind, label, port, "
          "slot)"}},
        {site + "[ncid]\nport = \"3333\"\nclient-buffer = 512\n" + line,
         {":3:8: \"port\" must be a whole number",
          ":4:17: \"client-buffer\" must be from 1024 to 67108864"}},
        {"# the site is left out\ndatabase = \"x.db\"\n" + line,
         {":1:1: \"site\" is missing: the name of this place, shown with every call"}},
        {site + "[[line]]\nport = \"COM1\"\n",
         {":2:1: [[line]] needs \"kind\": the device kind (see `kalvix3 kinds`)"}},
        // The rules across TLS and login keys come before the keys read after them.
        {site + "[mqtt]\nhost = \"broker\"\ncert-file = \"c.crt\"\npassword = \"p\"\n"
                "keepalive = 2\n" + line,
         {":2:1: [mqtt] \"cert-file\" and \"key-file\" go together",
          ":2:1: [mqtt] a client certificate needs \"ca-file\" (TLS)",
          ":5:12: [mqtt] \"password\" needs \"username\"",
          ":6:13: \"keepalive\" must be from 5 to 3600"}},
        {site + "[[line]]\nslot = 0\nkind = 2\nport = \"COM1\"\nlabel = \"A\"\n"
                "[[line]]\nslot = 0\nkind = 2\nport = 1\nlabel = \"A\"\n",
         {":7:1: slot 0 is used by an earlier [[line]]: give each its own",
          ":10:8: port \"/dev/ttyS0\" is used by an earlier [[line]]",
          ":7:1: label \"A\" is used by an earlier [[line]]"}},
        // A third line is checked no further than its slot.
        {site + line + "[[line]]\nkind = 32\n[[line]]\nslot = 5\n",
         {":8:8: \"slot\" must be 0 or 1",
          ":7:1: at most two [[line]] tables: the library has two line slots"}},
        {site + "[web]\nbind = \"192.168.1.2\"\nport = 70000\n" + line,
         {":4:8: \"port\" must be from 0 to 65535",
          ":3:8: [web] bound to \"192.168.1.2\" needs \"password-hash\": without a password the "
          "page is only served on loopback"}},
        {site + "[ncid]\nforward = \"ncid.lan\"\n[mqtt]\nhost = \"b\"\ntopic-prefix = \"a/#\"\n" +
             line,
         {":3:11: \"forward\" must be \"host:port\" of an NCID server",
          ":6:16: \"topic-prefix\" must be a topic without wildcards or a leading or trailing '/'"}},
    };
    Folder folder;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string file = folder.write("kalvix3d.toml", c.text);
        std::vector<std::string> expected;
        for (const std::string &problem : c.problems)
            expected.push_back(file + problem);
        EXPECT_EQ(problemsOf(file), expected);
    }
}

} // namespace
