/*
 * Kalvix3: caller-ID adapters and ISDN terminal adapters for host applications.
 *
 * The host loads the library, reads the device catalogue (GetKinds2), opens up to two lines
 * (line slots 0 and 1), and receives each caller number and each line fault as a window message
 * sent to the window it gave when it opened the line. It can read the call history a device
 * keeps (GetHistoryEx) and place a call through a terminal adapter (KalvixDialEx).
 *
 * Threads: call the exported functions from one thread, or one at a time. Notifications are
 * sent synchronously from the line's receive thread; the record and its text are valid only
 * while the window procedure runs. Text is code page 932 (Shift-JIS) bytes throughout.
 *
 * Calling back from a window procedure: dialing, reading a history and closing the other line
 * are allowed inside a notification; they block that line's reception meanwhile (a serial
 * history read from inside its own line's notification finds no answers and returns 0 records).
 * Closing the notifying line itself, or reading an NDA-P1 history on it, is refused. Closing
 * the line of a USB dial from a window procedure that runs while KalvixDialEx pumps messages
 * cancels the dial; the line closes before KalvixDialEx returns.
 *
 * Blocking: OpenCommLineEx returns without waiting for the device; CloseCommLineEx waits for
 * the line's receive thread to end (well under a second); GetHistoryEx and KalvixDialEx block
 * the caller for up to several seconds.
 */
#ifndef KALVIX3_H
#define KALVIX3_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#define KALVIX3_CALL __stdcall
#else
#define KALVIX3_CALL
#endif

#if defined(KALVIX3_BUILDING)
#if defined(_WIN32)
#define KALVIX3_API /* exported through the module definition file */
#define KALVIX3_DATA
#else
#define KALVIX3_API __attribute__((visibility("default")))
#define KALVIX3_DATA __attribute__((visibility("default")))
#endif
#else
#if defined(_WIN32)
#define KALVIX3_API
#define KALVIX3_DATA __declspec(dllimport)
#else
#define KALVIX3_API
#define KALVIX3_DATA
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Host windows -------------------------------------------------------------------------
 * On Windows a host window is an ordinary HWND. On POSIX it is a pointer to a host-owned
 * Kalvix3HostWindow: sending a message calls proc synchronously on the sending thread, with the
 * window pointer itself as first argument. A null window is ignored. wParam is a non-null
 * handle of the host executable. */
#ifndef _WIN32
typedef intptr_t (*Kalvix3WindowProc)(void *window, uint32_t message, uintptr_t wParam,
                                      intptr_t lParam);
typedef struct Kalvix3HostWindow {
    Kalvix3WindowProc proc; /* called for every message sent to this window */
    void *user;             /* the host's own pointer; the library never touches it */
} Kalvix3HostWindow;
#ifndef KALVIX3_NO_HWND
typedef Kalvix3HostWindow *HWND;
#endif
typedef Kalvix3HostWindow *Kalvix3Window;
#else
typedef HWND Kalvix3Window;
#endif

/* ---- Version ------------------------------------------------------------------------------ */
#define KALVIX3_VERSION 0x02000006 /* 2.0.0.6 */

/* ---- Notification messages ----------------------------------------------------------------
 * Both carry, as lParam, the address of a Kalvix3CopyData record (the layout of Win32's
 * COPYDATASTRUCT; the message is not WM_COPYDATA). */
#define KALVIX3_CALLER_NUMBER_MESSAGE 1726 /* 0x6BE: dwData 12, lpData the caller number */
#define KALVIX3_LINE_ERROR_MESSAGE 1728    /* 0x6C0: dwData the error code, lpData its text */
#define KALVIX3_CALLER_NUMBER_CODE 12

typedef struct CopyDataRecord {
    uintptr_t dwData; /* 12, or the line error code */
    uint32_t cbData;  /* text length in bytes, without the terminating zero */
    void *lpData;     /* zero-terminated code page 932 text */
} CopyDataRecord;

/* Caller-number texts: digits, or one letter for a call without a number:
 * "P" withheld, "O" outside the number-display area, "C" public telephone,
 * "S" passed on as the device sends it, "$" (ALEXON) a ring with neither. */

