// What the USB tests under Wine need, seen as a host sees it: the shipped Kalvix3.dll loaded with
// LoadLibraryA, and the stand-in ITUSB.DLL installed in the system directory, where the library
// looks for it. The test loads the stand-in from that same path, so the library's receive
// threads and the test share one loaded copy and with it the simulated adapter's state.
//
// The stand-in's builds lie beside the test program (stand-in/full, stand-in/partial). One test
// program at a time may use the system directory's ITUSB.DLL (CTest's RESOURCE_LOCK).
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kalvix3.h"
#include "simusb.h"

namespace kalvix3::wintest {

// The folder of this test program, with a trailing backslash.
inline std::string programFolder() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

// The stand-in's builds: with every driver entry, and without Ev_USB_Control and
// ITUSB_CloseDevice.
inline std::string fullStandIn() { return programFolder() + "stand-in\\full\\ITUSB.DLL"; }
inline std::string partialStandIn() { return programFolder() + "stand-in\\partial\\ITUSB.DLL"; }

// <system directory>\ITUSB.DLL: the file the library loads.
inline std::string systemDriverPath() {
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\ITUSB.DLL";
}

// Whatever stands at the driver's path is removed: a file, or a directory of that name.
inline void removeSystemDriver() {
    std::string path = systemDriverPath();
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryA(path.c_str());
    else
        DeleteFileA(path.c_str());
}

inline bool copyToSystemDriver(const std::string &source) {
    removeSystemDriver();
    return CopyFileA(source.c_str(), systemDriverPath().c_str(), FALSE) != 0;
}

inline bool writeSystemDriver(const std::string &content) {
    removeSystemDriver();
    HANDLE file = CreateFileA(systemDriverPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == content.size();
}

// The exports of the shipped DLL that the USB tests call.
class Kalvix3Library {
public:
    Kalvix3Library() : module(LoadLibraryA("Kalvix3.dll")) {
        if (module == nullptr)
            throw std::runtime_error("Kalvix3.dll did not load");
        resolve(open, "OpenCommLineEx");
        resolve(close, "CloseCommLineEx");
        resolve(dialEx, "KalvixDialEx");
        resolve(dialForm, "_DialForm");
    }
    ~Kalvix3Library() { FreeLibrary(module); }
    Kalvix3Library(const Kalvix3Library &) = delete;
    Kalvix3Library &operator=(const Kalvix3Library &) = delete;

    int32_t(KALVIX3_CALL *open)(int32_t slot, HWND window, int32_t port, int32_t kind) = nullptr;
    int32_t(KALVIX3_CALL *close)(int32_t slot) = nullptr;
    void(KALVIX3_CALL *dialEx)(int32_t slot, int32_t telPort, const char *number) = nullptr;
    // The exported variable itself: the dial progress dialog while it exists, else null.
    void *volatile *dialForm = nullptr;

private:
    template <typename T> void resolve(T &entry, const char *name) {
        entry = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
        if (entry == nullptr)
            throw std::runtime_error(std::string("Kalvix3.dll has no ") + name);
    }
    HMODULE module;
};

// The full stand-in in the system directory, loaded from there and reset; removed again when
// it goes. Close the lines before it goes: their threads hold the same library.
class SystemStandIn {
public:
    SystemStandIn() {
        if (!copyToSystemDriver(fullStandIn()))
            throw std::runtime_error("the stand-in could not be copied to " + systemDriverPath());
        module = LoadLibraryA(systemDriverPath().c_str());
        if (module == nullptr)
            throw std::runtime_error("the stand-in did not load from " + systemDriverPath());
        resolve(reset, "SimUsb_Reset");
        resolve(placeCall, "SimUsb_PlaceCall");
        resolve(failControl, "SimUsb_FailControl");
        resolve(setDialStates, "SimUsb_SetDialStates");
        resolve(setLineStateOnes, "SimUsb_SetLineStateOnes");
        resolve(callCount, "SimUsb_CallCount");
        resolve(badCalls, "SimUsb_BadCalls");
        resolve(logSize, "SimUsb_LogSize");
        resolve(logEntry, "SimUsb_LogEntry");
        reset();
    }
    ~SystemStandIn() {
        FreeLibrary(module);
        removeSystemDriver();
    }
    SystemStandIn(const SystemStandIn &) = delete;
    SystemStandIn &operator=(const SystemStandIn &) = delete;

    HMODULE handle() const { return module; }

    decltype(&::SimUsb_Reset) reset = nullptr;
    decltype(&::SimUsb_PlaceCall) placeCall = nullptr;
    decltype(&::SimUsb_FailControl) failControl = nullptr;
    decltype(&::SimUsb_SetDialStates) setDialStates = nullptr;
    decltype(&::SimUsb_SetLineStateOnes) setLineStateOnes = nullptr;
    decltype(&::SimUsb_CallCount) callCount = nullptr;
    decltype(&::SimUsb_BadCalls) badCalls = nullptr;

    int32_t controlCalls(uint32_t code) const { return callCount(SIMUSB_EV_USB_CONTROL, code); }
    // Every logged call of `entry` (and `code`, for Ev_USB_Control; 0: any code), in order.
    std::vector<SimUsbCall> calls(int32_t entry, uint32_t code = 0) const {
        std::vector<SimUsbCall> found;
        int32_t size = logSize();
        for (int32_t i = 0; i < size; ++i) {
            SimUsbCall call{};
            if (logEntry(i, &call) && call.entry == entry && (code == 0 || call.code == code))
                found.push_back(call);
        }
        return found;
    }

private:
    template <typename T> void resolve(T &entry, const char *name) {
        entry = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
        if (entry == nullptr)
            throw std::runtime_error(std::string("the stand-in has no ") + name);
    }
    HMODULE module = nullptr;
    decltype(&::SimUsb_LogSize) logSize = nullptr;
    decltype(&::SimUsb_LogEntry) logEntry = nullptr;
};

// Polls `condition` every 5 ms until it holds or `limit` has passed.
inline bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Ev_USB_Control codes of the caller status poll and of dialing.
inline constexpr uint32_t kStatusCode = 17;
inline constexpr uint32_t kDialStartCode = 0x80000015;
inline constexpr uint32_t kDialStateCode = 0x80000016;
inline constexpr uint32_t kDialCancelCode = 0x80000017;
inline constexpr uint32_t kLineStateCode = 0x80000018;

} // namespace kalvix3::wintest
