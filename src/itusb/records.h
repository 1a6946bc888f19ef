// The records exchanged with ITUSB.DLL, byte for byte. Every record is byte-packed; fields the
// library does not read are kept as padding so the sizes and offsets match the driver's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kalvix3::itusb {

// ---- Ev_USB_Control codes (kinds 32, 34) ----------------------------------------------------
inline constexpr uint32_t kCallerStatusCode = 17;         // out: CallerStatusRecord
inline constexpr uint32_t kHistoryPageCode = 0x80000010;  // out: HistoryPage, in: PageRequest
inline constexpr uint32_t kDialStartCode = 0x80000015;    // in: UsbDialRequest
inline constexpr uint32_t kDialStateCode = 0x80000016;    // out: 1 byte, in: DialStateRequest
inline constexpr uint32_t kDialCancelCode = 0x80000017;   // in: the UsbDialRequest of the dial
inline constexpr uint32_t kLineStateCode = 0x80000018;    // out: LineState

// ---- Reason codes: whether a number follows, or why there is none ---------------------------
inline constexpr uint8_t kReasonOutOfArea = 0x00;
inline constexpr uint8_t kReasonWithheld = 0x01;
inline constexpr uint8_t kReasonNoNumber = 0x02;
inline constexpr uint8_t kReasonPublicPhone = 0x03;
inline constexpr uint8_t kReasonEndOfList = 0x4E; // 'N': nothing here (history: nor after)
inline constexpr uint8_t kReasonUnavailable = 0xFE;
inline constexpr uint8_t kReasonNumber = 0xFF;

// The character of one packed digit: '0' plus its value, so 10..15 give ':' to '?'.
constexpr char digitCharacter(uint8_t nibble) { return static_cast<char>('0' + (nibble & 0x0F)); }
// Digit k of a packed run: the high nibble of byte k/2 for even k, the low nibble for odd k.
constexpr uint8_t packedDigit(const uint8_t *packed, size_t k) {
    uint8_t pair = packed[k / 2];
    return (k % 2 == 0) ? static_cast<uint8_t>(pair >> 4) : static_cast<uint8_t>(pair & 0x0F);
}

#pragma pack(push, 1)

// Output of Ev_USB_Control code 17: the adapter's caller status.
struct CallerStatusRecord {
    uint8_t reportFlag;  // 0: only a record whose byte 0 is 1 is reported
    uint8_t reason;      // 1: reason code
    uint8_t digitCount;  // 2: reason 255: number of digits
    uint8_t digits[40];  // 3..42: reason 255: packed digits
};
// Bytes 1 to 37 and byte 39 tell a new status from the last one; 0, 38 and 40..42 do not.
inline constexpr size_t kStatusComparedFirst = 1;
inline constexpr size_t kStatusComparedLast = 37;
inline constexpr size_t kStatusComparedExtra = 39;

// Output of ITUSB_EventNotificationRequest: one adapter event.
struct EventRecord {
    uint8_t reportFlag;  // 0: must be 1
    uint8_t unused1;
    uint8_t callerFlag;  // 2: must be 1
    uint8_t reason;      // 3: reason code
    uint8_t unused4;
    char number[15];     // 5..19: reason 255: the number as text, zero-padded
    uint8_t unused20[47];
};

// One entry of a history page (Ev_USB_Control code 0x80000010).
struct HistoryPageEntry {
    uint8_t reason;      // 0
    uint8_t digitCount;  // 1: reason 255
    uint8_t digits[28];  // 2..29: packed digits
    uint8_t year;        // 30: BCD, two digits
    uint8_t month;       // 31: BCD
    uint8_t day;         // 32: BCD
    uint8_t unused33;
    uint8_t hour;        // 34: BCD
    uint8_t minute;      // 35: BCD
    uint8_t second;      // 36: BCD
    uint8_t unused37[2];
};
inline constexpr size_t kPageEntries = 10;
struct HistoryPage {
    HistoryPageEntry entries[kPageEntries];
};
// Input of code 0x80000010: the page number in its low four bits.
struct PageRequest {
    uint8_t page;
    uint8_t zero;
};

// One entry of the history buffer (ITUSB_ReadBufferRequest).
struct HistoryBufferEntry {
    uint8_t unused0;
    uint8_t valid;       // 1: the entry holds a call
    uint8_t reason;      // 2: reason code
    uint8_t unused3;
    char number[15];     // 4..18: reason 255: the number as text, zero-padded
    uint8_t unused19[37];
    uint8_t yearLow;     // 56: BCD, the year's last two digits
    uint8_t century;     // 57: BCD, the year's first two digits
    uint8_t month;       // 58: BCD
    uint8_t day;         // 59: BCD
    uint8_t unused60;
    uint8_t hour;        // 61: BCD
    uint8_t minute;      // 62: BCD
    uint8_t second;      // 63: BCD
    uint8_t unused64[2];
};
inline constexpr size_t kBufferEntries = 100;
struct HistoryBuffer {
    HistoryBufferEntry entries[kBufferEntries];
};

// Input of codes 0x80000015 and 0x80000017: the number and the telephone port to ring.
struct UsbDialRequest {
    uint8_t marker;      // 0: always 8
    uint8_t digitCount;  // 1
    uint8_t digits[28];  // 2..29: digit values, packed two a byte, high nibble first
    uint8_t portBit;     // 30: port 1 → 0x01, 2 → 0x04, 3 → 0x10
};
inline constexpr uint8_t kUsbDialMarker = 8;
// Input of code 0x80000016.
struct DialStateRequest {
    uint8_t marker;      // 8
    uint8_t zero;
};
// Output of code 0x80000018: byte p is the state of telephone port p (1..3).
struct LineState {
    uint8_t port[7];
};

// Input of ITUSB_Control_TA: the number as text and the port's index.
struct TaDialRequest {
    uint8_t digitCount;  // 0
    char digits[52];     // 1..52: digit characters
    uint8_t portIndex;   // 53: telephone port minus 1
};

// Passed by address with every ITUSB_ call; zero-filled by the caller.
struct RequestBlock {
    uint8_t bytes[28];
};

#pragma pack(pop)

static_assert(sizeof(CallerStatusRecord) == 43);
static_assert(offsetof(CallerStatusRecord, digits) == 3);
static_assert(sizeof(EventRecord) == 67);
static_assert(offsetof(EventRecord, reason) == 3 && offsetof(EventRecord, number) == 5);
static_assert(offsetof(EventRecord, unused20) == 20);
static_assert(sizeof(HistoryPageEntry) == 39);
static_assert(offsetof(HistoryPageEntry, year) == 30 && offsetof(HistoryPageEntry, hour) == 34);
static_assert(sizeof(HistoryPage) == 390);
static_assert(sizeof(PageRequest) == 2);
static_assert(sizeof(HistoryBufferEntry) == 66);
static_assert(offsetof(HistoryBufferEntry, number) == 4);
static_assert(offsetof(HistoryBufferEntry, yearLow) == 56);
static_assert(offsetof(HistoryBufferEntry, hour) == 61);
static_assert(sizeof(HistoryBuffer) == 6600);
static_assert(sizeof(UsbDialRequest) == 31 && offsetof(UsbDialRequest, portBit) == 30);
static_assert(sizeof(DialStateRequest) == 2);
static_assert(sizeof(LineState) == 7);
static_assert(sizeof(TaDialRequest) == 54 && offsetof(TaDialRequest, portIndex) == 53);
static_assert(sizeof(RequestBlock) == 28);

} // namespace kalvix3::itusb
