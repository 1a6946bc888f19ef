// The process on POSIX: signals are the requests, taken by sigwait on the main thread.
#include <csignal>
#include <cstring>
#include <iostream>

#include <pthread.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "platform/system.h"

namespace kalvix3d::platform {

namespace {

sigset_t requestSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&set, signal);
    return set;
}

} // namespace

void prepareProcess() {
    // Every thread started later inherits the mask, so none of them is interrupted.
    sigset_t blocked = requestSignals();
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

const char *const kRequestsHelp =
    "Signals: SIGTERM stops, SIGHUP reloads the phonebook CSV, SIGUSR1 reads the devices' "
    "histories.";

RequestHeard nextRequest() {
    sigset_t wanted = requestSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&wanted, &signal) != 0)
            continue;
        if (signal == SIGHUP)
            return {Request::reloadPhonebook, "SIGHUP"};
        if (signal == SIGUSR1)
            return {Request::readHistories, "SIGUSR1"};
        return {Request::stop, strsignal(signal)};
    }
}

std::string readSecretLine(const char *prompt) {
    bool terminal = isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        std::cerr << prompt << std::flush;
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << "\n";
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string defaultConfigPath() { return "/etc/kalvix3d/kalvix3d.toml"; }
std::string defaultDatabasePath() { return "/var/lib/kalvix3d/calls.db"; }

} // namespace kalvix3d::platform
