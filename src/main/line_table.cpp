#include <cstdio>
#include <cstring>

#include "main/kinds.h"
#include "main/lines.h"
#include "main/serial_line.h"

namespace kalvix3 {

LineSlot *lineSlot(int32_t slot) {
    // Built on first use and never destroyed: lines still open at unload are left alone.
    static LineSlot *const table = new LineSlot[kLineSlots];
    if (slot < 0 || slot >= kLineSlots)
        return nullptr;
    return &table[slot];
}

void buildPortName(int32_t port, char (&name)[10]) {
    char digits[16] = {};
    std::snprintf(digits, sizeof digits, "%d", static_cast<int>(port));
    std::memset(name, 0, sizeof name);
    std::memcpy(name, "COM", 3);
    name[3] = digits[0];
}

int32_t openLine(int32_t slot, Kalvix3Window hostWindow, int32_t port, int32_t kind) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr)
        return KALVIX3_ERR_ARGUMENT;
    // The open line keeps its kind and its thread; so does a closed one that a history read or
    // dial further up the stack still uses.
    if (line->isOpen() || line->callsRunning > 0)
        return KALVIX3_ERR_SLOT_BUSY;
    line->kind = kind;
    line->openError = {};
    line->line.reset(); // the closed line of an earlier open
    const KindRow *row = kindRow(kind);
    if (row == nullptr)
        return KALVIX3_ERR_KIND;
    LineOpening opening{line->line, {}};
    int32_t result = row->family->open(*row, LineRequest{hostWindow, port}, opening);
    line->openError = std::move(opening.portError);
    if (result != KALVIX3_OK)
        line->line.reset();
    return result;
}

void closeLine(int32_t slot) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr || !line->isOpen())
        return;
    // A window procedure closing its own line from inside a notification would make the thread
    // wait for itself and free the stack it runs on: refused, the line stays open.
    if (line->line->calledFromLineThread())
        return;
    line->line->close();
}

void WriteLine(int32_t slot, const void *buffer, uint32_t length) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr)
        return;
    if (SerialLine *serial = line->as<SerialLine>())
        serial->WriteLine(buffer, length);
}

} // namespace kalvix3
