// The serial port of a line, one operation per Win32 comm call so that every failing step of a
// line profile keeps its own result code. Three implementations: Win32 overlapped handles,
// POSIX termios, and the scripted in-memory port of the unit tests.
//
// Threads: one receive thread waits and reads; writers are serialised by the line (TRecvThread);
// setMask, purge and escapeFunction may be called from the host's thread while the receive
// thread waits, as on Win32.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#ifdef _WIN32
// windows.h defines the comm constants below as macros of the same values; it is included
// here first so that the typed constants of the seam take their place wherever this is seen.
#include <windows.h>
#undef EV_RXCHAR
#undef EV_ERR
#undef PURGE_TXABORT
#undef PURGE_RXABORT
#undef PURGE_TXCLEAR
#undef PURGE_RXCLEAR
#undef SETDTR
#undef CLRDTR
#undef CE_RXOVER
#undef CE_OVERRUN
#undef CE_RXPARITY
#undef CE_FRAME
#undef CE_BREAK
#undef CE_TXFULL
#undef CE_PTO
#undef CE_IOE
#undef CE_DNS
#undef CE_OOP
#undef CE_MODE
#undef NOPARITY
#undef EVENPARITY
#undef ONESTOPBIT
#undef DTR_CONTROL_DISABLE
#undef DTR_CONTROL_ENABLE
#undef RTS_CONTROL_DISABLE
#undef RTS_CONTROL_HANDSHAKE
#endif

namespace kalvix3::platform {

// Event mask bits (SetCommMask / WaitCommEvent).
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_ERR = 0x0080;

// PurgeComm flags.
inline constexpr uint32_t PURGE_TXABORT = 0x0001;
inline constexpr uint32_t PURGE_RXABORT = 0x0002;
inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;
inline constexpr uint32_t PURGE_ALL = 0x000F;

// EscapeCommFunction codes.
inline constexpr uint32_t SETDTR = 5;
inline constexpr uint32_t CLRDTR = 6;

// ClearCommError error word bits.
inline constexpr uint32_t CE_RXOVER = 0x0001;
inline constexpr uint32_t CE_OVERRUN = 0x0002;
inline constexpr uint32_t CE_RXPARITY = 0x0004;
inline constexpr uint32_t CE_FRAME = 0x0008;
inline constexpr uint32_t CE_BREAK = 0x0010;
inline constexpr uint32_t CE_TXFULL = 0x0100;
inline constexpr uint32_t CE_PTO = 0x0200;
inline constexpr uint32_t CE_IOE = 0x0400;
inline constexpr uint32_t CE_DNS = 0x0800;
inline constexpr uint32_t CE_OOP = 0x1000;
inline constexpr uint32_t CE_MODE = 0x8000;

// DCB enumerations.
inline constexpr uint8_t NOPARITY = 0;
inline constexpr uint8_t EVENPARITY = 2;
inline constexpr uint8_t ONESTOPBIT = 0;
inline constexpr uint8_t DTR_CONTROL_DISABLE = 0;
inline constexpr uint8_t DTR_CONTROL_ENABLE = 1;
inline constexpr uint8_t RTS_CONTROL_DISABLE = 0;
inline constexpr uint8_t RTS_CONTROL_HANDSHAKE = 2;

struct CommTimeouts {
    uint32_t readIntervalTimeout = 0;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 0;
};

// The fields of a Win32 DCB, one member each (bit fields unpacked). The Win32 port converts to
// and from the real DCB; the POSIX port maps them onto termios and keeps what termios cannot
// express (the special characters, XonLim/XoffLim) as the last state set or read.
struct Dcb {
    uint32_t DCBlength = 28;
    uint32_t BaudRate = 0;
    uint8_t fBinary = 0;
    uint8_t fParity = 0;
    uint8_t fOutxCtsFlow = 0;
    uint8_t fOutxDsrFlow = 0;
    uint8_t fDtrControl = 0;
    uint8_t fDsrSensitivity = 0;
    uint8_t fTXContinueOnXoff = 0;
    uint8_t fOutX = 0;
    uint8_t fInX = 0;
    uint8_t fErrorChar = 0;
    uint8_t fNull = 0;
    uint8_t fRtsControl = 0;
    uint8_t fAbortOnError = 0;
    uint32_t fDummy2 = 0; // the spare flag bits
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;

