// The fixed catalogue of supported devices, as GetKinds2 reports it: the catalogue columns of
// the kind table (kinds.h), in its order.
#pragma once

#include <cstdint>

#include "kalvix3.h"

namespace kalvix3 {

struct CatalogueRow {
    char name[50]; // code page 932, zero-padded
    int32_t kind;
    int32_t historySize;
    int32_t dialFlags;
    int32_t usbDriver;
};

// The last rows of the catalogue that only the full list (selector 1) reports: ALEX-TD505 and
// ALEX-128/HG. A new kind goes in before them.
inline constexpr int32_t kRowsOnlyInFullList = 2;

int32_t catalogueRowCount(int32_t listSelector); // every row (46) for selector 1, else 44
bool isCatalogueKind(int32_t kind);
// The catalogue row at `index` (0 .. every row - 1) in catalogue order.
const CatalogueRow &catalogueRow(int32_t index);
// Zero-fills `rows` records and copies the first `rows` catalogue rows into them.
void fillKindInfo(int32_t rows, KindInfo *kinds);

} // namespace kalvix3
