/* A tiny host built against the installed tree. */
#include <stdio.h>
#include <kalvix3.h>

int main(void) {
    int32_t version = 0, count = 0;
    GetKalvix3Version(&version);
    GetKinds2(1, &count, NULL);
    printf("%08x %d\n", (unsigned)version, count);
    return version == KALVIX3_VERSION && count == 46 ? 0 : 1;
}
