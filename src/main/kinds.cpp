#include "main/kinds.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "main/procedures.h"
#include "main/serial_line.h"
#include "main/usb_lines.h"

namespace kalvix3 {

namespace {

// The families. Serial families differ in profile, frames and closing; the USB families in the
// receive thread their line runs.
constexpr Family kNumberDisplay{"NTT number display", LineType::Serial, openSerialLine,
                                &Profile9600, &kStxFrames, false, false};
constexpr Family kNdaP1{"I-O DATA NDA-P1", LineType::Serial, openSerialLine, &Profile4800,
                        &kNdaFrames, false, true};
constexpr Family kFsk{"FSK caller-ID box", LineType::Serial, openSerialLine, &Profile38400,
                      &kFskFrames, false, false};
constexpr Family kAlexon{"ALEXON", LineType::Serial, openSerialLine, &Profile19200,
                         &kAlexonFrames, false, false};
constexpr Family kInsMate{"NTT INS-Mate", LineType::Serial, openSerialLine, &Profile19200,
                          &kAnalogFrames, false, false};
constexpr Family kAtermSerial{"NEC Aterm (serial)", LineType::Serial, openSerialLine,
                              &Profile19200, &kAnalogFrames, false, false};
constexpr Family kMn128{"NTT-ME MN128", LineType::Serial, openSerialLine, &Profile19200,
                        &kRingFrames, true, false};
constexpr Family kAtermUsb{"NEC Aterm (USB, polled)", LineType::Usb, openUsbLine, nullptr,
                           nullptr, false, false};
constexpr Family kAtermItmux{"NEC Aterm (USB, ITMUX)", LineType::Itmux, openItmuxLine, nullptr,
                             nullptr, false, false};

// Catalogue order; names are code page 932 bytes, written as octal escapes so that the source
// stays plain ASCII. Columns: catalogue row {name, kind, historySize, dialFlags, usbDriver},
// family, initialisation sequence, history reader, dial procedure. A new kind is one more row,
// before the last two (which only the full list reports).
constexpr KindRow kKinds[] = {
    // NTT ナンバーディスプレイアダプタ20
    {{"NTT \203i\203\223\203o\201[\203f\203B\203X\203v\203\214\203C\203A\203_\203v\203^20", 1, 0, 0, 0},
     &kNumberDisplay, nullptr, ReadSerialHistory, {}},
    // NTT ナンバーディスプレイアダプタ30
    {{"NTT \203i\203\223\203o\201[\203f\203B\203X\203v\203\214\203C\203A\203_\203v\203^30", 2, 30, 0, 0},
     &kNumberDisplay, nullptr, ReadSerialHistory, {}},
    // I-O DATA NDA-P1
    {{"I-O DATA NDA-P1", 3, 10, 0, 0},
     &kNdaP1, nullptr, ReadNdaHistory, {}},
    // 日興電機製作所 アロハPC1
    {{"\223\372\213\273\223d\213@\220\273\215\354\217\212 \203A\203\215\203nPC1", 4, 0, 0, 0},
     &kNumberDisplay, nullptr, ReadSerialHistory, {}},
    // 日興電機製作所 アロハUSB
    {{"\223\372\213\273\223d\213@\220\273\215\354\217\212 \203A\203\215\203nUSB", 7, 0, 0, 0},
     &kNumberDisplay, nullptr, ReadSerialHistory, {}},
    // エフシステムズ FS-A01
    {{"\203G\203t\203V\203X\203e\203\200\203Y FS-A01", 5, 0, 0, 0},
     &kFsk, nullptr, {}, {}},
    // エフシステムズ FS-A02
    {{"\203G\203t\203V\203X\203e\203\200\203Y FS-A02", 8, 0, 0, 0},
     &kFsk, nullptr, {}, {}},
    // IT住宅研究所 USBCID3-JP
    {{"IT\217Z\221\356\214\244\213\206\217\212 USBCID3-JP", 6, 0, 0, 0},
     &kFsk, nullptr, {}, {}},
    // ALEXON ALEX-TD503α
    {{"ALEXON ALEX-TD503\203\277", 15, 0, 0x8007, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD603
    {{"ALEXON ALEX-TD603", 19, 0, 0x8007, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD601
    {{"ALEXON ALEX-TD601", 22, 0, 0x8007, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD451
    {{"ALEXON ALEX-TD451", 23, 0, 0x8003, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD101
    {{"ALEXON ALEX-TD101", 24, 0, 0x8003, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD121
    {{"ALEXON ALEX-TD121", 25, 0, 0x8003, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD480
    {{"ALEXON ALEX-TD480", 26, 0, 0x8003, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD580
    {{"ALEXON ALEX-TD580", 27, 0, 0x8007, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD680
    {{"ALEXON ALEX-TD680", 28, 0, 0x8007, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TD780
    {{"ALEXON ALEX-TD780", 29, 0, 0x8007, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-TDC200
    {{"ALEXON ALEX-TDC200", 60, 0, 0x8003, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // NTT INSメイトV-8DSU
    {{"NTT INS\203\201\203C\203gV-8DSU", 13, 0, 0, 0},
     &kInsMate, &kInsMateSmallInit, {}, {}},
    // NTT INSメイトD-4
    {{"NTT INS\203\201\203C\203gD-4", 16, 0, 0, 0},
     &kInsMate, &kInsMateSmallInit, {}, {}},
    // NTT INSメイトV-30DSU
    {{"NTT INS\203\201\203C\203gV-30DSU", 17, 0, 0x8003, 0},
     &kInsMate, &kInsMateSmallInit, {}, DialAtBang},
    // NTT INSメイトV30Tower
    {{"NTT INS\203\201\203C\203gV30Tower", 20, 0, 0x8003, 0},
     &kInsMate, &kInsMateSmallInit, {}, DialAtBang},
    // NTT INSメイトV30Slim
    {{"NTT INS\203\201\203C\203gV30Slim", 70, 0, 0x8003, 0},
     &kInsMate, &kInsMateSmallInit, {}, DialAtBang},
    // NTT INSメイトV-70DSU
    {{"NTT INS\203\201\203C\203gV-70DSU", 18, 0, 0x8007, 0},
     &kInsMate, &kThreeChannelInit, {}, DialAtBang},
    // NTT INSメイトV70MAX
    {{"NTT INS\203\201\203C\203gV70MAX", 21, 0, 0, 0},
     &kInsMate, &kThreeChannelInit, {}, {}},
    // NTT INSメイトV70G-MAX
    {{"NTT INS\203\201\203C\203gV70G-MAX", 71, 0, 0, 0},
     &kInsMate, &kThreeChannelInit, {}, {}},
    // NEC Aterm IT40/D
    {{"NEC Aterm IT40/D", 30, 0, 0x8003, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NEC Aterm IT60(L)/D
    {{"NEC Aterm IT60(L)/D", 31, 0, 0x8003, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NEC Aterm IT60(L)/D (USB)
    {{"NEC Aterm IT60(L)/D (USB)", 32, 50, 0x8003, 1},
     &kAtermUsb, nullptr, ReadUsbHistory, DialUsb},
    // NEC Aterm IT75/D
    {{"NEC Aterm IT75/D", 33, 0, 0x8007, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NEC Aterm IT75/D (USB)
    {{"NEC Aterm IT75/D (USB)", 34, 50, 0x8007, 1},
     &kAtermUsb, nullptr, ReadUsbHistory, DialUsb},
    // NEC Aterm ITX70/D・ITX80/D
    {{"NEC Aterm ITX70/D\201EITX80/D", 35, 0, 0, 0},
     &kAtermSerial, &kThreeChannelInit, {}, {}},
    // NEC Aterm ITX70/D・ITX80/D (USB)
    {{"NEC Aterm ITX70/D\201EITX80/D (USB)", 36, 50, 0x8007, 1},
     &kAtermItmux, nullptr, ReadItmuxHistory, DialItmux},
    // NEC Aterm ITX92BT
    {{"NEC Aterm ITX92BT", 37, 0, 0x8007, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NEC Aterm ITX92BT (USB)
    {{"NEC Aterm ITX92BT (USB)", 38, 50, 0x8007, 1},
     &kAtermItmux, nullptr, ReadItmuxHistory, DialItmux},
    // NEC Aterm ITX72
    {{"NEC Aterm ITX72", 39, 0, 0x8007, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NEC Aterm ITX72 (USB)
    {{"NEC Aterm ITX72 (USB)", 40, 50, 0x8007, 1},
     &kAtermItmux, nullptr, ReadItmuxHistory, DialItmux},
    // NEC Aterm ITX62
    {{"NEC Aterm ITX62", 41, 0, 0x8003, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NEC Aterm ITX62 (USB)
    {{"NEC Aterm ITX62 (USB)", 42, 50, 0x8003, 1},
     &kAtermItmux, nullptr, ReadItmuxHistory, DialItmux},
    // NEC Aterm IT31L
    {{"NEC Aterm IT31L", 43, 0, 0x8007, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NEC Aterm IT21L
    {{"NEC Aterm IT21L", 45, 0, 0x8003, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NEC Aterm IT42
    {{"NEC Aterm IT42", 47, 0, 0x8003, 0},
     &kAtermSerial, &kThreeChannelInit, {}, DialAtBang},
    // NTT-ME MN128シリーズ
    {{"NTT-ME MN128\203V\203\212\201[\203Y", 50, 0, 0x8003, 0},
     &kMn128, &kMn128Init, {}, DialMn128},
    // ALEXON ALEX-TD505
    {{"ALEXON ALEX-TD505", 14, 0, 0x8007, 0},
     &kAlexon, &kAlexonInit, {}, DialAlexon},
    // ALEXON ALEX-128/HG
    {{"ALEXON ALEX-128/HG", 10, 0, 0, 0},
     &kAlexon, &kAlex128Init, {}, {}},
};

// Kinds 1, 4 and 7 keep the history the library reads with their family's reader, though
// their catalogue rows list no history size.
constexpr bool historyUncatalogued(int32_t kind) { return kind == 1 || kind == 4 || kind == 7; }

// The catalogue's columns agree with what the rows can do, and every reader and procedure
// works on the line its family opens.
constexpr bool rowsAgree() {
    for (const KindRow &row : kKinds) {
        size_t lineIndex = static_cast<size_t>(row.family->lineType) + 1;
        if (row.hasHistoryReader() && row.history.index() != lineIndex)
            return false;
        if (row.hasDialProcedure() && row.dial.index() != lineIndex)
            return false;
        if ((row.catalogue.historySize != 0) !=
            (row.hasHistoryReader() && !historyUncatalogued(row.catalogue.kind)))
            return false;
        if ((row.catalogue.dialFlags != 0) != row.hasDialProcedure())
            return false;
        if ((row.catalogue.usbDriver != 0) != (row.family->lineType != LineType::Serial))
            return false;
        if ((row.family->lineType == LineType::Serial) !=
            (row.family->profile != nullptr && row.family->frames != nullptr))
            return false;
    }
    return true;
}
static_assert(rowsAgree(), "a catalogue column disagrees with the kind table");

} // namespace

std::span<const KindRow> kindTable() { return kKinds; }

const KindRow *kindRow(int32_t kind) {
    const KindRow *row = std::find_if(std::begin(kKinds), std::end(kKinds),
                                      [kind](const KindRow &r) { return r.kind() == kind; });
    return row != std::end(kKinds) ? row : nullptr;
}

const FrameRules *frameRulesOf(int32_t kind) {
    const KindRow *row = kindRow(kind);
    return row != nullptr ? row->family->frames : nullptr;
}

const InitSequence *initSequenceFor(int32_t kind) {
    const KindRow *row = kindRow(kind);
    return row != nullptr ? row->init : nullptr;
}

bool frameComplete(int32_t kind, bool historyMode, std::string_view text) {
    const FrameRules *rules = frameRulesOf(kind);
    return rules != nullptr && rules->complete(historyMode, text);
}

void parseFrame(int32_t kind, std::string_view text, ParsedFrame &result) {
    if (const FrameRules *rules = frameRulesOf(kind))
        return rules->parse(text, result);
    std::memset(&result, 0, sizeof result);
}

} // namespace kalvix3