/* Line error codes (dwData of KALVIX3_LINE_ERROR_MESSAGE): 1..10 serial line faults, 311..313
 * faults of a USB adapter's driver. */
#define KALVIX3_LINE_BREAK 1               /* a break was received */
#define KALVIX3_LINE_FRAMING 2             /* framing error */
#define KALVIX3_LINE_PARITY 3              /* parity error */
#define KALVIX3_LINE_RECEIVE_OVERFLOW 4    /* the receive queue overflowed */
#define KALVIX3_LINE_OVERRUN 5             /* bytes were lost (overrun) */
#define KALVIX3_LINE_TRANSMIT_FULL 6       /* the transmit queue is full */
#define KALVIX3_LINE_IO_ERROR 7            /* I/O error: the device went away */
#define KALVIX3_LINE_MODE 8                /* the mode is not supported */
#define KALVIX3_LINE_TIMEOUT 9             /* time-out */
#define KALVIX3_LINE_NO_DEVICE 10          /* no parallel device selected */
#define KALVIX3_LINE_DRIVER_LOAD_FAILED 311  /* the USB driver library could not be loaded */
#define KALVIX3_LINE_DRIVER_ENTRY_MISSING 312 /* an entry is missing from it */
#define KALVIX3_LINE_DRIVER_FAILED 313      /* the adapter failed */

/* True for the line errors after which the line hears nothing more until it is closed and
 * opened again: the serial device went away (7), or a USB adapter's driver failed (311..313). */
static inline int Kalvix3LineIsGone(uint32_t code) {
    return code == KALVIX3_LINE_IO_ERROR ||
           (code >= KALVIX3_LINE_DRIVER_LOAD_FAILED && code <= KALVIX3_LINE_DRIVER_FAILED);
}

/* ---- Records ------------------------------------------------------------------------------ */
#pragma pack(push, 1)
typedef struct KindInfo {
    char name[52];       /* code page 932, zero-padded */
    int32_t kind;        /* the kind to pass to OpenCommLineEx */
    int32_t historySize; /* records GetHistoryEx can read; 0 where the device keeps none */
    int32_t dialFlags;   /* 0x8003 / 0x8007 where KalvixDialEx can dial, else 0 */
    int32_t usbDriver;   /* 1 when opened through the USB driver (port ignored) */
} KindInfo;

typedef struct HistoryRecord {
    char number[16]; /* digits or one reason letter; no terminator when 16 long */
    char date[10];   /* YYYYMMDD in bytes 0..7; bytes 8..9 never written */
    char time[8];    /* hhmmss in bytes 0..5; bytes 6..7 never written */
} HistoryRecord;
#pragma pack(pop)

/* The telephone ports KalvixDialEx can dial through on a kind with these dialFlags: ports 1 to
 * the result (2 or 3); 0 where the kind cannot dial. */
static inline int32_t Kalvix3DialPorts(int32_t dialFlags) {
    return dialFlags == 0 ? 0 : (dialFlags & 4) ? 3 : 2;
}

/* ---- Result codes -------------------------------------------------------------------------- */
#define KALVIX3_OK 0
/* OpenCommLineEx */
#define KALVIX3_ERR_PORT_OPEN 1    /* no such port, or it is already open */
#define KALVIX3_ERR_SETUP_COMM 2   /* queue sizes refused */
#define KALVIX3_ERR_TIMEOUTS 3     /* time-outs refused */
#define KALVIX3_ERR_GET_STATE 4    /* port settings could not be read */
#define KALVIX3_ERR_SET_STATE 5    /* port settings refused */
#define KALVIX3_ERR_EVENT_MASK 6   /* event mask refused */
#define KALVIX3_ERR_RAISE_DTR 7    /* DTR could not be raised (NDA-P1) */
#define KALVIX3_ERR_KIND 10        /* not a device kind of the catalogue */
#define KALVIX3_ERR_USB_DRIVER 31  /* a USB driver file is missing from the system directory */
/* GetHistoryEx */
#define KALVIX3_HISTORY_FAILED 1   /* the device's history was not read */
#define KALVIX3_HISTORY_NO_READER 10 /* the line's kind keeps no history the library can read */
/* Any export that returns a code: a slot other than 0 or 1, or a required pointer that is
 * null (or a negative count). Nothing is touched. */
