#include "main/catalogue.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace kalvix3 {

// Names are code page 932 bytes, written as octal escapes so that the source stays plain ASCII.
const CatalogueRow kCatalogue[kCatalogueRows] = {
    {"NTT \203i\203\223\203o\201[\203f\203B\203X\203v\203\214\203C\203A\203_\203v\203^20", 1, 0, 0, 0}, // NTT ナンバーディスプレイアダプタ20
    {"NTT \203i\203\223\203o\201[\203f\203B\203X\203v\203\214\203C\203A\203_\203v\203^30", 2, 30, 0, 0}, // NTT ナンバーディスプレイアダプタ30
    {"I-O DATA NDA-P1", 3, 10, 0, 0}, // I-O DATA NDA-P1
    {"\223\372\213\273\223d\213@\220\273\215\354\217\212 \203A\203\215\203nPC1", 4, 0, 0, 0}, // 日興電機製作所 アロハPC1
    {"\223\372\213\273\223d\213@\220\273\215\354\217\212 \203A\203\215\203nUSB", 7, 0, 0, 0}, // 日興電機製作所 アロハUSB
    {"\203G\203t\203V\203X\203e\203\200\203Y FS-A01", 5, 0, 0, 0}, // エフシステムズ FS-A01
    {"\203G\203t\203V\203X\203e\203\200\203Y FS-A02", 8, 0, 0, 0}, // エフシステムズ FS-A02
    {"IT\217Z\221\356\214\244\213\206\217\212 USBCID3-JP", 6, 0, 0, 0}, // IT住宅研究所 USBCID3-JP
    {"ALEXON ALEX-TD503\203\277", 15, 0, 0x8007, 0}, // ALEXON ALEX-TD503α
    {"ALEXON ALEX-TD603", 19, 0, 0x8007, 0}, // ALEXON ALEX-TD603
    {"ALEXON ALEX-TD601", 22, 0, 0x8007, 0}, // ALEXON ALEX-TD601
    {"ALEXON ALEX-TD451", 23, 0, 0x8003, 0}, // ALEXON ALEX-TD451
    {"ALEXON ALEX-TD101", 24, 0, 0x8003, 0}, // ALEXON ALEX-TD101
    {"ALEXON ALEX-TD121", 25, 0, 0x8003, 0}, // ALEXON ALEX-TD121
    {"ALEXON ALEX-TD480", 26, 0, 0x8003, 0}, // ALEXON ALEX-TD480
    {"ALEXON ALEX-TD580", 27, 0, 0x8007, 0}, // ALEXON ALEX-TD580
    {"ALEXON ALEX-TD680", 28, 0, 0x8007, 0}, // ALEXON ALEX-TD680
    {"ALEXON ALEX-TD780", 29, 0, 0x8007, 0}, // ALEXON ALEX-TD780
    {"ALEXON ALEX-TDC200", 60, 0, 0x8003, 0}, // ALEXON ALEX-TDC200
    {"NTT INS\203\201\203C\203gV-8DSU", 13, 0, 0, 0}, // NTT INSメイトV-8DSU
    {"NTT INS\203\201\203C\203gD-4", 16, 0, 0, 0}, // NTT INSメイトD-4
    {"NTT INS\203\201\203C\203gV-30DSU", 17, 0, 0x8003, 0}, // NTT INSメイトV-30DSU
    {"NTT INS\203\201\203C\203gV30Tower", 20, 0, 0x8003, 0}, // NTT INSメイトV30Tower
    {"NTT INS\203\201\203C\203gV30Slim", 70, 0, 0x8003, 0}, // NTT INSメイトV30Slim
    {"NTT INS\203\201\203C\203gV-70DSU", 18, 0, 0x8007, 0}, // NTT INSメイトV-70DSU
    {"NTT INS\203\201\203C\203gV70MAX", 21, 0, 0, 0}, // NTT INSメイトV70MAX
    {"NTT INS\203\201\203C\203gV70G-MAX", 71, 0, 0, 0}, // NTT INSメイトV70G-MAX
    {"NEC Aterm IT40/D", 30, 0, 0x8003, 0}, // NEC Aterm IT40/D
    {"NEC Aterm IT60(L)/D", 31, 0, 0x8003, 0}, // NEC Aterm IT60(L)/D
    {"NEC Aterm IT60(L)/D (USB)", 32, 50, 0x8003, 1}, // NEC Aterm IT60(L)/D (USB)
    {"NEC Aterm IT75/D", 33, 0, 0x8007, 0}, // NEC Aterm IT75/D
    {"NEC Aterm IT75/D (USB)", 34, 50, 0x8007, 1}, // NEC Aterm IT75/D (USB)
    {"NEC Aterm ITX70/D\201EITX80/D", 35, 0, 0, 0}, // NEC Aterm ITX70/D・ITX80/D
    {"NEC Aterm ITX70/D\201EITX80/D (USB)", 36, 50, 0x8007, 1}, // NEC Aterm ITX70/D・ITX80/D (USB)
    {"NEC Aterm ITX92BT", 37, 0, 0x8007, 0}, // NEC Aterm ITX92BT
    {"NEC Aterm ITX92BT (USB)", 38, 50, 0x8007, 1}, // NEC Aterm ITX92BT (USB)
    {"NEC Aterm ITX72", 39, 0, 0x8007, 0}, // NEC Aterm ITX72
    {"NEC Aterm ITX72 (USB)", 40, 50, 0x8007, 1}, // NEC Aterm ITX72 (USB)
    {"NEC Aterm ITX62", 41, 0, 0x8003, 0}, // NEC Aterm ITX62
    {"NEC Aterm ITX62 (USB)", 42, 50, 0x8003, 1}, // NEC Aterm ITX62 (USB)
    {"NEC Aterm IT31L", 43, 0, 0x8007, 0}, // NEC Aterm IT31L
    {"NEC Aterm IT21L", 45, 0, 0x8003, 0}, // NEC Aterm IT21L
    {"NEC Aterm IT42", 47, 0, 0x8003, 0}, // NEC Aterm IT42
    {"NTT-ME MN128\203V\203\212\201[\203Y", 50, 0, 0x8003, 0}, // NTT-ME MN128シリーズ
    {"ALEXON ALEX-TD505", 14, 0, 0x8007, 0}, // ALEXON ALEX-TD505
    {"ALEXON ALEX-128/HG", 10, 0, 0, 0}, // ALEXON ALEX-128/HG
};

int32_t catalogueRowCount(int32_t listSelector) {
    return listSelector == 1 ? kCatalogueRows : kShortCatalogueRows;
}

bool isCatalogueKind(int32_t kind) {
    return std::any_of(std::begin(kCatalogue), std::end(kCatalogue),
                       [kind](const CatalogueRow &row) { return row.kind == kind; });
}

void fillKindInfo(int32_t rows, KindInfo *kinds) {
    std::memset(kinds, 0, sizeof(KindInfo) * static_cast<size_t>(rows));
    for (int32_t i = 0; i < rows; ++i) {
        const CatalogueRow &row = kCatalogue[i];
        std::memcpy(kinds[i].name, row.name, std::strlen(row.name));
        kinds[i].kind = row.kind;
        kinds[i].historySize = row.historySize;
        kinds[i].dialFlags = row.dialFlags;
        kinds[i].usbDriver = row.usbDriver;
    }
}

} // namespace kalvix3
