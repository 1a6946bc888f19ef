// What differs between the service on Linux and on Windows, behind one seam: telling the
// service manager, the stop/reload/history requests, where log lines go, default folders, the
// process's own set-up, and reading a password without echo. Each system has its own file of
// each (posix/, win32/); the service's bodies hold no system conditionals.
#pragma once

#include <string>
#include <string_view>

#include "log.h"

namespace kalvix3d::platform {

// ---- the process --------------------------------------------------------------------------
// Before any thread starts: takes the requests below for the service alone (POSIX: blocks
// SIGTERM, SIGINT, SIGHUP and SIGUSR1 in every thread), ignores broken pipes, and raises the
// limit on open files to what the system allows (every network client is a descriptor).
void prepareProcess();

// One line from standard input, not echoed on a terminal (after `prompt` on stderr there).
std::string readSecretLine(const char *prompt);

// ---- requests from outside: stop, reload the phonebook, read the histories -----------------
enum class Request { stop, reloadPhonebook, readHistories };
struct RequestHeard {
    Request request;
    std::string how; // where it came from, for the log: "SIGHUP", "Terminated"
};
// Blocks until the next request arrives.
RequestHeard nextRequest();
// How to send them, for the usage text.
extern const char *const kRequestsHelp;

// ---- the service manager (systemd) ---------------------------------------------------------
void tellReady();                         // every line has been tried
void tellStatus(const std::string &text); // one line that the manager shows for the service
void tellStopping();

// ---- the log ---------------------------------------------------------------------------------
// One line (no line feed in it) to wherever this system keeps a service's log, whole.
void writeLogLine(Priority priority, std::string_view line);
// All of `text` to an open descriptor (a handle's number on Windows) in one write where the
// system allows; false when it could not be written.
bool writeWhole(int descriptor, std::string_view text);

// ---- default folders -------------------------------------------------------------------------
std::string defaultConfigPath();   // /etc/kalvix3d/kalvix3d.toml
std::string defaultDatabasePath(); // /var/lib/kalvix3d/calls.db

} // namespace kalvix3d::platform