#define KALVIX3_ERR_ARGUMENT 11
/* OpenCommLineEx on a slot whose line is still open: refused, the open line is left as it was
 * (close it first). GetHistoryEx on a slot without an open line returns 1. */
#define KALVIX3_ERR_SLOT_BUSY 12

/* ---- Exports ------------------------------------------------------------------------------ */
/* Stores 0x02000006. A null pointer is ignored. */
KALVIX3_API void KALVIX3_CALL GetKalvix3Version(int32_t *version);

/* listSelector 1: all 46 devices; any other value: the first 44. Call with *count == 0 to get
 * the number of rows; call again with *count nonzero to fill `kinds`, which must have room for
 * that many KindInfo records (3128 bytes for 46). A positive *count below the row count fills
 * only that many records. *count itself is not changed by the second call. Null pointers are
 * ignored. */
KALVIX3_API void KALVIX3_CALL GetKinds2(int32_t listSelector, int32_t *count, KindInfo *kinds);

/* Opens a line on COM<port> (port 1..9; USB kinds ignore it) for a device kind. Returns 0 or
 * one of the codes above. Returns once the receive thread is started. */
KALVIX3_API int32_t KALVIX3_CALL OpenCommLine(Kalvix3Window hostWindow, int32_t port,
                                              int32_t kind);
KALVIX3_API int32_t KALVIX3_CALL OpenCommLineEx(int32_t slot, Kalvix3Window hostWindow,
                                                int32_t port, int32_t kind);

/* Closes the line and waits for its receive thread to end. Always returns 1; a slot without an
 * open line is left alone. Called from inside a notification of the same line it is refused and
 * the line stays open (the thread cannot wait for itself); close it after the procedure returns. */
KALVIX3_API int32_t KALVIX3_CALL CloseCommLine(void);
KALVIX3_API int32_t KALVIX3_CALL CloseCommLineEx(int32_t slot);

/* Reads the device's call history into `records` (room for *count zero-filled records). On 0,
 * *count holds the number of records filled. The first argument of GetHistory is ignored. */
KALVIX3_API int32_t KALVIX3_CALL GetHistory(int32_t unused, int32_t *count,
                                            HistoryRecord *records);
KALVIX3_API int32_t KALVIX3_CALL GetHistoryEx(int32_t slot, int32_t *count,
                                              HistoryRecord *records);

/* Dials phoneNumber (every byte but '0'..'9' dropped) through telephone port telPort (1..3) of
 * the line's terminal adapter. Reports nothing. A number of more than KALVIX3_MAX_DIAL_DIGITS
 * digits is not dialled at all: a shortened number would ring somebody else. */
#define KALVIX3_MAX_DIAL_DIGITS 19
KALVIX3_API void KALVIX3_CALL KalvixDial(int32_t telPort, const char *phoneNumber);
KALVIX3_API void KALVIX3_CALL KalvixDialEx(int32_t slot, int32_t telPort,
                                           const char *phoneNumber);

/* The dial progress dialog while it is shown, else null. On POSIX it points to a
 * Kalvix3DialForm. */
extern KALVIX3_DATA void *_DialForm;

#ifndef _WIN32
/* ---- The dial progress dialog on POSIX ----------------------------------------------------
 * While KalvixDialEx waits for the user to lift the handset on a USB adapter (kinds 32, 34),
 * the library shows a progress form: on Windows a real dialog, on POSIX this headless form,
 * which a host may draw in its own toolkit through a Kalvix3DialHost. All calls come on the
 * thread that called KalvixDialEx. Without a dial host the form is still shown and closed
 * (_DialForm is set and cleared) and the failure message boxes are dropped. */
