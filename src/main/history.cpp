#include "main/lines.h"

namespace kalvix3 {

int32_t readHistory(int32_t slot, int32_t *count, HistoryRecord *records) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr || count == nullptr || *count < 0 || (*count > 0 && records == nullptr))
        return KALVIX3_ERR_ARGUMENT;
    return KALVIX3_HISTORY_NO_READER;
}

} // namespace kalvix3
