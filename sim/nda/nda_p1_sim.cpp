#include "nda_p1_sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "nda_port.h"

namespace {

struct SimulatedNda {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> entries;
    bool failInit = false;
    bool failHistory = false;
    int initCalls = 0, exitCalls = 0, historyCalls = 0;
    std::string lastPort;
    bool portOpened = false;
    uint8_t settings[11] = {};
    sim_nda::HeldPort port;
};

// Lives as long as the loaded library: the library under test loads and frees NDA_P1.dll for
// every read, and state left on the heap at each unload would be lost for good.
SimulatedNda &device() {
    static SimulatedNda state;
    return state;
}

} // namespace

extern "C" {

int SIM_NDA_CALL NDA_Init(const char *portName, const void *settings) {
    SimulatedNda &nda = device();
    std::lock_guard<std::mutex> hold(nda.lock);
    ++nda.initCalls;
    nda.lastPort = portName ? portName : "";
    if (settings)
        std::memcpy(nda.settings, settings, sizeof nda.settings);
    nda.portOpened = nda.port.open(nda.lastPort);
    if (nda.failInit || !nda.portOpened) {
        nda.port.close();
        return 0;
    }
    return 1;
}

void SIM_NDA_CALL NDA_Exit(void) {
    SimulatedNda &nda = device();
    std::lock_guard<std::mutex> hold(nda.lock);
    ++nda.exitCalls;
    nda.port.close();
}

int SIM_NDA_CALL NDA_GetHistoryData(void *entries, int32_t *) {
    SimulatedNda &nda = device();
    std::lock_guard<std::mutex> hold(nda.lock);
    ++nda.historyCalls;
    if (nda.failHistory || !nda.port.isOpen())
        return 0;
    auto *out = static_cast<uint8_t *>(entries);
    size_t count = std::min<size_t>(nda.entries.size(), SIM_NDA_MAX_ENTRIES);
    for (size_t i = 0; i < count; ++i)
        std::memcpy(out + i * SIM_NDA_ENTRY_SIZE, nda.entries[i].data(), SIM_NDA_ENTRY_SIZE);
    return 1;
}

void SIM_NDA_CALL SimNda_Reset(void) {
    SimulatedNda &nda = device();
    std::lock_guard<std::mutex> hold(nda.lock);
    nda.entries.clear();
    nda.failInit = nda.failHistory = false;
    nda.initCalls = nda.exitCalls = nda.historyCalls = 0;
    nda.lastPort.clear();
    nda.portOpened = false;
    std::memset(nda.settings, 0, sizeof nda.settings);
    nda.port.close();
}

void SIM_NDA_CALL SimNda_AddRawEntry(const void *entry36) {
    SimulatedNda &nda = device();
    std::lock_guard<std::mutex> hold(nda.lock);
    const auto *bytes = static_cast<const uint8_t *>(entry36);
    nda.entries.emplace_back(bytes, bytes + SIM_NDA_ENTRY_SIZE);
}

void SIM_NDA_CALL SimNda_AddEntry(const char *number, int month, int day, int hour, int minute) {
    uint8_t entry[SIM_NDA_ENTRY_SIZE] = {};
    std::strncpy(reinterpret_cast<char *>(entry), number ? number : "", 23);
    char stamp[13];
    std::snprintf(stamp, sizeof stamp, "%02d/%02d %02d:%02d", month % 100, day % 100, hour % 100,
                  minute % 100);
    std::memcpy(entry + 24, stamp, 11); // MM at 24, DD at 27, hh at 30, mm at 33
    SimNda_AddRawEntry(entry);
}

void SIM_NDA_CALL SimNda_FailInit(int fail) {
    std::lock_guard<std::mutex> hold(device().lock);
    device().failInit = fail != 0;
}

void SIM_NDA_CALL SimNda_FailHistory(int fail) {
    std::lock_guard<std::mutex> hold(device().lock);
    device().failHistory = fail != 0;
}

int SIM_NDA_CALL SimNda_Calls(const char *entryName) {
    SimulatedNda &nda = device();
    std::lock_guard<std::mutex> hold(nda.lock);
    std::string name = entryName ? entryName : "";
    if (name == "NDA_Init")
        return nda.initCalls;
    if (name == "NDA_Exit")
        return nda.exitCalls;
    if (name == "NDA_GetHistoryData")
        return nda.historyCalls;
    return -1;
}

const char *SIM_NDA_CALL SimNda_LastPort(void) { return device().lastPort.c_str(); }

int SIM_NDA_CALL SimNda_PortOpened(void) { return device().portOpened ? 1 : 0; }

const uint8_t *SIM_NDA_CALL SimNda_LastSettings(void) { return device().settings; }

} // extern "C"
