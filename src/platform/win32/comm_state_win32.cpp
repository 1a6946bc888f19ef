#include "platform/win32/comm_state_win32.h"

namespace kalvix3::platform::win32 {

static_assert(sizeof(DCB) == 28, "DCBlength 28 is the size of the Win32 DCB");

DCB toNativeDcb(const Dcb &dcb) {
    DCB native{};
    native.DCBlength = dcb.DCBlength;
    native.BaudRate = dcb.BaudRate;
    native.fBinary = dcb.fBinary;
    native.fParity = dcb.fParity;
    native.fOutxCtsFlow = dcb.fOutxCtsFlow;
    native.fOutxDsrFlow = dcb.fOutxDsrFlow;
    native.fDtrControl = dcb.fDtrControl;
    native.fDsrSensitivity = dcb.fDsrSensitivity;
    native.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    native.fOutX = dcb.fOutX;
    native.fInX = dcb.fInX;
    native.fErrorChar = dcb.fErrorChar;
    native.fNull = dcb.fNull;
    native.fRtsControl = dcb.fRtsControl;
    native.fAbortOnError = dcb.fAbortOnError;
    native.fDummy2 = dcb.fDummy2;
    native.wReserved = dcb.wReserved;
    native.XonLim = dcb.XonLim;
    native.XoffLim = dcb.XoffLim;
    native.ByteSize = dcb.ByteSize;
    native.Parity = dcb.Parity;
    native.StopBits = dcb.StopBits;
    native.XonChar = dcb.XonChar;
    native.XoffChar = dcb.XoffChar;
    native.ErrorChar = dcb.ErrorChar;
    native.EofChar = dcb.EofChar;
    native.EvtChar = dcb.EvtChar;
    native.wReserved1 = dcb.wReserved1;
    return native;
}

Dcb fromNativeDcb(const DCB &native) {
    Dcb dcb;
    dcb.DCBlength = native.DCBlength;
    dcb.BaudRate = native.BaudRate;
    dcb.fBinary = static_cast<uint8_t>(native.fBinary);
    dcb.fParity = static_cast<uint8_t>(native.fParity);
    dcb.fOutxCtsFlow = static_cast<uint8_t>(native.fOutxCtsFlow);
    dcb.fOutxDsrFlow = static_cast<uint8_t>(native.fOutxDsrFlow);
    dcb.fDtrControl = static_cast<uint8_t>(native.fDtrControl);
    dcb.fDsrSensitivity = static_cast<uint8_t>(native.fDsrSensitivity);
    dcb.fTXContinueOnXoff = static_cast<uint8_t>(native.fTXContinueOnXoff);
    dcb.fOutX = static_cast<uint8_t>(native.fOutX);
    dcb.fInX = static_cast<uint8_t>(native.fInX);
    dcb.fErrorChar = static_cast<uint8_t>(native.fErrorChar);
    dcb.fNull = static_cast<uint8_t>(native.fNull);
    dcb.fRtsControl = static_cast<uint8_t>(native.fRtsControl);
    dcb.fAbortOnError = static_cast<uint8_t>(native.fAbortOnError);
    dcb.fDummy2 = native.fDummy2;
    dcb.wReserved = native.wReserved;
    dcb.XonLim = native.XonLim;
    dcb.XoffLim = native.XoffLim;
    dcb.ByteSize = native.ByteSize;
    dcb.Parity = native.Parity;
    dcb.StopBits = native.StopBits;
    dcb.XonChar = native.XonChar;
    dcb.XoffChar = native.XoffChar;
    dcb.ErrorChar = native.ErrorChar;
    dcb.EofChar = native.EofChar;
    dcb.EvtChar = native.EvtChar;
    dcb.wReserved1 = native.wReserved1;
    return dcb;
}

COMMTIMEOUTS toNativeTimeouts(const CommTimeouts &timeouts) {
    COMMTIMEOUTS native{};
    native.ReadIntervalTimeout = timeouts.readIntervalTimeout;
    native.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
    native.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
    native.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
    native.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
    return native;
}

} // namespace kalvix3::platform::win32
