// Call history: the slot's line runs its kind's reader.
#include "main/kinds.h"
#include "main/lines.h"

namespace kalvix3 {

int32_t readHistory(int32_t slot, int32_t *count, HistoryRecord *records) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr || count == nullptr || *count < 0 || (*count > 0 && records == nullptr))
        return KALVIX3_ERR_ARGUMENT;
    const KindRow *row = kindRow(line->kind);
    if (row == nullptr || !row->hasHistoryReader())
        return KALVIX3_HISTORY_NO_READER;
    if (!line->isOpen())
        return KALVIX3_HISTORY_FAILED; // no line to read from
    ++line->callsRunning;
    int32_t result = line->line->readHistory(count, records);
    --line->callsRunning;
    return result;
}

} // namespace kalvix3
