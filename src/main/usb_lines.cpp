// Opening and closing the lines of the NEC Aterm adapters on USB.
#include "main/usb_lines.h"

#include <iterator>
#include <variant>

#include "itusb/itusb.h"
#include "main/usb_access.h"
#include "platform/system.h"

namespace kalvix3 {

namespace {

constexpr uint32_t kNtPlatform = 2;
constexpr const char *kDriverFiles[] = {itusb::kDriverFileName, "\\ITUSB.SYS", "\\ITPORT.VXD",
                                        "\\ITSV1.VXD"};

template <typename ReceiveThread> void stopReceiveThread(std::unique_ptr<ReceiveThread> &entry) {
    if (!entry)
        return;
    entry->terminate();
    entry.reset(); // waits for the body to end
}

// The receive thread loads the driver library and opens the adapter after the open has
// returned; a dial made before that would send nothing. Waits until `ready` or the body has ended.
template <typename ReceiveThread, typename Ready>
void waitForAdapter(const std::unique_ptr<ReceiveThread> &thread, Ready ready) {
    constexpr uint32_t kPollMs = 5;
    for (uint32_t waited = 0; thread && !ready(*thread) && !thread->finished() &&
                              waited < kDriverReadyWaitMs;
         waited += kPollMs)
        platform::sleepMs(kPollMs);
}

template <typename UsbKindLine>
int32_t openWithDriver(const KindRow &row, const LineRequest &request, LineOpening &opening) {
    if (missingDriverFile(platform::systemDirectory(), platform::windowsPlatformId()) != nullptr)
        return KALVIX3_ERR_USB_DRIVER;
    auto line = std::make_unique<UsbKindLine>(row, request.hostWindow); // its thread suspended
    UsbKindLine &started = *line;
    opening.line = std::move(line);
    started.start();
    return KALVIX3_OK;
}

} // namespace

const char *missingDriverFile(const std::string &directory, uint32_t platformId) {
    size_t required = platformId == kNtPlatform ? 1 : std::size(kDriverFiles);
    for (size_t i = 0; i < required; ++i)
        if (!platform::fileExists(platform::systemFilePath(directory, kDriverFiles[i])))
            return kDriverFiles[i];
    return nullptr;
}

int32_t openUsbLine(const KindRow &row, const LineRequest &request, LineOpening &opening) {
    return openWithDriver<UsbLine>(row, request, opening);
}

int32_t openItmuxLine(const KindRow &row, const LineRequest &request, LineOpening &opening) {
    return openWithDriver<ItmuxLine>(row, request, opening);
}

// ---- Polled lines ---------------------------------------------------------------------------

UsbLine::UsbLine(const KindRow &row, Kalvix3Window hostWindow)
    : Line(row), thread(std::make_unique<TRecvUSBThread>(hostWindow)) {} // suspended

void UsbLine::start() { thread->resume(); }

UsbLine::~UsbLine() { stop(); }

void UsbLine::stop() { stopReceiveThread(thread); }

void UsbLine::close() {
    if (dialsRunning > 0) {
        closeWhenDialEnds = true; // the dial's message pump is on the stack: see DialUsb
        return;
    }
    stop();
}

void UsbLine::dialEnded() {
    if (--dialsRunning == 0 && closeWhenDialEnds) {
        closeWhenDialEnds = false;
        stop();
    }
}

bool UsbLine::calledFromLineThread() const { return thread && thread->bodyWaitsOnCaller(); }

void UsbLine::waitUntilReady() {
    waitForAdapter(thread, [](const TRecvUSBThread &t) { return t.controlAvailable(); });
}

int32_t UsbLine::readHistory(int32_t *count, HistoryRecord *records) {
    const auto *reader = std::get_if<UsbHistoryReader>(&row.history);
    return reader != nullptr ? (*reader)(*this, count, records) : KALVIX3_HISTORY_NO_READER;
}

void UsbLine::dial(int32_t telPort, const DigitText &digits) {
    if (const auto *procedure = std::get_if<UsbDial>(&row.dial))
        (*procedure)(*this, telPort, digits);
}

// ---- ITMUX lines ----------------------------------------------------------------------------

ItmuxLine::ItmuxLine(const KindRow &row, Kalvix3Window hostWindow)
    : Line(row), thread(std::make_unique<TRecvITMUXThread>(hostWindow)) {} // suspended

void ItmuxLine::start() { thread->resume(); }

ItmuxLine::~ItmuxLine() { close(); }

void ItmuxLine::close() { stopReceiveThread(thread); }

bool ItmuxLine::calledFromLineThread() const { return thread && thread->bodyWaitsOnCaller(); }

void ItmuxLine::waitUntilReady() {
    waitForAdapter(thread, [](const TRecvITMUXThread &t) { return t.deviceAvailable(); });
}

int32_t ItmuxLine::readHistory(int32_t *count, HistoryRecord *records) {
    const auto *reader = std::get_if<ItmuxHistoryReader>(&row.history);
    return reader != nullptr ? (*reader)(*this, count, records) : KALVIX3_HISTORY_NO_READER;
}

void ItmuxLine::dial(int32_t telPort, const DigitText &digits) {
    if (const auto *procedure = std::get_if<ItmuxDial>(&row.dial))
        (*procedure)(*this, telPort, digits);
}

} // namespace kalvix3
