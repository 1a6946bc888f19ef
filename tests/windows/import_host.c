/* A 32-bit host linked against the import library, as C hosts link: every call resolves to the
 * decorated stdcall symbol (_GetKinds2@12, ...) and imports the undecorated name. The build
 * fails when an argument size or a name is wrong; the test checks what the program imports. */
#include "kalvix3.h"

int main(void) {
    int32_t version = 0, count = 0;
    HistoryRecord record;
    GetKalvix3Version(&version);
    GetKinds2(1, &count, 0);
    OpenCommLine(0, 3, 2);
    OpenCommLineEx(0, 0, 3, 2);
    CloseCommLine();
    CloseCommLineEx(0);
    GetHistory(0, &count, &record);
    GetHistoryEx(0, &count, &record);
    KalvixDial(1, "0");
    KalvixDialEx(0, 1, "0");
    return _DialForm != 0;
}
