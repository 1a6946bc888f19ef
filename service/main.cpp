// kalvix3d: the caller-ID service. Keeps the configured lines open, writes every call to the
// call log before telling anyone about it, names callers from the phonebook, and reopens a line
// whose adapter comes back after being unplugged.
//
//   kalvix3d [--config FILE]       run (default: platform/system.h's defaultConfigPath)
//   kalvix3d --check-config FILE   check a configuration and exit
//   kalvix3d --hash-password       read a password on stdin, print its hash for [web]
//   --status-fd N                  also write what happens as JSON lines on descriptor N
//
// Requests (POSIX signals): SIGTERM/SIGINT close the lines and exit 0; SIGHUP reloads the
// phonebook CSV; SIGUSR1 reads the devices' histories now.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "announcer.h"
#include "config/config.h"
#include "lines/supervisor.h"
#include "log.h"
#include "net/event_loop.h"
#include "outputs/output.h"
#include "outputs/status_stream.h"
#include "phonebook_file.h"
#include "platform/ports.h"
#include "platform/system.h"
#include "recorder.h"
#include "store/call_store.h"
#include "web/auth.h"

using namespace kalvix3d;

namespace {

int usage(std::ostream &out, int status) {
    out << "usage: kalvix3d [--config FILE]\n"
           "       kalvix3d --check-config FILE\n"
           "       kalvix3d --hash-password   (reads the password on stdin)\n"
           "Runs the caller-ID service on the lines FILE configures (default "
        << platform::defaultConfigPath()
        << ").\n"
        << platform::kRequestsHelp << "\n";
    return status;
}

// Reads a password (one line; no echo on a terminal) and prints its Argon2id hash.
int hashPassword() {
    std::string password = platform::readSecretLine("password: ");
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

// Serves requests from outside until one says stop.
void serveRequests(const Config &config, CallStore &store, Supervisor &supervisor) {
    for (;;) {
        platform::RequestHeard heard = platform::nextRequest();
        switch (heard.request) {
        case platform::Request::reloadPhonebook:
            logLine(Priority::info, heard.how + ": reloading the phonebook");
            loadPhonebookFile(config, store);
            break;
        case platform::Request::readHistories:
            logLine(Priority::info, heard.how + ": reading the devices' histories");
            supervisor.requestHistoryImport();
            break;
        case platform::Request::stop:
            logLine(Priority::info, "stopping (" + heard.how + ")");
            status::report({{"event", "stopping"}});
            platform::tellStopping();
            return;
        }
    }
}

// The service's parts, made in the order they depend on each other and ended in reverse.
int run(const Config &config) {
    std::unique_ptr<CallStore> store;
    std::unique_ptr<platform::PortResolver> ports;
    try {
        store = std::make_unique<CallStore>(config.database);
    } catch (const std::exception &error) {
        logLine(Priority::error,
                std::string("cannot start: the call log cannot be used: ") + error.what());
        return 1;
    }
    loadPhonebookFile(config, *store);
    try {
        ports = std::make_unique<platform::PortResolver>();
    } catch (const std::exception &error) {
        logLine(Priority::error, std::string("cannot start: ") + error.what());
        return 1;
    }

    net::EventLoop loop; // every socket of the service lives on it; outputs only post onto it
    loop.start();
    Announcer announcer;
    Outputs outputs({loop, *store, config}, announcer);
    logLine(Priority::info, "starting: site \"" + config.site + "\", " +
                                std::to_string(config.lines.size()) + " line(s), call log " +
                                config.database);
    {
        Recorder recorder(config, *store, announcer);
        Supervisor supervisor(config, *store, recorder, announcer, *ports);
        outputs.attachLines(&supervisor);
        supervisor.start([] {
            logLine(Priority::info, "ready: every line has been tried");
            status::report({{"event", "ready"}});
            platform::tellReady();
        });
        serveRequests(config, *store, supervisor);
        outputs.attachLines(nullptr); // no new dials; those queued are dropped by stop()
        supervisor.stop();            // every line closed: nothing more is handed to the recorder
        recorder.stop();              // everything heard is in the log
    }
    outputs.stop();
    logLine(Priority::info, "stopped");
    status::report({{"event", "stopped"}});
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    platform::prepareProcess();
    std::string configPath = platform::defaultConfigPath();
    bool checkOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--config" || arg == "-c" || arg == "--check-config") && i + 1 < argc) {
            checkOnly = checkOnly || arg == "--check-config";
            configPath = argv[++i];
        } else if (arg == "--status-fd" && i + 1 < argc) {
            // For the programs that drive the service: what it does, as JSON lines.
            status::open(std::atoi(argv[++i]));
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
