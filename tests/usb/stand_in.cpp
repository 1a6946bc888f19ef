#include "stand_in.h"

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kalvix3::testing {

namespace fs = std::filesystem;

TempDirectory::TempDirectory() {
    std::string pattern = (fs::temp_directory_path() / "kalvix3-usb.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    where = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    fs::remove_all(where, ignored);
}

void TempDirectory::writeFile(const char *name, const std::string &content) const {
    std::ofstream(fs::path(where) / name, std::ios::binary) << content;
}

void TempDirectory::makeDirectory(const char *name) const {
    fs::create_directory(fs::path(where) / name);
}

void TempDirectory::useAsSystemDirectory() const { setenv("KALVIX3_SYSTEM_DIR", where.c_str(), 1); }

StandIn::StandIn(const std::string &library) {
    fs::path linked = fs::path(directory.path()) / "ITUSB.DLL";
    fs::create_symlink(library, linked);
    directory.useAsSystemDirectory();
    // The same path the library loads, so both use one copy of the adapter.
    handle = dlopen(linked.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        throw std::runtime_error(dlerror());
    auto resolve = [this](auto &entry, const char *name) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(dlsym(handle, name));
        if (entry == nullptr)
            throw std::runtime_error(name);
    };
    resolve(reset, "SimUsb_Reset");
    resolve(placeCall, "SimUsb_PlaceCall");
    resolve(setStatusRecord, "SimUsb_SetStatusRecord");
    resolve(pushEventRecord, "SimUsb_PushEventRecord");
    resolve(addHistoryEntry, "SimUsb_AddHistoryEntry");
    resolve(setHistoryPage, "SimUsb_SetHistoryPage");
    resolve(setHistoryBuffer, "SimUsb_SetHistoryBuffer");
    resolve(failControl, "SimUsb_FailControl");
    resolve(failOpen, "SimUsb_FailOpen");
    resolve(holdRequests, "SimUsb_HoldRequests");
    resolve(completeHeld, "SimUsb_CompleteHeld");
    resolve(setControlDelay, "SimUsb_SetControlDelay");
    resolve(setDialStates, "SimUsb_SetDialStates");
    resolve(setLineStateOnes, "SimUsb_SetLineStateOnes");
    resolve(callCount, "SimUsb_CallCount");
    resolve(badCalls, "SimUsb_BadCalls");
    resolve(onControl, "SimUsb_OnControl");
    resolve(logSize, "SimUsb_LogSize");
    resolve(logEntry, "SimUsb_LogEntry");
    reset();
}

StandIn::~StandIn() {
    reset();
    dlclose(handle);
}

std::vector<SimUsbCall> StandIn::calls(int32_t entry, uint32_t code) const {
    std::vector<SimUsbCall> found;
    int32_t size = logSize();
    for (int32_t i = 0; i < size; ++i) {
        SimUsbCall call{};
        if (logEntry(i, &call) && call.entry == entry && (code == 0 || call.code == code))
            found.push_back(call);
    }
    return found;
}

void StandIn::runHook(void *context, uint32_t code) {
    auto *self = static_cast<StandIn *>(context);
    std::function<void(uint32_t)> call;
    {
        std::lock_guard hold(self->hookLock);
        call = self->hook;
    }
    if (call)
        call(code);
}

void StandIn::onEachControl(std::function<void(uint32_t code)> call) {
    {
        std::lock_guard hold(hookLock);
        hook = std::move(call);
    }
    onControl(&StandIn::runHook, this);
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace kalvix3::testing
