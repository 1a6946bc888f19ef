#include "main/catalogue.h"

#include <cstring>

#include "main/kinds.h"

namespace kalvix3 {

int32_t catalogueRowCount(int32_t listSelector) {
    auto rows = static_cast<int32_t>(kindTable().size());
    return listSelector == 1 ? rows : rows - kRowsOnlyInFullList;
}

bool isCatalogueKind(int32_t kind) { return kindRow(kind) != nullptr; }

const CatalogueRow &catalogueRow(int32_t index) { return kindTable()[index].catalogue; }

void fillKindInfo(int32_t rows, KindInfo *kinds) {
    std::memset(kinds, 0, sizeof(KindInfo) * static_cast<size_t>(rows));
    for (int32_t i = 0; i < rows; ++i) {
        const CatalogueRow &row = catalogueRow(i);
        std::memcpy(kinds[i].name, row.name, std::strlen(row.name));
        kinds[i].kind = row.kind;
        kinds[i].historySize = row.historySize;
        kinds[i].dialFlags = row.dialFlags;
        kinds[i].usbDriver = row.usbDriver;
    }
}

} // namespace kalvix3
