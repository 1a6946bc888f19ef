// Serial lines: opening in the family's profile, closing in the family's order, and the hand
// over to the kind's history reader and dial procedure.
#include <cstring>
#include <string>
#include <variant>

#include "main/serial_line.h"
#include "platform/thread.h"

namespace kalvix3 {

namespace {

constexpr platform::CommTimeouts kLineTimeouts{0xFFFFFFFF, 0, 1000, 0, 10000};

// The common settings, then the profile's own; every other field stays as the driver said.
void applyProfile(const SerialProfile &profile, platform::Dcb &dcb) {
    dcb.DCBlength = 28;
    dcb.fBinary = 1;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.wReserved = 0;
    dcb.StopBits = platform::ONESTOPBIT;
    dcb.BaudRate = profile.baudRate;
    dcb.ByteSize = profile.byteSize;
    dcb.Parity = profile.parity;
    dcb.fParity = profile.fParity;
    dcb.fOutxCtsFlow = profile.fOutxCtsFlow;
    dcb.fDtrControl = profile.fDtrControl;
    dcb.fRtsControl = profile.fRtsControl;
}

} // namespace

SerialLine::SerialLine(const KindRow &row, Kalvix3Window hostWindow, const char *portName)
    : Line(row), hostWindow(hostWindow) {
    std::memcpy(name, portName, strnlen(portName, sizeof name - 1));
}

SerialLine::~SerialLine() { close(); }

int32_t SerialLine::start(platform::OpenError &error) {
    const SerialProfile &profile = *row.family->profile;
    // The port is released on every failing step.
    platform::OpenedPort opened = platform::openSerialPort(name);
    if (!opened.port) {
        error = std::move(opened.error);
        return KALVIX3_ERR_PORT_OPEN;
    }
    std::unique_ptr<platform::SerialPort> port = std::move(opened.port);
    // A refused step keeps the system's reason, taken before the port is released.
    auto refused = [&](int32_t result) {
        error = {platform::OpenFailure::Other, port->lastSystemError(), name};
        return result;
    };
    if (!port->setupComm(1024, 1024))
        return refused(KALVIX3_ERR_SETUP_COMM);
    port->purge(platform::PURGE_ALL);
    if (!port->setTimeouts(kLineTimeouts))
        return refused(KALVIX3_ERR_TIMEOUTS);
    platform::Dcb dcb;
    if (!port->getState(dcb))
        return refused(KALVIX3_ERR_GET_STATE);
    applyProfile(profile, dcb);
    if (!port->setState(dcb))
        return refused(KALVIX3_ERR_SET_STATE);
    if (!port->setMask(kReceiveEvents))
        return refused(KALVIX3_ERR_EVENT_MASK);
    if (profile.raiseDtr && !port->escapeFunction(platform::SETDTR))
        return refused(KALVIX3_ERR_RAISE_DTR);

    auto thread = std::make_unique<TRecvThread>(
        *port, SerialReceiveSettings{hostWindow, row.family->frames, row.init});
    hComm = std::move(port);
    receiveThread = std::move(thread);
    receiveThread->resume();
    return KALVIX3_OK;
}

void SerialLine::close() {
    if (!hComm || !receiveThread)
        return;
    hComm->setMask(0); // completes the thread's pending wait with event word 0
    if (row.family->resetOnClose) {
        static const char reset[] = "ATZ\r\n";
        receiveThread->WritePort(reset, 5);
        platform::sleepMs(100);
    }
    hComm->purge(platform::PURGE_ALL);
    receiveThread.reset(); // stops the thread and waits for its end
    if (row.family->lowerDtrOnClose)
        hComm->escapeFunction(platform::CLRDTR);
    hComm.reset(); // closes the port
}

void SerialLine::takeDownForNda() {
    platform::SerialPort &port = *hComm;
    port.setMask(0);
    receiveThread.reset(); // waits for the thread's end
    port.escapeFunction(platform::CLRDTR);
    port.purge(platform::PURGE_ALL);
    hComm.reset();
}

bool SerialLine::calledFromLineThread() const {
    return receiveThread && receiveThread->bodyWaitsOnCaller();
}

void SerialLine::waitUntilReady() {
    if (receiveThread)
        receiveThread->waitUntilInitialised(kInitialisationWaitMs);
}

void SerialLine::WriteLine(const void *buffer, uint32_t length) {
    if (receiveThread)
        receiveThread->WritePort(buffer, length);
}

int32_t SerialLine::readHistory(int32_t *count, HistoryRecord *records) {
    const auto *reader = std::get_if<SerialHistoryReader>(&row.history);
    return reader != nullptr ? (*reader)(*this, count, records) : KALVIX3_HISTORY_NO_READER;
}

void SerialLine::dial(int32_t telPort, const DigitText &digits) {
    if (const auto *procedure = std::get_if<SerialDial>(&row.dial))
        (*procedure)(*this, telPort, digits);
}

int32_t openSerialLine(const KindRow &row, const LineRequest &request, LineOpening &opening) {
    char portName[10];
    buildPortName(request.port, portName);
    // Only COM1 to COM9 can be named; a longer number would open the wrong port.
    if (request.port < 1 || request.port > 9) {
        opening.portError = {platform::OpenFailure::NoSuchDevice, 0,
                             "COM" + std::to_string(request.port)};
        return KALVIX3_ERR_PORT_OPEN;
    }
    auto line = std::make_unique<SerialLine>(row, request.hostWindow, portName);
    SerialLine &serial = *line;
    opening.line = std::move(line);
    return serial.start(opening.portError);
}

} // namespace kalvix3
