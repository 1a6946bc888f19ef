// What the Win32 thread keeps beside the portable interface: the thread whose window a receive
// thread's body is sending a message to, while the send is in progress.
#pragma once

#include <windows.h>

namespace kalvix3::platform::win32 {

// Called on a body's thread around SendMessageA: the target window's thread, then 0 once the
// send has returned. Does nothing on threads that are not bodies of a platform::Thread.
void noteSendTarget(DWORD windowThread);

} // namespace kalvix3::platform::win32
