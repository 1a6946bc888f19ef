#include "host_line.h"

#include <cstdio>

#include "platform.h"
#include "text.h"

namespace tool {

std::mutex &outputLock() {
    static std::mutex lock;
    return lock;
}

void printLine(const std::string &line) {
    std::lock_guard<std::mutex> hold(outputLock());
    platform::writeText(stdout, line + "\n");
    std::fflush(stdout);
}

void printJson(const nlohmann::ordered_json &object) {
    printLine(object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

nlohmann::ordered_json textOrNull(const std::string &text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

PrintingWindow::PrintingWindow(int32_t lineSlot, bool asJson)
    : slot(lineSlot), json(asJson),
      host([this](uint32_t message, const CopyDataRecord &record) { print(message, record); }) {}

void PrintingWindow::print(uint32_t message, const CopyDataRecord &record) {
    std::string text(static_cast<const char *>(record.lpData), record.cbData);
    if (message == KALVIX3_CALLER_NUMBER_MESSAGE) {
        ++callCount;
        std::string reason = reasonInWords(text);
        if (json)
            printJson({{"time", isoTimeNow()},
                       {"line", slot},
                       {"event", "call"},
                       {"number", utf8FromCp932(text)},
                       {"reason", textOrNull(reason)}});
        else
            printLine(localTimeNow() + "  line " + std::to_string(slot) + "  call  " +
                      (reason.empty() ? utf8FromCp932(text) : text + " (" + reason + ")"));
    } else if (message == KALVIX3_LINE_ERROR_MESSAGE) {
        ++errorCount;
        std::string words = utf8FromCp932(text);
        if (json)
            printJson({{"time", isoTimeNow()},
                       {"line", slot},
                       {"event", "line-error"},
                       {"code", record.dwData},
                       {"text", words}});
        else
            printLine(localTimeNow() + "  line " + std::to_string(slot) + "  error " +
                      std::to_string(record.dwData) + "  " + words);
    }
}

bool openLine(int32_t slot, PrintingWindow &window, int32_t port, int32_t kind) {
    if (!window.ready())
        return false;
    int32_t result = OpenCommLineEx(slot, window.window(), port, kind);
    if (result == 0)
        return true;
    std::string why = result == KALVIX3_ERR_PORT_OPEN ? platform::openFailureInWords(slot) : "";
    if (why.empty())
        why = openResultInWords(result);
    std::fprintf(stderr, "kalvix3: cannot open line %d (kind %d, port COM%d): result %d: %s\n",
                 slot, kind, port, result, why.c_str());
    return false;
}

} // namespace tool
