// The command-line host on POSIX: Kalvix3HostWindow, sigwait, dlopen.
#include "platform.h"

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <dlfcn.h>
#include <grp.h>
#include <sys/stat.h>
#include <filesystem>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "host_line.h"
#include "text.h"
#include "call_store.h"

namespace tool::platform {

namespace fs = std::filesystem;

void writeText(std::FILE *stream, const std::string &utf8) { std::fputs(utf8.c_str(), stream); }

// The call store's converter: device text reads the same in the log and on the terminal.
std::string utf8FromCp932(const std::string &bytes) { return kalvix3d::utf8FromCp932(bytes); }

bool stderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

std::tm localParts(std::time_t when) {
    std::tm parts{};
    localtime_r(&when, &parts);
    return parts;
}

std::tm utcParts(std::time_t when) {
    std::tm parts{};
    gmtime_r(&when, &parts);
    return parts;
}

const char *portNotes() {
    return "COM port N is $KALVIX3_COM_DIR/COMN when KALVIX3_COM_DIR is set, else /dev/ttyS<N-1>.\n"
           "USB kinds ignore the port and load ITUSB.DLL from $KALVIX3_SYSTEM_DIR.";
}

const char *portWhereabouts() { return "KALVIX3_COM_DIR, "; }
const char *driverWhereabouts() {
    return ", or point KALVIX3_SYSTEM_DIR at the folder that holds ITUSB.DLL";
}

// ---- Host window: the library calls the procedure on the line's receive thread ---------------

struct HostWindow::State {
    Kalvix3HostWindow host{};
    Handler handler;
    static intptr_t procedure(void *window, uint32_t message, uintptr_t, intptr_t lParam) {
        auto *self = static_cast<State *>(static_cast<Kalvix3HostWindow *>(window)->user);
        if (lParam != 0)
            self->handler(message, *reinterpret_cast<const CopyDataRecord *>(lParam));
        return 0;
    }
};

HostWindow::HostWindow(Handler handler) : state(std::make_unique<State>()) {
    state->handler = std::move(handler);
    state->host.proc = &State::procedure;
    state->host.user = state.get();
}
HostWindow::~HostWindow() = default;
Kalvix3Window HostWindow::window() const { return &state->host; }
bool HostWindow::ready() const { return true; }

// ---- Stop: SIGINT and SIGTERM blocked in every thread, taken by sigwait --------------------

struct StopRequest::State {
    sigset_t set;
};

StopRequest::StopRequest() : state(std::make_unique<State>()) {
    sigemptyset(&state->set);
    sigaddset(&state->set, SIGINT);
    sigaddset(&state->set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &state->set, nullptr);
}
StopRequest::~StopRequest() = default;

void StopRequest::wait() {
    int signal = 0;
    sigwait(&state->set, &signal);
}

bool StopRequest::requested() const {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1;
}

// ---- Files and libraries -----------------------------------------------------------------------

std::string serviceDatabasePath() { return "/var/lib/kalvix3d/calls.db"; }

std::string programDirectory() {
    std::error_code ignored;
    fs::path self = fs::read_symlink("/proc/self/exe", ignored);
    return self.empty() ? std::string() : self.parent_path().string();
}

std::string makeTempDirectory(const char *stem) {
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + ".XXXXXX")).string();
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

void setEnvironment(const char *name, const std::string &value) { setenv(name, value.c_str(), 1); }

LoadedLibrary::LoadedLibrary(const std::string &path)
    : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
LoadedLibrary::~LoadedLibrary() {
    if (handle)
        dlclose(handle);
}
void *LoadedLibrary::entry(const char *name) const { return handle ? dlsym(handle, name) : nullptr; }

// ---- The demo ----------------------------------------------------------------------------------

StandInDriver::StandInDriver(const std::string &standInFile) {
    folder = makeTempDirectory("kalvix3-demo-system");
    if (folder.empty()) {
        why = "no temporary folder could be made";
        return;
    }
    std::error_code failed;
    fs::path driver = fs::path(folder) / "ITUSB.DLL";
    fs::copy_file(standInFile, driver, failed);
    if (failed) {
        why = "the stand-in could not be copied: " + failed.message();
        return;
    }
    setEnvironment("KALVIX3_SYSTEM_DIR", folder);
    installed = driver.string();
}

StandInDriver::~StandInDriver() {
    std::error_code ignored;
    if (!folder.empty())
        fs::remove_all(folder, ignored);
}

namespace {
// The demo reports the form on stdout with its results; a command (given its stop request as
// the context) on stderr, beside its progress, so that --json output stays JSON.
void report(void *context, const std::string &text) {
    if (context)
        std::fprintf(stderr, "%s\n", text.c_str());
    else
        printLine(text);
}
void printDialForm(void *context, Kalvix3DialForm *form) {
    report(context, "  dial dialog shown: " + utf8FromCp932(form->caption) + " / " +
                        utf8FromCp932(form->message1) +
                        (context ? " (lift the handset; Ctrl-C cancels)" : ""));
}
void printDialClosed(void *context, Kalvix3DialForm *) { report(context, "  dial dialog closed"); }
void printMessageBox(void *context, Kalvix3Window, const char *text, const char *caption,
                     uint32_t) {
    report(context, std::string("  message box ") + caption + ": " + utf8FromCp932(text));
}
int32_t cancelOnStop(void *context, Kalvix3DialForm *) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the library polls between passes
    return static_cast<const StopRequest *>(context)->requested() ? 1 : 0;
}
} // namespace

DialFormReporter::DialFormReporter(const StopRequest *stop) {
    Kalvix3DialHost host{};
    if (stop) {
        host.context = const_cast<StopRequest *>(stop);
        host.pumpMessages = cancelOnStop;
    }
    host.formShown = printDialForm;
    host.formClosed = printDialClosed;
    host.messageBox = printMessageBox;
    Kalvix3SetDialHost(&host);
}
DialFormReporter::~DialFormReporter() { Kalvix3SetDialHost(nullptr); }

const char *serialSimulatorsAbsence() { return nullptr; }

std::string openFailureInWords(int32_t slot) {
    int32_t systemError = 0;
    char path[256] = {};
    int32_t reason = Kalvix3GetLastOpenError(slot, &systemError, path, sizeof path);
    std::string device = path[0] != '\0' ? path : "the port";
    std::string cause = systemError != 0 ? " (" + std::string(std::strerror(systemError)) + ")" : "";
    switch (reason) {
    case KALVIX3_OPEN_NO_DEVICE:
        return "no such device: " + device + cause + ". Check the port number and KALVIX3_COM_DIR.";
    case KALVIX3_OPEN_PERMISSION_DENIED: {
        std::string group = "the group that owns it, usually dialout,";
        struct stat status{};
        if (stat(path, &status) == 0)
            if (const struct group *owner = getgrgid(status.st_gid))
                group = std::string("the group that owns it (") + owner->gr_name + ")";
        return "permission denied on " + device + ": add the user to " + group +
               " and log in again.";
    }
    case KALVIX3_OPEN_LOCKED:
        return device + " is in use by another program (or the other line)" + cause + ".";
    case KALVIX3_OPEN_NOT_A_TERMINAL:
        return device + " is not a terminal device" + cause + ": is it a serial port?";
    case KALVIX3_OPEN_OTHER:
        return device + " could not be opened" + cause + ".";
    default:
        return {};
    }
}

} // namespace tool::platform
