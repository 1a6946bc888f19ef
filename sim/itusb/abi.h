// How the stand-in's entries are exported: the driver entries with the Windows standard calling
// convention on Windows and plain C on POSIX; the SimUsb_ controls plain C everywhere.
#pragma once

#ifdef _WIN32
#define SIMUSB_EXPORT extern "C" __declspec(dllexport)
#define SIMUSB_DRIVER_CALL __stdcall
#else
#define SIMUSB_EXPORT extern "C" __attribute__((visibility("default")))
#define SIMUSB_DRIVER_CALL
#endif
