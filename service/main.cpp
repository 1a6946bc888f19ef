// kalvix3d: the caller-ID service. Keeps the configured lines open, writes every call to the
// call log before telling anyone about it, names callers from the phonebook, and reopens a line
// whose adapter comes back after being unplugged.
//
//   kalvix3d [--config FILE]       run (default /etc/kalvix3d/kalvix3d.toml)
//   kalvix3d --check-config FILE   check a configuration and exit
//   kalvix3d --hash-password       read a password on stdin, print its hash for [web]
//
// Signals: SIGTERM/SIGINT close the lines and exit 0; SIGHUP reloads the phonebook CSV;
// SIGUSR1 reads the devices' histories now.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include <pthread.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <termios.h>
#include <unistd.h>

#include "announcer.h"
#include "config/config.h"
#include "lines/port_links.h"
#include "lines/supervisor.h"
#include "log.h"
#include "net/event_loop.h"
#include "net/mqtt_publisher.h"
#include "net/ncid_server.h"
#include "recorder.h"
#include "store/call_store.h"
#include "web/auth.h"
#include "web/web_server.h"

using namespace kalvix3d;

namespace {

constexpr const char *kDefaultConfig = "/etc/kalvix3d/kalvix3d.toml";

int usage(std::ostream &out, int status) {
    out << "usage: kalvix3d [--config FILE]\n"
           "       kalvix3d --check-config FILE\n"
           "       kalvix3d --hash-password   (reads the password on stdin)\n"
           "Runs the caller-ID service on the lines FILE configures (default "
        << kDefaultConfig
        << ").\nSignals: SIGTERM stops, SIGHUP reloads the phonebook CSV, SIGUSR1 reads the "
           "devices' histories.\n";
    return status;
}

// The log as an observer: each committed call and each line state change is one line.
class LogObserver : public Observer {
public:
    void callAnnounced(const Call &call) override {
        std::string text = "call " + std::to_string(call.id) + " on line " +
                           std::to_string(call.lineSlot) + " (" + call.lineLabel + "): " +
                           call.number;
        if (!call.reason.empty())
            text += " (" + call.reason + ")";
        if (!call.name.empty())
            text += " \"" + call.name + "\"";
        text += call.origin == CallOrigin::live ? " live " : " imported ";
        text += call.timeUtc;
        logLine(Priority::notice, text);
    }
    void lineStateChanged(const LineStatus &status) override {
        std::string text = "line " + std::to_string(status.slot) + " (" + status.label + "): " +
                           lineStateName(status.state);
        if (!status.reason.empty())
            text += ": " + status.reason;
        logLine(status.state == LineState::down ? Priority::warning : Priority::info, text);
    }
};

// systemd's STATUS= line: every line's state, so `systemctl status` shows it.
class NotifyObserver : public Observer {
public:
    explicit NotifyObserver(const Config &config) {
        for (const LineConfig &line : config.lines)
            states.push_back("line " + std::to_string(line.slot) + " (" + line.label + ") " +
                             "not opened yet");
    }
    void callAnnounced(const Call &) override {}
    void lineStateChanged(const LineStatus &status) override {
        for (size_t i = 0; i < states.size(); ++i)
            if (states[i].rfind("line " + std::to_string(status.slot) + " ", 0) == 0)
                states[i] = "line " + std::to_string(status.slot) + " (" + status.label + ") " +
                            lineStateName(status.state);
        std::string text = "STATUS=";
        for (size_t i = 0; i < states.size(); ++i)
            text += (i ? ", " : "") + states[i];
        sd_notify(0, text.c_str());
    }

private:
    std::vector<std::string> states; // touched only on the announcing threads, one at a time
};

// Loads the configured phonebook CSV into the store: rows are added or replaced; a broken row is
// reported by its line number and skipped, the good rows are kept.
void loadPhonebook(const Config &config, CallStore &store) {
    if (config.phonebookCsv.empty())
        return;
    std::ifstream in(config.phonebookCsv, std::ios::binary);
    if (!in) {
        logLine(Priority::warning, "phonebook " + config.phonebookCsv +
                                       ": cannot read it: " + std::strerror(errno) +
                                       "; the names already in the call log stay");
        return;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    CsvRead read = readPhonebookCsv(bytes.str());
    for (const CsvProblem &problem : read.problems)
        logLine(Priority::warning, config.phonebookCsv + ":" + std::to_string(problem.line) +
                                       ": " + problem.what + " (row skipped)");
    size_t stored = 0;
    for (const PhonebookEntry &entry : read.entries) {
        try {
            store.setName(entry);
            ++stored;
        } catch (const std::exception &error) {
            logLine(Priority::warning, config.phonebookCsv + ": " + entry.number + ": " +
                                           error.what() + " (row skipped)");
        }
    }
    logLine(Priority::info, "phonebook " + config.phonebookCsv + ": " + std::to_string(stored) +
                                " name(s) loaded, " + std::to_string(read.problems.size()) +
                                " row(s) skipped");
}

// The web page's dials and history reads, done by the supervisor's thread.
class SupervisorControl : public web::LineControl {
public:
    explicit SupervisorControl(Supervisor &supervisor) : supervisor(supervisor) {}
    void dial(int slot, int telPort, std::string number,
              std::function<void(std::string)> done) override {
        supervisor.requestDial(slot, telPort, std::move(number), std::move(done));
    }
    void importHistory(int slot, std::function<void(bool, std::string, int, int)> done) override {
        supervisor.requestHistoryImport(slot, [done](Supervisor::ImportReport report) {
            done(report.read, report.problem, report.records, report.added);
        });
    }

private:
    Supervisor &supervisor;
};

// Reads a password from stdin (one line; no echo on a terminal) and prints its Argon2id hash.
int hashPassword() {
    bool terminal = isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        std::cerr << "password: " << std::flush;
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string password;
    std::getline(std::cin, password);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << "\n";
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.size() < 8) {
        std::cerr << "kalvix3d: the password needs at least 8 characters\n";
        return 2;
    }
    try {
        std::cout << "password-hash = \"" << web::Auth::hashPassword(password) << "\"\n";
    } catch (const std::exception &error) {
        std::cerr << "kalvix3d: " << error.what() << "\n";
        return 1;
    }
    return 0;
}

std::string portLinkBase() {
    for (const char *name : {"RUNTIME_DIRECTORY", "TMPDIR"})
        if (const char *dir = std::getenv(name); dir && *dir) {
            std::string first = dir;
            return first.substr(0, first.find(':')); // systemd may list several
        }
    return "/tmp";
}

int run(const Config &config) {
    std::unique_ptr<CallStore> store;
    try {
        store = std::make_unique<CallStore>(config.database);
    } catch (const std::exception &error) {
        logLine(Priority::error, std::string("cannot start: the call log cannot be used: ") +
                                     error.what());
        return 1;
    }
    loadPhonebook(config, *store);
    std::unique_ptr<PortLinks> links;
    try {
        links = std::make_unique<PortLinks>(portLinkBase());
    } catch (const std::exception &error) {
        logLine(Priority::error, std::string("cannot start: ") + error.what());
        return 1;
    }
    setenv("KALVIX3_COM_DIR", links->directory().c_str(), 1);

    // Every socket of the service lives on this loop; observers only post onto it.
    net::EventLoop loop;
    loop.start();

    Announcer announcer;
    LogObserver logObserver;
    NotifyObserver notifyObserver(config);
    announcer.subscribe(&logObserver);
    announcer.subscribe(&notifyObserver);

    // The network outputs. One that cannot start is reported; the lines are served regardless,
    // since every call still goes to the call log.
    std::unique_ptr<net::NcidServer> ncid;
    if (config.ncid.enabled) {
        ncid = std::make_unique<net::NcidServer>(loop, *store, config.ncid);
        try {
            ncid->start();
            announcer.subscribe(ncid.get());
        } catch (const std::exception &error) {
            logLine(Priority::error, std::string("ncid: ") + error.what() +
                                         "; the NCID server is off");
            ncid.reset();
        }
    }
    std::unique_ptr<net::MqttPublisher> mqtt;
    if (config.mqtt.enabled) {
        mqtt = std::make_unique<net::MqttPublisher>(loop, *store, config);
        try {
            mqtt->start();
            announcer.subscribe(mqtt.get());
        } catch (const std::exception &error) {
            logLine(Priority::error, std::string("mqtt: ") + error.what() +
                                         "; nothing is published");
            mqtt.reset();
        }
    }
    // The web page, served like the other outputs: one that cannot listen is reported.
    std::unique_ptr<web::WebServer> page;
    if (config.web.enabled) {
        page = std::make_unique<web::WebServer>(loop, *store, config);
        try {
            page->start();
            announcer.subscribe(page.get());
        } catch (const std::exception &error) {
            logLine(Priority::error, std::string("web: ") + error.what() + "; the web page is off");
            page.reset();
        }
    }
    logLine(Priority::info, "starting: site \"" + config.site + "\", " +
                                std::to_string(config.lines.size()) + " line(s), call log " +
                                config.database);
    {
        Recorder recorder(config, *store, announcer);
        Supervisor supervisor(config, *store, recorder, announcer, *links);
        SupervisorControl control(supervisor);
        if (page)
            page->setLineControl(&control);
        supervisor.start([] {
            logLine(Priority::info, "ready: every line has been tried");
            sd_notify(0, "READY=1");
        });

        sigset_t wanted;
        sigemptyset(&wanted);
        for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
            sigaddset(&wanted, signal);
        for (;;) {
            int signal = 0;
            if (sigwait(&wanted, &signal) != 0)
                continue;
            if (signal == SIGHUP) {
                logLine(Priority::info, "SIGHUP: reloading the phonebook");
                loadPhonebook(config, *store);
            } else if (signal == SIGUSR1) {
                logLine(Priority::info, "SIGUSR1: reading the devices' histories");
                supervisor.requestHistoryImport();
            } else {
                logLine(Priority::info, std::string("stopping (") + strsignal(signal) + ")");
                sd_notify(0, "STOPPING=1");
                break;
            }
        }
        if (page)
            page->setLineControl(nullptr); // no new dials; those queued are dropped by stop()
        supervisor.stop(); // every line closed: nothing more is handed to the recorder
        recorder.stop();   // everything heard is in the log
    }
    announcer.unsubscribe(&notifyObserver);
    announcer.unsubscribe(&logObserver);
    if (ncid) {
        announcer.unsubscribe(ncid.get());
        loop.post([&ncid] { ncid->close(); });
    }
    if (mqtt)
        announcer.unsubscribe(mqtt.get());
    if (page) {
        announcer.unsubscribe(page.get());
        loop.post([&page] { page->close(); });
    }
    loop.stop();
    if (mqtt)
        mqtt->stop(); // "offline", then the network thread ends
    logLine(Priority::info, "stopped");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // The signals are taken by sigwait on the main thread; every thread started later inherits
    // the mask, so none of them is interrupted.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Every network client is a descriptor: take what the system allows (the unit may raise it).
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    std::string configPath = kDefaultConfig;
    bool checkOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--config" || arg == "-c" || arg == "--check-config") && i + 1 < argc) {
            checkOnly = checkOnly || arg == "--check-config";
            configPath = argv[++i];
        } else if (arg == "--hash-password") {
            return hashPassword();
        } else if (arg == "--help" || arg == "-h") {
            return usage(std::cout, 0);
        } else {
            std::cerr << "kalvix3d: unexpected argument \"" << arg << "\"\n";
            return usage(std::cerr, 2);
        }
    }

    Config config;
    try {
        config = loadConfig(configPath);
    } catch (const ConfigError &error) {
        for (const std::string &problem : error.problems())
            std::cerr << (checkOnly ? "" : "<3>kalvix3d: ") << problem << "\n";
        return 2;
    }
    if (checkOnly) {
        std::cout << configPath << ": the configuration is valid (" << config.lines.size()
                  << " line(s), call log " << config.database << ")\n";
        return 0;
    }
    return run(config);
}
