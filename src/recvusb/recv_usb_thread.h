// TRecvUSBThread: watches a NEC Aterm adapter on USB (kinds 32, 34) by polling its caller
// status through Ev_USB_Control once a second.
#pragma once

#include "kalvix3.h"
#include "platform/thread.h"

namespace kalvix3 {

class TRecvUSBThread : public platform::Thread {
public:
    TRecvUSBThread();
    ~TRecvUSBThread() override;

    Kalvix3Window hostWindow = nullptr;

protected:
    void ThreadMain() override;
};

} // namespace kalvix3
