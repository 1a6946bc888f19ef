#include <cstring>

#include "main/device_kinds.h"
#include "main/lines.h"
#include "recv/recv_thread.h"

namespace kalvix3 {

namespace {

// What differs between the four serial profiles.
struct SerialProfile {
    uint32_t baudRate;
    uint8_t byteSize;
    uint8_t parity;
    uint8_t fParity;
    uint8_t fOutxCtsFlow;
    uint8_t fDtrControl;
    uint8_t fRtsControl;
    bool raiseDtr; // SETDTR after the mask (NDA-P1), failing with 7
};

constexpr SerialProfile kProfile9600{9600, 7, platform::EVENPARITY, 1, 1,
                                     platform::DTR_CONTROL_DISABLE, platform::RTS_CONTROL_HANDSHAKE, false};
constexpr SerialProfile kProfile4800{4800, 8, platform::NOPARITY, 0, 0,
                                     platform::DTR_CONTROL_ENABLE, platform::RTS_CONTROL_DISABLE, true};
constexpr SerialProfile kProfile38400{38400, 8, platform::NOPARITY, 0, 1,
                                      platform::DTR_CONTROL_DISABLE, platform::RTS_CONTROL_HANDSHAKE, false};
constexpr SerialProfile kProfile19200{19200, 8, platform::NOPARITY, 0, 1,
                                      platform::DTR_CONTROL_DISABLE, platform::RTS_CONTROL_HANDSHAKE, false};

const SerialProfile &profileFor(int32_t kind) {
    switch (familyOf(kind)) {
    case Family::NumberDisplay:
        return kProfile9600;
    case Family::NdaP1:
        return kProfile4800;
    case Family::Fsk:
        return kProfile38400;
    default:
        return kProfile19200;
    }
}

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

int32_t openSerialLine(int32_t slot, Kalvix3Window hostWindow, const char *portName, int32_t kind) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr)
        return KALVIX3_ERR_ARGUMENT;
    const SerialProfile &profile = profileFor(kind);
    // The port is released on every failing step.
    std::unique_ptr<platform::SerialPort> port = platform::openSerialPort(portName);
    if (!port)
        return KALVIX3_ERR_PORT_OPEN;
    if (!port->setupComm(1024, 1024))
        return KALVIX3_ERR_SETUP_COMM;
    port->purge(platform::PURGE_ALL);
    if (!port->setTimeouts(kLineTimeouts))
        return KALVIX3_ERR_TIMEOUTS;
    platform::Dcb dcb;
    if (!port->getState(dcb))
        return KALVIX3_ERR_GET_STATE;
    applyProfile(profile, dcb);
    if (!port->setState(dcb))
        return KALVIX3_ERR_SET_STATE;
    if (!port->setMask(kReceiveEvents))
        return KALVIX3_ERR_EVENT_MASK;
    if (profile.raiseDtr && !port->escapeFunction(platform::SETDTR))
        return KALVIX3_ERR_RAISE_DTR;

    auto thread = std::make_unique<TRecvThread>();
    thread->hComm = port.get();
    std::memcpy(thread->portName, portName, strnlen(portName, sizeof thread->portName - 1));
    thread->deviceKind = kind;
    thread->hostWindow = hostWindow;
    line->port = std::move(port);
    line->serialThread = std::move(thread);
    line->serialThread->resume();
    return KALVIX3_OK;
}

} // namespace kalvix3
