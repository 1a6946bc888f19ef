// What the command-line host does differently on each system, one file per system
// (platform_posix.cpp, platform_win32.cpp): the host window, stopping on the user's request,
// console text, time, files and the stand-in driver library of the demo.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "kalvix3.h"

namespace tool::platform {

// ---- Text and time ---------------------------------------------------------------------------
// Writes UTF-8 text to stdout or stderr: bytes as they are to a file or pipe; on a Windows
// console as Unicode, whatever the console's code page.
void writeText(std::FILE *stream, const std::string &utf8);
std::string utf8FromCp932(const std::string &bytes); // an invalid byte becomes U+FFFD (or '?')
bool stderrIsTerminal();
// The local and the UTC broken-down time of `when` (thread-safe).
std::tm localParts(std::time_t when);
std::tm utcParts(std::time_t when);
// What the help says of ports and driver files on this system.
const char *portNotes();
// What else to check when a port does not open ("KALVIX3_COM_DIR, " on POSIX), and where else
// the driver may be (", or point KALVIX3_SYSTEM_DIR at ..." on POSIX).
const char *portWhereabouts();
const char *driverWhereabouts();

// Why the slot's last open could not open its port, in words, from Kalvix3GetLastOpenError on
// POSIX; empty where the library does not say (Windows) or when the port did not fail so.
std::string openFailureInWords(int32_t slot);

// ---- The host window -------------------------------------------------------------------------
// A window for OpenCommLineEx whose notifications go to `handler`: on POSIX a
// Kalvix3HostWindow, called on the line's receive thread; on Windows a message-only window on a
// thread of its own that does nothing but deliver messages, so that the program's thread may
// block in the library meanwhile. The handler may be called until the lines using the window
// are closed; close them before the window goes.
class HostWindow {
public:
    using Handler = std::function<void(uint32_t message, const CopyDataRecord &record)>;
    explicit HostWindow(Handler handler);
    ~HostWindow();
    HostWindow(const HostWindow &) = delete;
    HostWindow &operator=(const HostWindow &) = delete;
    Kalvix3Window window() const;
    bool ready() const; // false when the window could not be made (said on stderr)

private:
    struct State;
    std::unique_ptr<State> state;
};

// The user's request to stop: Ctrl-C or SIGTERM on POSIX, a console control event (Ctrl-C,
// Ctrl-Break, closing the console) on Windows. Make it before starting the lines (on POSIX the
// signals are blocked in every thread started afterwards); wait() returns on the request.
class StopRequest {
public:
    StopRequest();
    ~StopRequest();
    StopRequest(const StopRequest &) = delete;
    StopRequest &operator=(const StopRequest &) = delete;
    void wait();
    // True once the request came; for commands that finish what they are doing first.
    bool requested() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// ---- Files and libraries ---------------------------------------------------------------------
std::string programDirectory(); // the folder of this program; empty when unknown
// Where the caller-ID service keeps its call log unless told otherwise: /var/lib/kalvix3d/calls.db,
// %ProgramData%\Kalvix3\calls.db on Windows.
std::string serviceDatabasePath();
std::string makeTempDirectory(const char *stem); // a new empty folder; empty on failure
void setEnvironment(const char *name, const std::string &value);

// A library loaded by path (dlopen / LoadLibrary), unloaded when this goes.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::string &path);
    ~LoadedLibrary();
    LoadedLibrary(const LoadedLibrary &) = delete;
    LoadedLibrary &operator=(const LoadedLibrary &) = delete;
    bool loaded() const { return handle != nullptr; }
    void *entry(const char *name) const;

private:
    void *handle = nullptr;
};

// ---- The demo --------------------------------------------------------------------------------
// The stand-in driver file put where the library looks for ITUSB.DLL, for the time of the demo:
// on POSIX a temporary folder named by KALVIX3_SYSTEM_DIR; on Windows the system directory,
// only where no ITUSB.DLL is installed (a real driver is never replaced), removed again after.
class StandInDriver {
public:
    explicit StandInDriver(const std::string &standInFile);
    ~StandInDriver();
    StandInDriver(const StandInDriver &) = delete;
    StandInDriver &operator=(const StandInDriver &) = delete;
    const std::string &path() const { return installed; } // empty when not placed
    const std::string &problem() const { return why; }    // why not, in words

private:
    std::string installed, folder, why;
};

// Prints the dial progress dialog's showing and closing and the dial's message boxes while it
// lives (POSIX, through Kalvix3SetDialHost); on Windows the library shows the real dialog.
// Given a stop request, a stop presses the form's Cancel (POSIX).
class DialFormReporter {
public:
    explicit DialFormReporter(const StopRequest *stop = nullptr);
    ~DialFormReporter();
    DialFormReporter(const DialFormReporter &) = delete;
    DialFormReporter &operator=(const DialFormReporter &) = delete;
};

// Null where the serial device simulators are expected in this build; otherwise why they cannot
// exist on this system.
const char *serialSimulatorsAbsence();

} // namespace tool::platform
