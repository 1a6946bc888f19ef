// A deliberately wrong DLL for the export check to reject: a decorated name, a missing and an
// extra entry, a wrong stdcall size, _DialForm as code, and the C++ runtime as a DLL import.
#include <string>

extern "C" {
void __stdcall GetKalvix3Version(int *version) { *version = 0; }
void __stdcall GetKinds2(int, int) {} // 8 bytes instead of 12
void __stdcall OpenCommLine(void *, int, int) {}
void __stdcall OpenCommLineEx(int, void *, int, int) {}
void __stdcall CloseCommLine() {}
void __stdcall CloseCommLineEx(int) {}
void __stdcall GetHistory(int, int *, void *) {}
void __stdcall GetHistoryEx(int, int *, void *) {}
void __stdcall KalvixDial(int, const char *) {}
int _DialForm() { return static_cast<int>(std::string("runtime").size()); }
void __stdcall KalvixExtra() {}
}
