// The command-line host on Windows: a message-only host window on its own thread, the console
// control handler, Unicode console output, LoadLibrary.
#include "platform.h"

#include <windows.h>

#include <cstdlib>
#include <future>
#include <thread>

namespace tool::platform {

namespace {

std::wstring wideFrom(UINT codePage, const std::string &text) {
    if (text.empty())
        return {};
    int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string utf8From(const std::wstring &wide) {
    if (wide.empty())
        return {};
    int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                        length, nullptr, nullptr);
    return text;
}

HANDLE consoleOf(std::FILE *stream) {
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

} // namespace

// A console takes Unicode whatever its code page; a file or pipe gets the UTF-8 bytes.
void writeText(std::FILE *stream, const std::string &utf8) {
    HANDLE console = consoleOf(stream);
    if (console == nullptr) {
        std::fputs(utf8.c_str(), stream);
        return;
    }
    std::fflush(stream);
    std::wstring wide = wideFrom(CP_UTF8, utf8);
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

std::string utf8FromCp932(const std::string &bytes) { return utf8From(wideFrom(932, bytes)); }

bool stderrIsTerminal() { return consoleOf(stderr) != nullptr; }

std::tm localParts(std::time_t when) {
    std::tm parts{};
    localtime_s(&parts, &when);
    return parts;
}

std::tm utcParts(std::time_t when) {
    std::tm parts{};
    gmtime_s(&parts, &when);
    return parts;
}

const char *portNotes() {
    return "COM port N is the system's port COMN.\n"
           "USB kinds ignore the port and load ITUSB.DLL, the adapter maker's driver library,\n"
           "from the system directory (System32; SysWOW64 for the 32-bit kalvix3.exe on 64-bit\n"
           "Windows).";
}

const char *portWhereabouts() { return "that the adapter's COM port driver is installed, "; }
const char *driverWhereabouts() { return " (ITUSB.DLL, in System32 or SysWOW64)"; }

// ---- Host window: message-only, on a thread that only delivers its messages -------------------

namespace {
constexpr char kWindowClass[] = "Kalvix3CommandLineHost";
}

struct HostWindow::State {
    Handler handler;
    HWND window = nullptr;
    std::promise<HWND> made; // the window, or null, once the pump thread has tried
    std::thread pump;

    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto *create = reinterpret_cast<CREATESTRUCTA *>(lParam);
            SetWindowLongPtrA(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto *self = reinterpret_cast<State *>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self != nullptr && lParam != 0 &&
            (message == KALVIX3_CALLER_NUMBER_MESSAGE || message == KALVIX3_LINE_ERROR_MESSAGE)) {
            self->handler(message, *reinterpret_cast<const CopyDataRecord *>(lParam));
            return 0;
        }
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            return 0;
        }
        if (message == WM_DESTROY)
            PostQuitMessage(0);
        return DefWindowProcA(window, message, wParam, lParam);
    }

