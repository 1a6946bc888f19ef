#include "recvitmux/recv_itmux_thread.h"

namespace kalvix3 {

TRecvITMUXThread::TRecvITMUXThread() = default;
TRecvITMUXThread::~TRecvITMUXThread() { stopAndWait(); }
void TRecvITMUXThread::ThreadMain() {}

} // namespace kalvix3
