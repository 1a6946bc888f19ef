// The exported C interface: each export checks its arguments and hands over to the line table.
#include <algorithm>
#include <cstring>

#include "kalvix3.h"
#include "main/catalogue.h"
#include "main/lines.h"

using namespace kalvix3;

extern "C" {

KALVIX3_DATA void *_DialForm = nullptr;

KALVIX3_API void KALVIX3_CALL GetKalvix3Version(int32_t *version) {
    if (version != nullptr)
        *version = KALVIX3_VERSION;
}

KALVIX3_API void KALVIX3_CALL GetKinds2(int32_t listSelector, int32_t *count, KindInfo *kinds) {
    if (count == nullptr)
        return;
    int32_t rows = catalogueRowCount(listSelector);
    if (*count == 0) {
        *count = rows;
        return;
    }
    // A host that says it has room for fewer rows gets only those: never write past its array.
    if (kinds != nullptr)
        fillKindInfo(*count > 0 && *count < rows ? *count : rows, kinds);
}

KALVIX3_API int32_t KALVIX3_CALL OpenCommLineEx(int32_t slot, Kalvix3Window hostWindow,
                                                int32_t port, int32_t kind) {
    return openLine(slot, hostWindow, port, kind);
}

KALVIX3_API int32_t KALVIX3_CALL OpenCommLine(Kalvix3Window hostWindow, int32_t port,
                                              int32_t kind) {
    return OpenCommLineEx(0, hostWindow, port, kind);
}

KALVIX3_API int32_t KALVIX3_CALL CloseCommLineEx(int32_t slot) {
    closeLine(slot);
    return 1;
}

KALVIX3_API int32_t KALVIX3_CALL CloseCommLine(void) { return CloseCommLineEx(0); }

KALVIX3_API int32_t KALVIX3_CALL GetHistoryEx(int32_t slot, int32_t *count,
                                              HistoryRecord *records) {
    return readHistory(slot, count, records);
}

KALVIX3_API int32_t KALVIX3_CALL GetHistory(int32_t, int32_t *count, HistoryRecord *records) {
    return GetHistoryEx(0, count, records);
}

KALVIX3_API void KALVIX3_CALL KalvixDialEx(int32_t slot, int32_t telPort,
                                           const char *phoneNumber) {
    dial(slot, telPort, phoneNumber);
}

KALVIX3_API void KALVIX3_CALL KalvixDial(int32_t telPort, const char *phoneNumber) {
    KalvixDialEx(0, telPort, phoneNumber);
}

#ifndef _WIN32
KALVIX3_API int32_t KALVIX3_CALL Kalvix3GetLastOpenError(int32_t slot, int32_t *systemError,
                                                         char *path, int32_t pathSize) {
    const LineSlot *line = lineSlot(slot);
    if (line == nullptr)
        return KALVIX3_ERR_ARGUMENT;
    const platform::OpenError &error = line->openError;
    if (systemError != nullptr)
        *systemError = error.systemError;
    if (path != nullptr && pathSize > 0) {
        size_t length = std::min(error.path.size(), static_cast<size_t>(pathSize) - 1);
        std::memcpy(path, error.path.data(), length);
        path[length] = '\0';
    }
    return static_cast<int32_t>(error.failure);
}
#endif

} // extern "C"
