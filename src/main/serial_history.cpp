#include "main/serial_history.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/module.h"
#include "platform/system.h"
#include "recv/recv_thread.h"

namespace kalvix3 {

namespace {

bool holdsVisibleText(const char *text) {
    for (const char *p = text; *p != '\0'; ++p)
        if (static_cast<uint8_t>(*p) > 0x20)
            return true;
    return false;
}

// Copies text into the 16-byte number field, without a terminator; longer text is cut.
void writeNumber(HistoryRecord &record, const char *text, size_t length) {
    std::memcpy(record.number, text, std::min(length, sizeof record.number));
}

} // namespace

void formYearText(char (&year)[5]) {
    unsigned value = static_cast<unsigned>(platform::utcYear()) % 10000u;
    for (int i = 3; i >= 0; --i, value /= 10)
        year[i] = static_cast<char>('0' + value % 10);
    year[4] = '\0';
}

int32_t ReadSerialHistory(SerialLine &line, int32_t *count, HistoryRecord *records) {
    HistoryExchange &exchange = line.receiver().history();
    char year[5];
    formYearText(year);
    int32_t wanted = std::min(*count, kMaxSerialHistory);
    int32_t filled = 0;
    HistoryExchange::Scope historyMode(exchange); // back to 0 on every way out
    for (int32_t i = 0; i < wanted; ++i) {
        const int entry = i + 1;
        const uint8_t request[7] = {0x02, 'M', static_cast<uint8_t>('0' + entry / 10),
                                    static_cast<uint8_t>('0' + entry % 10), 0x03, 0x0D, 0x0A};
        exchange.clearReply();
        line.WriteLine(request, sizeof request);
        exchange.awaitReply(kReplyWaitMs); // a time-out simply finds no reply
        line.port().purge(platform::PURGE_ALL);
        ParsedFrame reply = exchange.takeReply();
        if (!holdsVisibleText(reply.numberText))
            break;
        HistoryRecord &record = records[i];
        writeNumber(record, reply.numberText, std::strlen(reply.numberText));
        std::memcpy(record.date, year, 4);
        std::memcpy(record.date + 4, reply.dateText, 4);
        std::memcpy(record.time, reply.timeText, 4);
        std::memcpy(record.time + 4, "00", 2);
        ++filled;
    }
    *count = filled;
    return KALVIX3_OK;
}

// ---- NDA-P1 ---------------------------------------------------------------------------------

namespace {

#ifdef _WIN32
#define NDA_CALL __stdcall
#else
#define NDA_CALL
#endif
using NdaInit = int(NDA_CALL *)(const char *portName, const void *settings);
using NdaExit = void(NDA_CALL *)();
using NdaGetHistoryData = int(NDA_CALL *)(void *entries, int32_t *flag);

constexpr size_t kNdaEntrySize = 36;

#pragma pack(push, 1)
struct NdaSettings {
    int32_t reserved = 0;
    int32_t baudRate = 4800;
    uint8_t dataBits = 8;
    uint8_t stopBits = 1;
    uint8_t parity = 0;
};
#pragma pack(pop)
static_assert(sizeof(NdaSettings) == 11, "NDA settings record is 11 bytes");

struct NdaReason {
    const char *deviceText;
    char letter;
};
constexpr NdaReason kNdaReasons[] = {
    {"\313\256\263\274\336\271\335\266\336\262", 'O'}, // out of area
    {"\272\263\274\255\263\303\336\335\334", 'C'},     // public telephone
    {"\313\302\263\301", 'P'},                         // withheld
};

} // namespace

bool fillNdaRecord(const uint8_t *entry, const char (&year)[5], HistoryRecord &record) {
    size_t length = strnlen(reinterpret_cast<const char *>(entry), kNdaEntrySize);
    std::string_view text(reinterpret_cast<const char *>(entry), length);
    bool written = false;
    for (const NdaReason &reason : kNdaReasons) {
        if (text.substr(0, std::strlen(reason.deviceText)) == reason.deviceText) {
            record.number[0] = reason.letter;
            written = true;
            break;
        }
    }
    if (!written && length >= 9) {
        writeNumber(record, text.data(), length);
        written = true;
    }
    if (!written || record.number[0] == '\0')
        return false;
    std::memcpy(record.date, year, 4);
    std::memcpy(record.date + 4, entry + 24, 2);
    std::memcpy(record.date + 6, entry + 27, 2);
    std::memcpy(record.time, entry + 30, 2);
    std::memcpy(record.time + 2, entry + 33, 2);
    std::memcpy(record.time + 4, "00", 2);
    return true;
}

int32_t ReadNdaHistory(SerialLine &line, int32_t *count, HistoryRecord *records) {
    char year[5];
    formYearText(year);
    static const char kLibraryName[] = "NDA_P1.dll";
    if (!platform::fileExists(kLibraryName))
        return KALVIX3_HISTORY_FAILED;
    platform::Module library = platform::Module::load(kLibraryName);
    if (!library)
        return KALVIX3_HISTORY_FAILED;
    auto init = library.entry<NdaInit>("NDA_Init");
    auto exit = library.entry<NdaExit>("NDA_Exit");
    auto getHistory = library.entry<NdaGetHistoryData>("NDA_GetHistoryData");
    if (!init || !exit || !getHistory)
        return KALVIX3_HISTORY_FAILED; // the line has not been touched
    if (line.calledFromLineThread())
        return KALVIX3_HISTORY_FAILED; // the line cannot be taken down from inside its own thread

    line.takeDownForNda();
    // Opens the line again with the NDA-P1 profile; a failure leaves the line closed.
    platform::OpenError reopenError;
    NdaSettings settings;
    if (init(line.portName(), &settings) == 0) {
        line.start(reopenError);
        return KALVIX3_HISTORY_FAILED;
    }
    uint8_t entries[kNdaEntries][kNdaEntrySize] = {};
    int32_t flag = 1;
    int got = getHistory(entries, &flag);
    exit();
    line.start(reopenError);
    if (got == 0)
        return KALVIX3_HISTORY_FAILED;

    int32_t filled = 0;
    int32_t wanted = std::min(*count, kNdaEntries);
    for (int32_t i = 0; i < wanted; ++i)
        if (fillNdaRecord(entries[i], year, records[i]))
            ++filled;
    *count = filled;
    return KALVIX3_OK;
}

} // namespace kalvix3