typedef struct Kalvix3DialForm {
    volatile int32_t CancelFlag; /* set to 1 (from the dialing thread) to cancel the dial */
    const char *caption;         /* code page 932 texts of the form */
    const char *message1;
    const char *message2;
    const char *cancelText;
    int32_t left, top, clientWidth, clientHeight; /* designed layout, pixels at 96 dpi */
} Kalvix3DialForm;

typedef struct Kalvix3DialHost {
    void *context;
    /* The form is shown; _DialForm == form. */
    void (*formShown)(void *context, Kalvix3DialForm *form);
    /* Called on every pass of the dial loop: handle the host's pending events; return nonzero
     * to press Cancel. Keep it short: the loop polls the adapter between calls. */
    int32_t (*pumpMessages)(void *context, Kalvix3DialForm *form);
    /* The form is closed; _DialForm is null again and form must not be used any more. */
    void (*formClosed)(void *context, Kalvix3DialForm *form);
    /* A dial failure message box (caption "Kalvix3.dll", style 0x30): show it, return when
     * the user has dismissed it. */
    void (*messageBox)(void *context, Kalvix3Window owner, const char *text, const char *caption,
                       uint32_t style);
} Kalvix3DialHost;

/* Installs the host's dial hooks (copied); null removes them. Call it while no dial runs. */
KALVIX3_API void KALVIX3_CALL Kalvix3SetDialHost(const Kalvix3DialHost *host);

/* ---- Why an open failed (POSIX) -----------------------------------------------------------
 * After OpenCommLineEx returned KALVIX3_ERR_PORT_OPEN, says why the port could not be opened;
 * after it returned 2..7 (a setting refused), KALVIX3_OPEN_OTHER with the errno of the refusal.
 * Returns one of the reasons below (KALVIX3_OPEN_NO_FAILURE after any other result), or
 * KALVIX3_ERR_ARGUMENT for a slot other than 0 and 1. *systemError receives the errno of the
 * failing call (0 when there was none); path receives the device it was about, a link in
 * KALVIX3_COM_DIR followed (for example "/dev/ttyUSB0"), cut to pathSize - 1 bytes and always
 * zero-terminated. Null pointers are ignored. Call it from the thread that opens lines. */
#define KALVIX3_OPEN_NO_FAILURE 0
#define KALVIX3_OPEN_NO_DEVICE 1         /* no such device (ENOENT, ENODEV, ENXIO), or port 0, 10.. */
#define KALVIX3_OPEN_PERMISSION_DENIED 2 /* EACCES, EPERM: the user may not open it */
#define KALVIX3_OPEN_LOCKED 3            /* another process (or line) holds it (EBUSY) */
#define KALVIX3_OPEN_NOT_A_TERMINAL 4    /* the path is not a terminal device (ENOTTY) */
#define KALVIX3_OPEN_OTHER 5             /* any other error */
KALVIX3_API int32_t KALVIX3_CALL Kalvix3GetLastOpenError(int32_t slot, int32_t *systemError,
                                                         char *path, int32_t pathSize);
#endif

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(KindInfo) == 68, "KindInfo is 68 bytes");
static_assert(offsetof(KindInfo, kind) == 52, "KindInfo.kind at 52");
static_assert(offsetof(KindInfo, usbDriver) == 64, "KindInfo.usbDriver at 64");
static_assert(sizeof(HistoryRecord) == 34, "HistoryRecord is 34 bytes");
static_assert(offsetof(HistoryRecord, date) == 16, "HistoryRecord.date at 16");
static_assert(offsetof(HistoryRecord, time) == 26, "HistoryRecord.time at 26");
static_assert(offsetof(CopyDataRecord, cbData) == sizeof(void *), "COPYDATASTRUCT layout");
static_assert(sizeof(CopyDataRecord) == 3 * sizeof(void *), "COPYDATASTRUCT layout");
#else
typedef char kalvix3_kindinfo_size[sizeof(KindInfo) == 68 ? 1 : -1];
typedef char kalvix3_history_size[sizeof(HistoryRecord) == 34 ? 1 : -1];
#endif

#endif /* KALVIX3_H */
