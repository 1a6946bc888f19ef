/*
 * The stand-in ITUSB.DLL: a simulated NEC Aterm adapter behind the driver library's entries
 * (Ev_USB_Control and the ITUSB_ requests), steered by tests and demos through the SimUsb_
 * entries below. The library under test knows nothing of these; a host loads the stand-in
 * itself (dlopen / LoadLibrary on the same file) and looks them up by name.
 *
 * Every entry is safe to call from any thread. Records are raw bytes in the driver's layouts:
 * caller status 43 bytes, event record 67, history page 390 (10 x 39), history buffer 6,600
 * (100 x 66). All state lives in the loaded stand-in: it is lost when the last user unloads it.
 *
 * A host in another process (kalvix3 under test) steers it through the environment, read when
 * the stand-in is loaded:
 *   SIMUSB_CALLS=0312345678,P  calls placed one after another on the polled adapters (kinds
 *                              32, 34): one after every second caller status read
 *   SIMUSB_LOG=path            a line appended for every logged driver call: entry, code (hex),
 *                              input length, the input's first bytes (hex, at most 64)
 *   SIMUSB_DIAL_STATES=2,1     the answers to the dial state requests, as SimUsb_SetDialStates
 *                              (0: the adapter refuses the dial)
 *   SIMUSB_LINE_STATE_ONES=-1  as SimUsb_SetLineStateOnes (-1: the handset is never lifted)
 */
#ifndef SIMUSB_H
#define SIMUSB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Which driver entry a logged call went to. */
enum {
    SIMUSB_EV_USB_CONTROL = 1,
    SIMUSB_OPEN_DEVICE = 2,
    SIMUSB_EVENT_NOTIFICATION_REQUEST = 3,
    SIMUSB_READ_BUFFER_REQUEST = 4,
    SIMUSB_CONTROL_TA = 5,
    SIMUSB_CLOSE_DEVICE = 6
};

/* One logged call of a driver entry. */
typedef struct SimUsbCall {
    int32_t entry;        /* SIMUSB_... */
    uint32_t code;        /* Ev_USB_Control: the control code; otherwise 0 */
    uint32_t inputLength; /* Ev_USB_Control: the input length; ITUSB_Control_TA: 54 */
    uint8_t input[64];    /* the first bytes of the input (page, dial and TA requests) */
    int64_t atMs;         /* steady clock, milliseconds */
    int32_t outstanding;  /* ITUSB_CloseDevice: requests it ended */
    int32_t eventsOpen;   /* ITUSB_CloseDevice: how many of their events were still open */
    int32_t accepted;     /* 1 when the call's arguments were the expected ones */
} SimUsbCall;

/* Back to the power-on state: no caller, empty history, nothing failing or held, log cleared,
 * dial states {1}, the dialled port ringing for 3 line-state polls, no hook, no delays. */
void SimUsb_Reset(void);

/* ---- Calls ---------------------------------------------------------------------------------
 * A call with a number ("0312345678") or a reason letter ("P" withheld, "C" public telephone,
 * "O" out of area): the caller status record changes (a counter in byte 39 makes each call a
 * new record) and an event record is delivered to the outstanding event request, or queued
 * for the next one. Returns 0 for a text that is neither digits nor a letter above. */
int32_t SimUsb_PlaceCall(const char *numberOrReason);
/* The caller status record that code 17 returns from now on (43 bytes). */
void SimUsb_SetStatusRecord(const uint8_t *record);
/* An event record (67 bytes) for the outstanding or next event request. */
void SimUsb_PushEventRecord(const uint8_t *record);

/* ---- History -------------------------------------------------------------------------------- */
/* Appends a call ("YYYYMMDDhhmmss") to both history forms (pages and buffer). */
int32_t SimUsb_AddHistoryEntry(const char *numberOrReason, const char *timestamp);
/* Raw forms: page 0..15 (390 bytes) and the buffer (6,600 bytes). */
void SimUsb_SetHistoryPage(int32_t page, const uint8_t *page390);
void SimUsb_SetHistoryBuffer(const uint8_t *buffer6600);

/* ---- Failures ------------------------------------------------------------------------------- */
/* The next `times` Ev_USB_Control calls with `code` return 0 with these result words
 * (times < 0: all of them, until reset). */
void SimUsb_FailControl(uint32_t code, int32_t times, uint32_t result1, uint32_t result2);
/* ITUSB_OpenDevice returns 0 while set. */
void SimUsb_FailOpen(int32_t fail);
/* While set, ITUSB_ReadBufferRequest and ITUSB_Control_TA requests stay outstanding. */
void SimUsb_HoldRequests(int32_t hold);
/* Completes the held requests now, writing their output, count and block and signalling their
 * events, as a late driver would. Returns how many were completed. */
int32_t SimUsb_CompleteHeld(void);
/* Ev_USB_Control calls with `code` take this long before they answer. */
void SimUsb_SetControlDelay(uint32_t code, uint32_t ms);

/* ---- Dialing -------------------------------------------------------------------------------- */
/* Answers to code 0x80000016 after each dial start, in order; the last one repeats. */
void SimUsb_SetDialStates(const uint8_t *states, int32_t count);
/* The dialled port reads 1 (ringing) for this many line-state polls, then 0; < 0: until the
 * dial is cancelled. */
void SimUsb_SetLineStateOnes(int32_t polls);

/* ---- Observation ---------------------------------------------------------------------------- */
int32_t SimUsb_LogSize(void);
/* Copies logged call `index` (from 0); 0 when there is none. */
int32_t SimUsb_LogEntry(int32_t index, SimUsbCall *call);
/* Calls of `entry` (and, for SIMUSB_EV_USB_CONTROL, of `code`; 0 means any code). */
int32_t SimUsb_CallCount(int32_t entry, uint32_t code);
/* Calls whose constant arguments, lengths or device handle were not the expected ones. */
int32_t SimUsb_BadCalls(void);
/* Runs inside every Ev_USB_Control call, on the calling thread, once the answer is ready. */
typedef void (*SimUsbControlHook)(void *context, uint32_t code);
void SimUsb_OnControl(SimUsbControlHook hook, void *context);

#ifdef __cplusplus
}
#endif

#endif /* SIMUSB_H */