    bool operator==(const Dcb &) const = default;
};

enum class WaitStart {
    Completed, // the event word is already there
    Pending,   // wait with awaitCommEvent
    Failed,    // the wait could not be started; the event word stays 0
};

class SerialPort {
public:
    virtual ~SerialPort() = default; // closes the port; a pending wait is completed first

    SerialPort() = default;
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    virtual bool setupComm(uint32_t inQueue, uint32_t outQueue) = 0;
    virtual bool purge(uint32_t flags) = 0;
    virtual bool setTimeouts(const CommTimeouts &timeouts) = 0;
    virtual bool getState(Dcb &dcb) = 0;
    virtual bool setState(const Dcb &dcb) = 0;
    // Setting the mask to 0 completes a pending wait with the event word 0.
    virtual bool setMask(uint32_t mask) = 0;
    virtual bool escapeFunction(uint32_t function) = 0;

    // WaitCommEvent: clears the event word and starts a wait for an event of the mask.
    virtual WaitStart waitCommEvent() = 0;
    // Waits up to timeoutMs for a pending wait; true once it has completed. False on time-out,
    // and also at once after interruptWait(), so a stop request is seen without delay.
    virtual bool awaitCommEvent(uint32_t timeoutMs) = 0;
    // The event word of the last completed wait.
    virtual uint32_t commEvent() const = 0;
    // ResetEvent of the wait's event.
    virtual void resetWaitEvent() = 0;
    // Makes a current or next awaitCommEvent return false at once.
    virtual void interruptWait() = 0;

    // ClearCommError: the error word since the last call, and the bytes in the input queue.
    virtual bool clearError(uint32_t &errors, uint32_t &inQueue) = 0;
    // Reads up to `count` bytes that are queued; returns the number read (0 on failure).
    virtual uint32_t read(void *buffer, uint32_t count) = 0;
    // Writes and waits for completion, bounded by the write time-out; returns bytes written.
    virtual uint32_t write(const void *data, uint32_t count) = 0;

    // The system's error code (errno, GetLastError) of the last failed call on this port, kept
    // when the call failed; 0 when none has. A port without a system behind it says 0.
    virtual int32_t lastSystemError() const { return 0; }
};

// Why a port could not be opened, as the line's open path tells its host.
enum class OpenFailure : int32_t {
    None = 0,
    NoSuchDevice = 1,     // ENOENT, ENODEV, ENXIO; ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND
    PermissionDenied = 2, // EACCES, EPERM
    Locked = 3,           // held by another process: flock/TIOCEXCL; ERROR_ACCESS_DENIED, sharing
    NotATerminal = 4,     // the path is not a terminal device (ENOTTY)
    Other = 5,            // any other error of the system, or a port refused by a test factory
};

// Why an open failed. The system's error code (errno, or GetLastError) is taken at the failing
// call, before anything acquired so far is released.
struct OpenError {
    OpenFailure failure = OpenFailure::None;
    int32_t systemError = 0; // errno or GetLastError of the failing call; 0 when there was none
    std::string path;        // the device the failing call was about, when known
};

// The result of an open: the port, or why there is none.
struct OpenedPort {
    OpenedPort() = default;
    // A factory's port as it stands: a null one failed for a reason it did not say.
    OpenedPort(std::unique_ptr<SerialPort> opened) // NOLINT: implicit on purpose
        : port(std::move(opened)) {
        if (!port)
            error.failure = OpenFailure::Other;
    }
    static OpenedPort failed(OpenFailure why, int32_t systemError, std::string path) {
        OpenedPort result;
        result.error = OpenError{why, systemError, std::move(path)};
        return result;
    }

    std::unique_ptr<SerialPort> port;
    OpenError error;
};

// Opens "COMn" for exclusive use.
using SerialPortFactory = std::function<OpenedPort(const char *portName)>;
OpenedPort openSerialPort(const char *portName);

// The operating system's ports; tests install a factory of scripted ports instead.
OpenedPort openSystemSerialPort(const char *portName);
void setSerialPortFactory(SerialPortFactory factory); // an empty factory restores the system's

} // namespace kalvix3::platform
