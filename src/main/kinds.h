// The kind table: one row per device kind of the catalogue, holding everything the library
// decides by kind. GetKinds2, opening, closing, history and dialing all read it; nothing else
// in the library tells kinds or families apart.
//
// A row is the catalogue row (name, history size, dial flags, USB driver), the family (how the
// line is opened and closed: serial profile, frame test and parser, or a USB receive thread),
// the initialisation sequence, the history reader and the dial procedure. A reader or dial
// procedure takes the kind of line its family opens, so a row cannot pair them wrongly; the
// catalogue's history and dial columns are checked against them where the table is defined.
//
// Supporting one more adapter of an existing family is one more row.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <variant>

#include "kalvix3.h"
#include "main/catalogue.h"
#include "platform/serial_port.h"
#include "recv/frames.h"
#include "recv/init_sequences.h"

namespace kalvix3 {

class Line;
class SerialLine;
class UsbLine;
class ItmuxLine;
struct DigitText;
struct KindRow;

// What differs between the four serial profiles (Profile9600, Profile4800, Profile38400,
// Profile19200: see serial_line.h).
struct SerialProfile {
    uint32_t baudRate;
    uint8_t byteSize;
    uint8_t parity;
    uint8_t fParity;
    uint8_t fOutxCtsFlow;
    uint8_t fDtrControl;
    uint8_t fRtsControl;
    bool raiseDtr; // SETDTR after the mask (NDA-P1), failing with 7
};

// What an open is asked for, and what it gives.
struct LineRequest {
    Kalvix3Window hostWindow;
    int32_t port; // serial kinds: COM1..COM9; USB kinds ignore it
};
// The opener places its line in the slot's entry before it starts the line's receive thread, so
// a notification from that thread (whose window procedure may call back) finds it there.
struct LineOpening {
    std::unique_ptr<Line> &line;    // the slot's entry: the open line when the result is KALVIX3_OK
    platform::OpenError portError;  // why the port could not be opened (result 1)
};
// Opens a line of the row's kind; returns 0 or an OpenCommLineEx result code.
using LineOpener = int32_t (*)(const KindRow &row, const LineRequest &request,
                               LineOpening &opening);

enum class LineType { Serial, Usb, Itmux };

// A device family: the line it opens and how that line runs and closes.
struct Family {
    const char *name;
    LineType lineType;
    LineOpener open;
    const SerialProfile *profile; // serial families only
    const FrameRules *frames;     // serial families only
    bool resetOnClose;            // "ATZ" before the closing purge (MN128)
    bool lowerDtrOnClose;         // DTR down once the thread has ended (NDA-P1)
};

// History readers and dial procedures, by the kind of line they work on. The index of an
// alternative is 1 + the LineType it serves; 0 (monostate) means none.
using SerialHistoryReader = int32_t (*)(SerialLine &line, int32_t *count, HistoryRecord *records);
using UsbHistoryReader = int32_t (*)(UsbLine &line, int32_t *count, HistoryRecord *records);
using ItmuxHistoryReader = int32_t (*)(ItmuxLine &line, int32_t *count, HistoryRecord *records);
using HistoryReader =
    std::variant<std::monostate, SerialHistoryReader, UsbHistoryReader, ItmuxHistoryReader>;

using SerialDial = void (*)(SerialLine &line, int32_t telPort, const DigitText &digits);
using UsbDial = void (*)(UsbLine &line, int32_t telPort, const DigitText &digits);
using ItmuxDial = void (*)(ItmuxLine &line, int32_t telPort, const DigitText &digits);
using DialProcedure = std::variant<std::monostate, SerialDial, UsbDial, ItmuxDial>;

struct KindRow {
    CatalogueRow catalogue;
    const Family *family;
    const InitSequence *init; // null: the device needs none
    HistoryReader history;
    DialProcedure dial;

    int32_t kind() const { return catalogue.kind; }
    constexpr bool hasHistoryReader() const { return history.index() != 0; }
    constexpr bool hasDialProcedure() const { return dial.index() != 0; }
};

// Every row, in catalogue order (46).
std::span<const KindRow> kindTable();
// The row of a kind, or null for a kind that is not in the catalogue.
const KindRow *kindRow(int32_t kind);

// By kind number, for the tests, benchmarks and fuzz targets of the serial formats: the frame
// rules (null for kinds without a serial family) and the initialisation sequence (null: none),
// and the frame test and parser through them (no frame / an empty result without rules).
const FrameRules *frameRulesOf(int32_t kind);
const InitSequence *initSequenceFor(int32_t kind);
bool frameComplete(int32_t kind, bool historyMode, std::string_view text);
void parseFrame(int32_t kind, std::string_view text, ParsedFrame &result);

} // namespace kalvix3
