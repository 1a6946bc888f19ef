// The simulated adapter behind the stand-in's driver entries. One instance per loaded
// stand-in; every operation takes its lock, so the entries may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "simusb.h"

namespace simusb {

using EventHandle = intptr_t;   // an event HANDLE (Windows) or an eventfd descriptor (POSIX)
using DeviceHandle = uintptr_t;

// Platform helpers (one file per platform).
void signalEvent(EventHandle event); // SetEvent / write a 64-bit 1
bool eventIsOpen(EventHandle event); // the handle or descriptor is still valid

class Adapter {
public:
    static Adapter &instance();
    Adapter(); // reads the environment's script (see simusb.h)

    // ---- Driver entries ------------------------------------------------------------------
    int32_t control(uint32_t code, void *output, uint32_t outputLength, const void *input,
                    uint32_t inputLength, uint32_t *result1, uint32_t *result2,
                    uint32_t reserved);
    DeviceHandle openDevice(uint32_t first, uint32_t mode, uint32_t third, void *block);
    int32_t requestEvent(EventHandle event, DeviceHandle device, uint32_t third, uint32_t fourth,
                         void *record, uint32_t length, uint32_t *count, void *block);
    int32_t requestBuffer(EventHandle event, uint32_t selector, DeviceHandle device,
                          uint32_t fourth, uint32_t fifth, void *buffer, uint32_t length,
                          uint32_t *count, void *block);
    int32_t controlTa(EventHandle event, uint32_t selector, DeviceHandle device,
                      const void *request, uint32_t requestLength, uint8_t *reply,
                      uint32_t replyLength, uint32_t *count, void *block);
    int32_t closeDevice(DeviceHandle device, void *block);

    // ---- Controls (SimUsb_) --------------------------------------------------------------
    void reset();
    bool placeCall(const char *numberOrReason);
    void setStatusRecord(const uint8_t *record);
    void pushEventRecord(const uint8_t *record);
    bool addHistoryEntry(const char *numberOrReason, const char *timestamp);
    void setHistoryPage(int32_t page, const uint8_t *bytes);
    void setHistoryBuffer(const uint8_t *bytes);
    void failControl(uint32_t code, int32_t times, uint32_t result1, uint32_t result2);
    void failOpen(bool fail);
    void holdRequests(bool hold);
    int32_t completeHeld();
    void setControlDelay(uint32_t code, uint32_t ms);
    void setDialStates(const uint8_t *states, int32_t count);
    void setLineStateOnes(int32_t polls);
    int32_t logSize();
    bool logEntry(int32_t index, SimUsbCall &call);
    int32_t callCount(int32_t entry, uint32_t code);
    int32_t badCalls();
    void onControl(SimUsbControlHook hook, void *context);

private:
    static constexpr DeviceHandle kDevice = 0x5A17;
    static constexpr size_t kStatusSize = 43, kEventSize = 67, kPageSize = 390;
    static constexpr size_t kPages = 16, kBufferSize = 6600, kTaRequestSize = 54;

    // A request that has not completed: where its output goes and what it will be.
    struct Outstanding {
        EventHandle event = -1;
        uint8_t *output = nullptr;
        uint32_t outputLength = 0;
        uint32_t *count = nullptr;
        uint8_t *block = nullptr;
        std::vector<uint8_t> data;
    };
    struct Failure {
        uint32_t code;
        int32_t remaining; // < 0: for ever
        uint32_t result1, result2;
    };
    struct HistoryEntry {
        uint8_t reason;
        std::string number;
        int year, month, day, hour, minute, second;
    };

    void resetLocked();
    size_t log(int32_t entry, uint32_t code, const void *input, uint32_t inputLength,
               bool accepted);
    static void complete(Outstanding &request);
    bool answerControl(uint32_t code, uint8_t *output, const uint8_t *input);
    void deliverEvent(const std::array<uint8_t, kEventSize> &record);
    void rebuildHistory();

    std::mutex lock;
    std::vector<SimUsbCall> calls;
    int32_t bad = 0;
    std::array<uint8_t, kStatusSize> status{};
    uint8_t callCounter = 0;
    std::deque<std::array<uint8_t, kEventSize>> queuedEvents;
    std::optional<Outstanding> eventRequest;
    std::vector<Outstanding> held;
    bool holding = false;
    bool openFails = false;
    int openDevices = 0;
    std::vector<HistoryEntry> history;
    std::array<std::array<uint8_t, kPageSize>, kPages> pages{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kBufferSize);
    std::vector<Failure> failures;
    std::map<uint32_t, uint32_t> delays;
    std::vector<uint8_t> dialStates;
    size_t dialStateIndex = 0;
    int32_t lineStateOnes = 3;
    int32_t lineStatePolls = 0;
    int dialledPort = 0;
    bool dialCancelled = false;
    SimUsbControlHook hook = nullptr;
    void *hookContext = nullptr;
    // From the environment, for a host in another process: calls to place, the log's file.
    std::deque<std::string> scriptedCalls;
    int32_t statusReads = 0;
    std::string logFile;
};

} // namespace simusb
