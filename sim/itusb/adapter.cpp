#include "adapter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace simusb {

namespace {

constexpr uint32_t kStatusCode = 17;
constexpr uint32_t kHistoryPageCode = 0x80000010;
constexpr uint32_t kDialStartCode = 0x80000015;
constexpr uint32_t kDialStateCode = 0x80000016;
constexpr uint32_t kDialCancelCode = 0x80000017;
constexpr uint32_t kLineStateCode = 0x80000018;
constexpr uint8_t kEndOfList = 0x4E;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint8_t bcd(int value) { return static_cast<uint8_t>(((value / 10 % 10) << 4) | (value % 10)); }

// A caller as the adapter records it: a reason code and, for 255, the digits.
struct Caller {
    uint8_t reason = 0;
    std::string digits;
};

std::optional<Caller> callerOf(const char *text) {
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    std::string value = text;
    if (value == "P")
        return Caller{0x01, ""};
    if (value == "C")
        return Caller{0x03, ""};
    if (value == "O")
        return Caller{0xFE, ""};
    if (value.size() > 80 || value.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return Caller{0xFF, value};
}

// Digits packed two a byte, first digit in the high nibble.
void packDigits(const std::string &digits, uint8_t *out, size_t room) {
    for (size_t k = 0; k < digits.size() && k / 2 < room; ++k) {
        auto value = static_cast<uint8_t>(digits[k] - '0');
        out[k / 2] |= (k % 2 == 0) ? static_cast<uint8_t>(value << 4) : value;
    }
}

// Port 1, 2, 3 from the dial request's port bit 0x01, 0x04, 0x10.
int portOfBit(uint8_t bit) {
    switch (bit) {
    case 0x01: return 1;
    case 0x04: return 2;
    case 0x10: return 3;
    default: return 0;
    }
}

bool controlArgumentsExpected(uint32_t code, const void *output, uint32_t outputLength,
                              const void *input, uint32_t inputLength, const uint32_t *result1,
                              const uint32_t *result2, uint32_t reserved) {
    if (result1 == nullptr || result2 == nullptr || reserved != 0)
        return false;
    auto shape = [&](uint32_t out, uint32_t in) {
        return outputLength == out && inputLength == in && (out == 0 || output != nullptr) &&
               (in == 0 || input != nullptr);
    };
    switch (code) {
    case kStatusCode: return shape(43, 0);
    case kHistoryPageCode: return shape(390, 2);
    case kDialStartCode:
    case kDialCancelCode: return shape(0, 31) && static_cast<const uint8_t *>(input)[0] == 8;
    case kDialStateCode:
        return shape(1, 2) && static_cast<const uint8_t *>(input)[0] == 8 &&
               static_cast<const uint8_t *>(input)[1] == 0;
    case kLineStateCode: return shape(7, 0);
    default: return false;
    }
}

} // namespace

Adapter::Adapter() {
    if (const char *calls = std::getenv("SIMUSB_CALLS")) {
        std::string list = calls;
        for (size_t start = 0; start <= list.size();) {
            size_t end = std::min(list.find(',', start), list.size());
            if (end > start)
                scriptedCalls.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
    if (const char *file = std::getenv("SIMUSB_LOG"))
        logFile = file;
    if (const char *states = std::getenv("SIMUSB_DIAL_STATES")) {
        std::vector<uint8_t> answers;
        for (const char *at = states; *at != '\0';) {
            char *end = nullptr;
            unsigned long state = std::strtoul(at, &end, 10);
            if (end == at)
                break;
            answers.push_back(static_cast<uint8_t>(state));
            at = *end == ',' ? end + 1 : end;
        }
        if (!answers.empty())
            dialStates = answers;
    }
    if (const char *ones = std::getenv("SIMUSB_LINE_STATE_ONES"))
        lineStateOnes = static_cast<int32_t>(std::strtol(ones, nullptr, 10));
}

Adapter &Adapter::instance() {
    static Adapter adapter;
    return adapter;
}

size_t Adapter::log(int32_t entry, uint32_t code, const void *input, uint32_t inputLength,
                    bool accepted) {
    SimUsbCall call{};
    call.entry = entry;
    call.code = code;
    call.inputLength = inputLength;
    if (input != nullptr)
        std::memcpy(call.input, input, std::min<size_t>(inputLength, sizeof call.input));
    call.atMs = nowMs();
    call.accepted = accepted ? 1 : 0;
    if (!accepted)
        ++bad;
    calls.push_back(call);
    if (!logFile.empty()) {
        if (std::FILE *file = std::fopen(logFile.c_str(), "a")) {
            std::fprintf(file, "%d %08x %u", static_cast<int>(entry), static_cast<unsigned>(code),
                         static_cast<unsigned>(inputLength));
            for (size_t i = 0; i < std::min<size_t>(inputLength, sizeof call.input); ++i)
                std::fprintf(file, " %02x", call.input[i]);
            std::fprintf(file, "\n");
            std::fclose(file);
        }
    }
    return calls.size() - 1;
}

// Writes the request's output, count and block, then signals its event.
void Adapter::complete(Outstanding &request) {
    size_t length = std::min<size_t>(request.data.size(), request.outputLength);
    if (length != 0)
        std::memcpy(request.output, request.data.data(), length);
    *request.count = static_cast<uint32_t>(request.data.size());
    std::memset(request.block, 0, 4);
    request.block[0] = 1; // completed
    signalEvent(request.event);
}

// ---- Ev_USB_Control --------------------------------------------------------------------------

int32_t Adapter::control(uint32_t code, void *output, uint32_t outputLength, const void *input,
                         uint32_t inputLength, uint32_t *result1, uint32_t *result2,
                         uint32_t reserved) {
    uint32_t delay = 0;
    {
        std::lock_guard hold(lock);
        auto found = delays.find(code);
        delay = found == delays.end() ? 0 : found->second;
    }
    if (delay != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));

    int32_t answer = 0;
    std::string scripted;
    SimUsbControlHook callHook = nullptr;
    void *context = nullptr;
    {
        std::lock_guard hold(lock);
        bool expected = controlArgumentsExpected(code, output, outputLength, input, inputLength,
                                                 result1, result2, reserved);
        log(SIMUSB_EV_USB_CONTROL, code, input, inputLength, expected);
        auto failure = std::find_if(failures.begin(), failures.end(), [&](const Failure &f) {
            return f.code == code && f.remaining != 0;
        });
        if (!expected) {
            if (result1 && result2)
                *result1 = *result2 = 0xBAD;
        } else if (failure != failures.end()) {
            if (failure->remaining > 0)
                --failure->remaining;
            *result1 = failure->result1;
            *result2 = failure->result2;
        } else {
            answer = answerControl(code, static_cast<uint8_t *>(output),
                                   static_cast<const uint8_t *>(input))
                         ? 1
                         : 0;
        }
        callHook = hook;
        context = hookContext;
        // A scripted call after every second status read: the host has its baseline (the
        // first read) by then, and sees each call as new on its next read.
        if (code == kStatusCode && expected && !scriptedCalls.empty() &&
            ++statusReads % 2 == 0) {
            scripted = scriptedCalls.front();
            scriptedCalls.pop_front();
        }
    }
    if (callHook != nullptr)
        callHook(context, code);
    if (!scripted.empty())
        placeCall(scripted.c_str());
    return answer;
}

bool Adapter::answerControl(uint32_t code, uint8_t *output, const uint8_t *input) {
    switch (code) {
    case kStatusCode:
        std::memcpy(output, status.data(), status.size());
        return true;
    case kHistoryPageCode:
        std::memcpy(output, pages[input[0] & 0x0F].data(), kPageSize);
        return true;
    case kDialStartCode:
        dialledPort = portOfBit(input[30]);
        dialStateIndex = 0;
        lineStatePolls = 0;
        dialCancelled = false;
        return true;
    case kDialStateCode:
        output[0] = dialStates.empty() ? 1
                                       : dialStates[std::min(dialStateIndex, dialStates.size() - 1)];
        ++dialStateIndex;
        return true;
    case kDialCancelCode:
        dialCancelled = true;
        return true;
    case kLineStateCode: {
        std::memset(output, 0, 7);
        bool ringing =
            !dialCancelled && (lineStateOnes < 0 || lineStatePolls < lineStateOnes);
        if (ringing && dialledPort != 0)
            output[dialledPort] = 1;
        ++lineStatePolls;
        return true;
    }
    default:
        return false;
    }
}

// ---- ITUSB_ entries --------------------------------------------------------------------------

DeviceHandle Adapter::openDevice(uint32_t first, uint32_t mode, uint32_t third, void *block) {
    std::lock_guard hold(lock);
    bool expected = first == 0 && mode == 2 && third == 0 && block != nullptr;
    log(SIMUSB_OPEN_DEVICE, 0, nullptr, 0, expected);
    if (!expected || openFails)
        return 0;
    ++openDevices;
    return kDevice;
}

int32_t Adapter::requestEvent(EventHandle event, DeviceHandle device, uint32_t third,
                              uint32_t fourth, void *record, uint32_t length, uint32_t *count,
                              void *block) {
    std::lock_guard hold(lock);
    bool expected = eventIsOpen(event) && device == kDevice && openDevices > 0 && third == 0 &&
                    fourth == 0 && record != nullptr && length == kEventSize &&
                    count != nullptr && block != nullptr && !eventRequest;
    log(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0, nullptr, 0, expected);
    if (!expected)
        return 0;
    Outstanding request{event, static_cast<uint8_t *>(record), length, count,
                        static_cast<uint8_t *>(block), {}};
    if (!queuedEvents.empty()) {
        request.data.assign(queuedEvents.front().begin(), queuedEvents.front().end());
        queuedEvents.pop_front();
        complete(request);
    } else {
        eventRequest = request;
    }
    return 1;
}

int32_t Adapter::requestBuffer(EventHandle event, uint32_t selector, DeviceHandle device,
                               uint32_t fourth, uint32_t fifth, void *output, uint32_t length,
                               uint32_t *count, void *block) {
    std::lock_guard hold(lock);
    bool expected = eventIsOpen(event) && selector == 20 && device == kDevice &&
                    openDevices > 0 && fourth == 0 && fifth == 0 && output != nullptr &&
                    length == kBufferSize && count != nullptr && block != nullptr;
    log(SIMUSB_READ_BUFFER_REQUEST, 0, nullptr, 0, expected);
    if (!expected)
        return 0;
    Outstanding request{event, static_cast<uint8_t *>(output), length, count,
                        static_cast<uint8_t *>(block), buffer};
    if (holding)
        held.push_back(request);
    else
        complete(request);
    return 1;
}

int32_t Adapter::controlTa(EventHandle event, uint32_t selector, DeviceHandle device,
                           const void *request, uint32_t requestLength, uint8_t *reply,
                           uint32_t replyLength, uint32_t *count, void *block) {
    std::lock_guard hold(lock);
    bool expected = eventIsOpen(event) && selector == 67 && device == kDevice &&
                    openDevices > 0 && request != nullptr && requestLength == kTaRequestSize &&
                    reply != nullptr && replyLength == 1 && *reply == 1 && count != nullptr &&
                    block != nullptr;
    log(SIMUSB_CONTROL_TA, 0, request, request ? requestLength : 0, expected);
    if (!expected)
        return 0;
    Outstanding pending{event, reply, replyLength, count, static_cast<uint8_t *>(block), {0}};
    if (holding)
        held.push_back(pending);
    else
        complete(pending);
    return 1;
}

int32_t Adapter::closeDevice(DeviceHandle device, void *block) {
    std::lock_guard hold(lock);
    bool expected = device == kDevice && openDevices > 0 && block != nullptr;
    size_t index = log(SIMUSB_CLOSE_DEVICE, 0, nullptr, 0, expected);
    if (!expected)
        return 0;
    // Closing ends every outstanding request without writing to it or signalling it.
    int32_t outstanding = 0;
    int32_t eventsOpen = 0;
    auto end = [&](const Outstanding &request) {
        ++outstanding;
        if (eventIsOpen(request.event))
            ++eventsOpen;
    };
    if (eventRequest)
        end(*eventRequest);
    for (const Outstanding &request : held)
        end(request);
    calls[index].outstanding = outstanding;
    calls[index].eventsOpen = eventsOpen;
    eventRequest.reset();
    held.clear();
    --openDevices;
    return 1;
}

// ---- Controls --------------------------------------------------------------------------------

void Adapter::reset() {
    std::lock_guard hold(lock);
    resetLocked();
}

void Adapter::resetLocked() {
    calls.clear();
    bad = 0;
    status.fill(0);
    callCounter = 0;
    queuedEvents.clear();
    holding = false;
    openFails = false;
    history.clear();
    rebuildHistory();
    failures.clear();
    delays.clear();
    dialStates = {1};
    dialStateIndex = 0;
    lineStateOnes = 3;
    lineStatePolls = 0;
    dialledPort = 0;
    dialCancelled = false;
    hook = nullptr;
    hookContext = nullptr;
    // Outstanding requests and open devices belong to whoever made them: left as they are.
}

void Adapter::deliverEvent(const std::array<uint8_t, kEventSize> &record) {
    if (eventRequest) {
        eventRequest->data.assign(record.begin(), record.end());
        complete(*eventRequest);
        eventRequest.reset();
    } else {
        queuedEvents.push_back(record);
    }
}

bool Adapter::placeCall(const char *numberOrReason) {
    std::optional<Caller> caller = callerOf(numberOrReason);
    if (!caller)
        return false;
    std::lock_guard hold(lock);
    status.fill(0);
    status[0] = 1;
    status[1] = caller->reason;
    status[2] = static_cast<uint8_t>(caller->digits.size());
    packDigits(caller->digits, status.data() + 3, 40);
    status[39] = ++callCounter; // every call is a new record
    std::array<uint8_t, kEventSize> record{};
    record[0] = 1;
    record[2] = 1;
    record[3] = caller->reason;
    std::memcpy(record.data() + 5, caller->digits.data(), std::min<size_t>(caller->digits.size(), 15));
    deliverEvent(record);
    return true;
}

void Adapter::setStatusRecord(const uint8_t *record) {
    std::lock_guard hold(lock);
    std::memcpy(status.data(), record, status.size());
}

void Adapter::pushEventRecord(const uint8_t *record) {
    std::array<uint8_t, kEventSize> copy{};
    std::memcpy(copy.data(), record, copy.size());
    std::lock_guard hold(lock);
    deliverEvent(copy);
}

bool Adapter::addHistoryEntry(const char *numberOrReason, const char *timestamp) {
    std::optional<Caller> caller = callerOf(numberOrReason);
    if (!caller || timestamp == nullptr || std::strlen(timestamp) != 14 ||
        std::string(timestamp).find_first_not_of("0123456789") != std::string::npos)
        return false;
    auto field = [&](int at, int width) { return std::stoi(std::string(timestamp + at, width)); };
    HistoryEntry entry{caller->reason, caller->digits, field(0, 4), field(4, 2), field(6, 2),
                       field(8, 2), field(10, 2), field(12, 2)};
    std::lock_guard hold(lock);
    if (history.size() >= 100)
        return false;
    history.push_back(entry);
    rebuildHistory();
    return true;
}

// Both forms of the history from the entries added: calls in order, then an end-of-list mark.
void Adapter::rebuildHistory() {
    for (auto &page : pages) {
        page.fill(0);
        for (size_t e = 0; e < 10; ++e)
            page[39 * e] = kEndOfList;
    }
    std::fill(buffer.begin(), buffer.end(), 0);
    for (size_t i = 0; i < history.size(); ++i) {
        const HistoryEntry &call = history[i];
        if (i < kPages * 10) {
            uint8_t *entry = pages[i / 10].data() + 39 * (i % 10);
            entry[0] = call.reason;
            entry[1] = static_cast<uint8_t>(call.number.size());
            packDigits(call.number, entry + 2, 28);
            entry[30] = bcd(call.year % 100);
            entry[31] = bcd(call.month);
            entry[32] = bcd(call.day);
            entry[34] = bcd(call.hour);
            entry[35] = bcd(call.minute);
            entry[36] = bcd(call.second);
        }
        uint8_t *entry = buffer.data() + 66 * i;
        entry[1] = 1;
        entry[2] = call.reason;
        std::memcpy(entry + 4, call.number.data(), std::min<size_t>(call.number.size(), 15));
        entry[56] = bcd(call.year % 100);
        entry[57] = bcd(call.year / 100);
        entry[58] = bcd(call.month);
        entry[59] = bcd(call.day);
        entry[61] = bcd(call.hour);
        entry[62] = bcd(call.minute);
        entry[63] = bcd(call.second);
    }
    if (history.size() < 100) {
        uint8_t *end = buffer.data() + 66 * history.size();
        end[1] = 1;
        end[2] = kEndOfList;
    }
}

void Adapter::setHistoryPage(int32_t page, const uint8_t *bytes) {
    std::lock_guard hold(lock);
    if (page >= 0 && page < static_cast<int32_t>(kPages))
        std::memcpy(pages[page].data(), bytes, kPageSize);
}

void Adapter::setHistoryBuffer(const uint8_t *bytes) {
    std::lock_guard hold(lock);
    std::memcpy(buffer.data(), bytes, kBufferSize);
}

void Adapter::failControl(uint32_t code, int32_t times, uint32_t result1, uint32_t result2) {
    std::lock_guard hold(lock);
    failures.push_back({code, times, result1, result2});
}

void Adapter::failOpen(bool fail) {
    std::lock_guard hold(lock);
    openFails = fail;
}

void Adapter::holdRequests(bool hold) {
    std::lock_guard guard(lock);
    holding = hold;
}

int32_t Adapter::completeHeld() {
    std::lock_guard hold(lock);
    auto completed = static_cast<int32_t>(held.size());
    for (Outstanding &request : held)
        complete(request);
    held.clear();
    return completed;
}

void Adapter::setControlDelay(uint32_t code, uint32_t ms) {
    std::lock_guard hold(lock);
    delays[code] = ms;
}

void Adapter::setDialStates(const uint8_t *states, int32_t count) {
    std::lock_guard hold(lock);
    dialStates.assign(states, states + std::max(count, 0));
    dialStateIndex = 0;
}

void Adapter::setLineStateOnes(int32_t polls) {
    std::lock_guard hold(lock);
    lineStateOnes = polls;
}

int32_t Adapter::logSize() {
    std::lock_guard hold(lock);
    return static_cast<int32_t>(calls.size());
}

bool Adapter::logEntry(int32_t index, SimUsbCall &call) {
    std::lock_guard hold(lock);
    if (index < 0 || static_cast<size_t>(index) >= calls.size())
        return false;
    call = calls[index];
    return true;
}

int32_t Adapter::callCount(int32_t entry, uint32_t code) {
    std::lock_guard hold(lock);
    return static_cast<int32_t>(std::count_if(calls.begin(), calls.end(), [&](const SimUsbCall &c) {
        return c.entry == entry && (code == 0 || c.code == code);
    }));
}

int32_t Adapter::badCalls() {
    std::lock_guard hold(lock);
    return bad;
}

void Adapter::onControl(SimUsbControlHook callHook, void *context) {
    std::lock_guard hold(lock);
    hook = callHook;
    hookContext = context;
}

} // namespace simusb
