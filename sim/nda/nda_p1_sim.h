// The stand-in NDA_P1.dll: the device maker's history library for the I-O DATA NDA-P1, with a
// simulated device behind it. NDA_Init really opens the port it is given (exclusively, as the
// library's own lines do), so it fails while the line still holds the port.
//
// Tests and the demo load the same file and script it through the SimNda_ entries; the
// Kalvix3 library knows only NDA_Init, NDA_Exit and NDA_GetHistoryData.
#pragma once

#include <stdint.h>

#ifdef _WIN32
#define SIM_NDA_CALL __stdcall
#define SIM_NDA_EXPORT __declspec(dllexport)
#else
#define SIM_NDA_CALL
#define SIM_NDA_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum { SIM_NDA_ENTRY_SIZE = 36, SIM_NDA_MAX_ENTRIES = 10 };

/* The device's side. */
SIM_NDA_EXPORT int SIM_NDA_CALL NDA_Init(const char *portName, const void *settings);
SIM_NDA_EXPORT void SIM_NDA_CALL NDA_Exit(void);
SIM_NDA_EXPORT int SIM_NDA_CALL NDA_GetHistoryData(void *entries, int32_t *flag);

/* Scripting. An entry: the number (or a reason text in code page 932) and MM DD hh mm. */
SIM_NDA_EXPORT void SIM_NDA_CALL SimNda_Reset(void);
SIM_NDA_EXPORT void SIM_NDA_CALL SimNda_AddEntry(const char *number, int month, int day, int hour,
                                                 int minute);
SIM_NDA_EXPORT void SIM_NDA_CALL SimNda_AddRawEntry(const void *entry36);
SIM_NDA_EXPORT void SIM_NDA_CALL SimNda_FailInit(int fail);
SIM_NDA_EXPORT void SIM_NDA_CALL SimNda_FailHistory(int fail);
/* What the library did: how often each entry ran, the port it asked for, whether the port
 * could be opened, the settings record's bytes. */
SIM_NDA_EXPORT int SIM_NDA_CALL SimNda_Calls(const char *entryName);
SIM_NDA_EXPORT const char *SIM_NDA_CALL SimNda_LastPort(void);
SIM_NDA_EXPORT int SIM_NDA_CALL SimNda_PortOpened(void);
SIM_NDA_EXPORT const uint8_t *SIM_NDA_CALL SimNda_LastSettings(void);

#ifdef __cplusplus
}
#endif
