// History and dialing for the NEC Aterm adapters on USB, through what the line's receive thread
// holds: the control entry of a TRecvUSBThread (kinds 32, 34) or the open device of a
// TRecvITMUXThread (kinds 36, 38, 40, 42). Everything runs on the caller's (the host's) thread
// and blocks it; none of it calls into a driver library that the receive thread has released.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "itusb/records.h"
#include "kalvix3.h"
#include "dial/dial_texts.h"
#include "main/digits.h"

namespace kalvix3 {

class UsbLine;
class ItmuxLine;

// ---- Entry points (arguments checked by the caller: count non-null and >= 0, records non-null
// when *count > 0, the slot's kind is one of the reader's or procedure's kinds) -------------

// Kinds 32, 34: pages of ten entries through Ev_USB_Control; *count / 10 pages at most. Returns
// 0 with *count set to the records filled, in the reverse of the adapter's order, or 1 with
// *count unchanged when the thread has no control entry or a page is refused twice. Entries
// without a number or reason give no record and leave no gap.
int32_t ReadUsbHistory(UsbLine &line, int32_t *count, HistoryRecord *records);
// Kinds 36, 38, 40, 42: the whole history in one ITUSB_ReadBufferRequest, waited for at most
// 5 s (a request that does not complete gives 0 records). Collects at most *count records.
// Returns 1 with *count unchanged when the device is not open or the entry is missing.
int32_t ReadItmuxHistory(ItmuxLine &line, int32_t *count, HistoryRecord *records);

// Kinds 32, 34: starts the dial, waits for the adapter to be ready, then shows the dial
// progress dialog (_DialForm) and runs the message pump until the dialled port leaves state 1
// or the user cancels. Failures show a message box owned by the line's host window. The
// dialog is closed and _DialForm null when it returns. telPort outside 1..3 or a number that
// is too long sends nothing. A close of the line from a window procedure run by the pump or a
// message box cancels the dial; the line is closed when DialUsb returns.
void DialUsb(UsbLine &line, int32_t telPort, const DigitText &digits);
// Kinds 36, 38, 40, 42: one ITUSB_Control_TA request, waited for at most 5 s. telPort outside
// 1..3 or a number that is too long sends nothing.
void DialItmux(ItmuxLine &line, int32_t telPort, const DigitText &digits);

// ---- Building blocks ------------------------------------------------------------------------

// The first driver file missing from `directory` for a Windows platform id (2, the NT family,
// needs "\ITUSB.DLL" only; any other id all four files), or null when none is missing. A
// directory of a file's name does not count as the file.
const char *missingDriverFile(const std::string &directory, uint32_t platformId);

// What one history entry gives.
enum class EntryResult { Record, NoRecord, EndOfList };
// A page entry: the reason letter or at most the first 16 digits; date with the century "19"
// for the years 98 and 99 and "20" otherwise. `record` is written only for Record.
EntryResult readPageEntry(const itusb::HistoryPageEntry &entry, HistoryRecord &record);
// A buffer entry: skipped (NoRecord) unless valid; the number field copied as it stands.
EntryResult readBufferEntry(const itusb::HistoryBufferEntry &entry, HistoryRecord &record);

// The requests of a dial, or nullopt when nothing is to be sent (telPort outside 1..3, or the
// number too long).
std::optional<itusb::UsbDialRequest> usbDialRequestFor(const DigitText &digits, int32_t telPort);
std::optional<itusb::TaDialRequest> taDialRequestFor(const DigitText &digits, int32_t telPort);

// The message box texts of a refused dial (code page 932).
inline constexpr const char *kDialFailedText = kDialFailed;                    // "ダイヤル発信失敗"
inline constexpr const char *kDialNotReadyText = kDialFailedPutDownHandset; // the same, LF, "受話器を…"

// How long DialUsb asks for the dial state before it withdraws the request, whatever the
// adapter answers meanwhile: a busy adapter is asked again every half second, any other state
// after a short pause.
inline constexpr uint32_t kDialStateLimitMs = 60000;
inline constexpr uint32_t kDialStatePollMs = 500;     // state 2: the adapter is busy
inline constexpr uint32_t kUnknownDialStatePauseMs = 10;
// The limit DialUsb applies: kDialStateLimitMs, unless a test shortens it.
extern std::atomic<uint32_t> dialStateLimitMs;

} // namespace kalvix3
