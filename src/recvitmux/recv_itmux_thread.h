// TRecvITMUXThread: watches a multiplexed NEC Aterm adapter on USB (kinds 36, 38, 40, 42)
// through the ITUSB_ event requests of the driver library.
#pragma once

#include "kalvix3.h"
#include "platform/thread.h"

namespace kalvix3 {

class TRecvITMUXThread : public platform::Thread {
public:
    TRecvITMUXThread();
    ~TRecvITMUXThread() override;

    Kalvix3Window hostWindow = nullptr;

protected:
    void ThreadMain() override;
};

} // namespace kalvix3
