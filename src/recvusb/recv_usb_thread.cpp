#include "recvusb/recv_usb_thread.h"

namespace kalvix3 {

TRecvUSBThread::TRecvUSBThread() = default;
TRecvUSBThread::~TRecvUSBThread() { stopAndWait(); }
void TRecvUSBThread::ThreadMain() {}

} // namespace kalvix3
