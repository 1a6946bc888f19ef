// Dialing through the NEC Aterm adapters on USB: the dial request and its state machine with
// the progress dialog (kinds 32, 34), or one ITUSB_Control_TA request (kinds 36, 38, 40, 42).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "dial/dial_form.h"
#include "itusb/itusb.h"
#include "main/usb_access.h"
#include "main/usb_lines.h"
#include "platform/thread.h"

namespace kalvix3 {

using itusb::TaDialRequest;
using itusb::UsbDialRequest;

namespace {

constexpr uint32_t kDelayBeforeStateMs = 500;
constexpr uint8_t kStateRefused = 0;
constexpr uint8_t kStateReady = 1;
constexpr uint8_t kStateBusy = 2;
constexpr uint8_t kPortRinging = 1; // line state of a port waiting for its handset

bool isTelephonePort(int32_t telPort) { return telPort >= 1 && telPort <= 3; }

size_t digitCount(const DigitText &digits) { return std::min(digits.length, kMaxDialDigits); }

// Ev_USB_Control through the line's thread; a thread that no longer holds the driver counts as
// a refusal.
int32_t control(TRecvUSBThread &thread, uint32_t code, void *output, uint32_t outputLength,
                const void *input, uint32_t inputLength) {
    int32_t returned = 0;
    if (!thread.control(code, output, outputLength, input, inputLength, returned))
        return 0;
    return returned;
}

enum class Readiness { Ready, Refused, GaveUp };

// Asks for the dial state until the adapter is ready: state 2 again after 500 ms, any other
// state again after a short pause, until dialStateLimitMs has passed since the first request.
Readiness waitUntilReady(TRecvUSBThread &thread) {
    const itusb::DialStateRequest status{itusb::kUsbDialMarker, 0};
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(dialStateLimitMs.load());
    uint8_t state = 0;
    for (;;) {
        if (control(thread, itusb::kDialStateCode, &state, sizeof state, &status, sizeof status) ==
                0 ||
            state == kStateRefused)
            return Readiness::Refused;
        if (state == kStateReady)
            return Readiness::Ready;
        if (std::chrono::steady_clock::now() >= deadline)
            return Readiness::GaveUp;
        platform::sleepMs(state == kStateBusy ? kDialStatePollMs : kUnknownDialStatePauseMs);
    }
}

// Shows the dialog and keeps the calling thread's messages flowing until the dialled port
// stops ringing or the user cancels (Cancel, or closing the dialog from its frame). A close of
// the line from the pump cancels the call as well.
void followRinging(UsbLine &line, TRecvUSBThread &thread, const UsbDialRequest &request,
                   int32_t telPort) {
    DialProgress progress(thread.hostWindow);
    for (;;) {
        progress.pumpMessages();
        if (progress.cancelRequested() || line.closeRequested()) {
            control(thread, itusb::kDialCancelCode, nullptr, 0, &request, sizeof request);
            progress.close();
            return;
        }
        itusb::LineState lineState{};
        control(thread, itusb::kLineStateCode, &lineState, sizeof lineState, nullptr, 0);
        if (lineState.port[telPort] != kPortRinging) {
            progress.close();
            return;
        }
    }
}

// Marks the line as dialling for the time of one DialUsb, whose message pump (and message
// boxes) may run a window procedure that closes the line; that close is carried out here, once
// the outermost dial has stopped using the receive thread.
class DialOnLine {
public:
    explicit DialOnLine(UsbLine &line) : line(line) { line.dialStarted(); }
    ~DialOnLine() { line.dialEnded(); }
    DialOnLine(const DialOnLine &) = delete;
    DialOnLine &operator=(const DialOnLine &) = delete;

private:
    UsbLine &line;
};

struct TaDialCall : itusb::PendingRequest {
    TaDialRequest request{};
    uint8_t reply = 1;
};

} // namespace

std::atomic<uint32_t> dialStateLimitMs{kDialStateLimitMs};

std::optional<UsbDialRequest> usbDialRequestFor(const DigitText &digits, int32_t telPort) {
    if (!isTelephonePort(telPort) || digits.tooLong)
        return std::nullopt;
    UsbDialRequest request{};
    request.marker = itusb::kUsbDialMarker;
    size_t count = digitCount(digits);
    request.digitCount = static_cast<uint8_t>(count);
    for (size_t k = 0; k < count; ++k) {
        auto value = static_cast<uint8_t>(digits.digits[k] - '0');
        request.digits[k / 2] |= (k % 2 == 0) ? static_cast<uint8_t>(value << 4) : value;
    }
    request.portBit = static_cast<uint8_t>(1u << (2 * (telPort - 1)));
    return request;
}

std::optional<TaDialRequest> taDialRequestFor(const DigitText &digits, int32_t telPort) {
    if (!isTelephonePort(telPort) || digits.tooLong)
        return std::nullopt;
    TaDialRequest request{};
    size_t count = digitCount(digits);
    request.digitCount = static_cast<uint8_t>(count);
    std::memcpy(request.digits, digits.digits, count);
    request.portIndex = static_cast<uint8_t>(telPort - 1);
    return request;
}

void DialUsb(UsbLine &line, int32_t telPort, const DigitText &digits) {
    TRecvUSBThread *thread = line.isOpen() ? &line.receiver() : nullptr;
    if (thread == nullptr || line.closeRequested() || !thread->controlAvailable())
        return;
    std::optional<UsbDialRequest> request = usbDialRequestFor(digits, telPort);
    if (!request)
        return;
    DialOnLine dialling(line); // `thread` stays alive until this is gone
    if (control(*thread, itusb::kDialStartCode, nullptr, 0, &*request, sizeof *request) == 0) {
        showDialFailure(thread->hostWindow, kDialFailedText);
        return;
    }
    platform::sleepMs(kDelayBeforeStateMs);
    switch (waitUntilReady(*thread)) {
    case Readiness::Refused:
        showDialFailure(thread->hostWindow, kDialNotReadyText);
        return;
    case Readiness::GaveUp:
        // The adapter took the request: withdraw it before telling the user.
        control(*thread, itusb::kDialCancelCode, nullptr, 0, &*request, sizeof *request);
        showDialFailure(thread->hostWindow, kDialNotReadyText);
        return;
    case Readiness::Ready:
        followRinging(line, *thread, *request, telPort);
        return;
    }
}

void DialItmux(ItmuxLine &line, int32_t telPort, const DigitText &digits) {
    TRecvITMUXThread *thread = line.isOpen() ? &line.receiver() : nullptr;
    if (thread == nullptr)
        return;
    std::optional<TaDialRequest> request = taDialRequestFor(digits, telPort);
    if (!request)
        return;
    thread->withDevice([&](ItmuxDevice &device) {
        auto controlTa = itusb::lookUp<itusb::ControlTaEntry>(device.library, itusb::kControlTaName);
        if (controlTa == nullptr)
            return;
        auto call = std::make_unique<TaDialCall>();
        if (!call->event.valid())
            return;
        call->request = *request;
        controlTa(call->event.native(), itusb::kControlTaSelector, device.device, &call->request,
                  sizeof call->request, &call->reply, sizeof call->reply, &call->count,
                  &call->block);
        device.waitOrKeep(call, itusb::kRequestWaitMs); // the adapter's answer is not read
    });
}

} // namespace kalvix3
