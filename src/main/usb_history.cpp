// The call history of the NEC Aterm adapters on USB: pages of ten through Ev_USB_Control
// (kinds 32, 34) or the whole list through ITUSB_ReadBufferRequest (kinds 36, 38, 40, 42).
// Both hand the records over in the reverse of the adapter's order.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "itusb/itusb.h"
#include "main/usb_access.h"
#include "main/usb_lines.h"

namespace kalvix3 {

using itusb::HistoryBufferEntry;
using itusb::HistoryPageEntry;

namespace {

// Page numbers have four bits: a later page would read an earlier one again.
constexpr int32_t kMaxPages = 16;

// Two characters of a BCD byte: high nibble, then low nibble, each plus '0'.
void writeBcd(char *out, uint8_t value) {
    out[0] = static_cast<char>('0' + (value >> 4));
    out[1] = static_cast<char>('0' + (value & 0x0F));
}

const char *reasonLetter(uint8_t reason) {
    switch (reason) {
    case itusb::kReasonWithheld:
        return "P";
    case itusb::kReasonPublicPhone:
        return "C";
    case itusb::kReasonOutOfArea:
    case itusb::kReasonNoNumber:
    case itusb::kReasonUnavailable:
        return "O";
    default:
        return nullptr;
    }
}

void writeTime(HistoryRecord &record, uint8_t hour, uint8_t minute, uint8_t second) {
    writeBcd(record.time, hour);
    writeBcd(record.time + 2, minute);
    writeBcd(record.time + 4, second);
}

// Copies the records found into the host's array, last found first; returns how many.
int32_t handOverReversed(const std::vector<HistoryRecord> &found, HistoryRecord *records) {
    int32_t n = static_cast<int32_t>(found.size());
    for (int32_t k = 0; k < n; ++k)
        records[k] = found[n - 1 - k];
    return n;
}

bool readHistoryPage(TRecvUSBThread &thread, int32_t pageNumber, itusb::HistoryPage &page) {
    itusb::PageRequest request{static_cast<uint8_t>(pageNumber & 0x0F), 0};
    for (int attempt = 0; attempt < 2; ++attempt) { // a refused page is asked for once more
        std::memset(&page, 0, sizeof page);
        int32_t returned = 0;
        if (thread.control(itusb::kHistoryPageCode, &page, sizeof page, &request, sizeof request,
                           returned) &&
            returned != 0)
            return true;
    }
    return false;
}

struct HistoryBufferRequest : itusb::PendingRequest {
    itusb::HistoryBuffer buffer{};
};

} // namespace

EntryResult readPageEntry(const HistoryPageEntry &entry, HistoryRecord &record) {
    if (entry.reason == itusb::kReasonEndOfList)
        return EntryResult::EndOfList;
    HistoryRecord built{};
    if (entry.reason == itusb::kReasonNumber) {
        // The number field holds 16 characters; longer numbers keep their first 16 digits.
        size_t digits = std::min<size_t>(entry.digitCount, sizeof built.number);
        for (size_t k = 0; k < digits; ++k)
            built.number[k] = itusb::digitCharacter(itusb::packedDigit(entry.digits, k));
    } else if (const char *letter = reasonLetter(entry.reason)) {
        built.number[0] = letter[0];
    }
    if (built.number[0] == '\0')
        return EntryResult::NoRecord;
    bool lastCentury = entry.year == 0x98 || entry.year == 0x99;
    std::memcpy(built.date, lastCentury ? "19" : "20", 2);
    writeBcd(built.date + 2, entry.year);
    writeBcd(built.date + 4, entry.month);
    writeBcd(built.date + 6, entry.day);
    writeTime(built, entry.hour, entry.minute, entry.second);
    record = built;
    return EntryResult::Record;
}

EntryResult readBufferEntry(const HistoryBufferEntry &entry, HistoryRecord &record) {
    if (entry.valid != 1)
        return EntryResult::NoRecord;
    if (entry.reason == itusb::kReasonEndOfList)
        return EntryResult::EndOfList;
    HistoryRecord built{};
    if (entry.reason == itusb::kReasonNumber)
        std::memcpy(built.number, entry.number, sizeof entry.number);
    else if (const char *letter = reasonLetter(entry.reason))
        built.number[0] = letter[0];
    if (built.number[0] == '\0')
        return EntryResult::NoRecord;
    writeBcd(built.date, entry.century);
    writeBcd(built.date + 2, entry.yearLow);
    writeBcd(built.date + 4, entry.month);
    writeBcd(built.date + 6, entry.day);
    writeTime(built, entry.hour, entry.minute, entry.second);
    record = built;
    return EntryResult::Record;
}

int32_t ReadUsbHistory(UsbLine &line, int32_t *count, HistoryRecord *records) {
    TRecvUSBThread *thread = line.isOpen() ? &line.receiver() : nullptr;
    if (thread == nullptr || !thread->controlAvailable())
        return KALVIX3_HISTORY_FAILED;
    std::vector<HistoryRecord> found;
    int32_t pages = std::min(*count / static_cast<int32_t>(itusb::kPageEntries), kMaxPages);
    bool endOfList = false;
    for (int32_t j = 0; j < pages && !endOfList; ++j) {
        auto page = std::make_unique<itusb::HistoryPage>();
        if (!readHistoryPage(*thread, j, *page))
            return KALVIX3_HISTORY_FAILED; // the pages read before are dropped
        for (const HistoryPageEntry &entry : page->entries) {
            HistoryRecord record;
            EntryResult result = readPageEntry(entry, record);
            if (result == EntryResult::EndOfList) {
                endOfList = true;
                break;
            }
            if (result == EntryResult::Record)
                found.push_back(record);
        }
    }
    *count = handOverReversed(found, records);
    return KALVIX3_OK;
}

int32_t ReadItmuxHistory(ItmuxLine &line, int32_t *count, HistoryRecord *records) {
    TRecvITMUXThread *thread = line.isOpen() ? &line.receiver() : nullptr;
    if (thread == nullptr)
        return KALVIX3_HISTORY_FAILED;
    bool requested = false;
    std::unique_ptr<HistoryBufferRequest> completed;
    thread->withDevice([&](ItmuxDevice &device) {
        auto readBuffer = itusb::lookUp<itusb::ReadBufferRequestEntry>(
            device.library, itusb::kReadBufferRequestName);
        if (readBuffer == nullptr)
            return;
        auto request = std::make_unique<HistoryBufferRequest>();
        if (!request->event.valid())
            return;
        requested = true;
        readBuffer(request->event.native(), itusb::kReadBufferSelector, device.device, 0, 0,
                   &request->buffer, sizeof request->buffer, &request->count, &request->block);
        if (device.waitOrKeep(request, itusb::kRequestWaitMs))
            completed = std::move(request);
    });
    if (!requested)
        return KALVIX3_HISTORY_FAILED;
    std::vector<HistoryRecord> found;
    if (completed) { // a request that did not complete in time gives no records
        for (const HistoryBufferEntry &entry : completed->buffer.entries) {
            if (static_cast<int32_t>(found.size()) >= *count)
                break;
            HistoryRecord record;
            EntryResult result = readBufferEntry(entry, record);
            if (result == EntryResult::EndOfList)
                break;
            if (result == EntryResult::Record)
                found.push_back(record);
        }
    }
    *count = handOverReversed(found, records);
    return KALVIX3_OK;
}

} // namespace kalvix3