    void run() {
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &State::procedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kWindowClass;
        RegisterClassExA(&windowClass); // fails harmlessly when already registered
        HWND created = CreateWindowExA(0, kWindowClass, "kalvix3", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                       nullptr, GetModuleHandleA(nullptr), this);
        DWORD error = GetLastError();
        made.set_value(created);
        if (created == nullptr) {
            std::fprintf(stderr, "kalvix3: no host window could be made (error %lu)\n", error);
            return;
        }
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
};

HostWindow::HostWindow(Handler handler) : state(std::make_unique<State>()) {
    state->handler = std::move(handler);
    std::future<HWND> window = state->made.get_future();
    State *self = state.get();
    state->pump = std::thread([self] { self->run(); });
    state->window = window.get();
}

HostWindow::~HostWindow() {
    if (state->window != nullptr)
        PostMessageA(state->window, WM_CLOSE, 0, 0);
    state->pump.join();
}

Kalvix3Window HostWindow::window() const { return state->window; }
bool HostWindow::ready() const { return state->window != nullptr; }

// ---- Stop: the console control handler -------------------------------------------------------

namespace {

// Process-wide, as the handler is: made once, never closed.
HANDLE stopEvent() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}
HANDLE cleanedUpEvent() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Runs on a thread of its own. Closing the console, logging off and shutting down end the
// process once the handler returns: it waits (bounded) until the lines are closed.
BOOL WINAPI onControlEvent(DWORD event) {
    SetEvent(stopEvent());
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(cleanedUpEvent(), 4000);
    return TRUE;
}

} // namespace

struct StopRequest::State {};

StopRequest::StopRequest() : state(std::make_unique<State>()) {
    ResetEvent(stopEvent());
    ResetEvent(cleanedUpEvent());
    SetConsoleCtrlHandler(&onControlEvent, TRUE);
}

StopRequest::~StopRequest() {
    SetEvent(cleanedUpEvent());
    SetConsoleCtrlHandler(&onControlEvent, FALSE);
}

void StopRequest::wait() { WaitForSingleObject(stopEvent(), INFINITE); }

bool StopRequest::requested() const { return WaitForSingleObject(stopEvent(), 0) == WAIT_OBJECT_0; }

// ---- Files and libraries -----------------------------------------------------------------------

std::string serviceDatabasePath() {
    const char *data = std::getenv("ProgramData");
    return std::string(data && *data ? data : "C:\\ProgramData") + "\\Kalvix3\\calls.db";
}

std::string programDirectory() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return {};
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/"));
}

std::string makeTempDirectory(const char *stem) {
    char base[MAX_PATH] = {};
    DWORD length = GetTempPathA(MAX_PATH, base);
    if (length == 0 || length >= MAX_PATH)
        return {};
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string path = std::string(base) + stem + "." + std::to_string(GetCurrentProcessId()) +
                           "." + std::to_string(GetTickCount() + attempt);
        if (CreateDirectoryA(path.c_str(), nullptr))
            return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return {};
    }
    return {};
}

void setEnvironment(const char *name, const std::string &value) {
    SetEnvironmentVariableA(name, value.c_str());
    _putenv_s(name, value.c_str());
}

LoadedLibrary::LoadedLibrary(const std::string &path)
    : handle(reinterpret_cast<void *>(LoadLibraryA(path.c_str()))) {}
LoadedLibrary::~LoadedLibrary() {
    if (handle)
        FreeLibrary(static_cast<HMODULE>(handle));
}
void *LoadedLibrary::entry(const char *name) const {
    return handle ? reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name))
                  : nullptr;
}

// ---- The demo ----------------------------------------------------------------------------------

StandInDriver::StandInDriver(const std::string &standInFile) {
    char directory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        why = "the system directory is unknown";
        return;
    }
    std::string target = std::string(directory) + "\\ITUSB.DLL";
    if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        why = "an ITUSB.DLL is installed in " + std::string(directory) +
              " already (an adapter's driver?); the demo never replaces it";
        return;
    }
    if (!CopyFileA(standInFile.c_str(), target.c_str(), TRUE)) {
        DWORD error = GetLastError();
        why = "the stand-in could not be copied to " + std::string(directory) + " (error " +
              std::to_string(error) +
              (error == ERROR_ACCESS_DENIED ? ": run the demo as administrator)" : ")");
        return;
    }
    installed = target;
}

StandInDriver::~StandInDriver() {
    if (!installed.empty() && !DeleteFileA(installed.c_str()))
        std::fprintf(stderr, "kalvix3 demo: %s could not be removed (error %lu): remove it\n",
                     installed.c_str(), GetLastError());
}

DialFormReporter::DialFormReporter(const StopRequest *) {} // the library shows the real dialog
DialFormReporter::~DialFormReporter() = default;

const char *serialSimulatorsAbsence() {
    return "the serial device simulators need pseudo-terminals, which Windows does not have "
           "(they run on Linux)";
}

// The DLL's exports do not include the reason of a failed open.
std::string openFailureInWords(int32_t) { return {}; }

} // namespace tool::platform
