// The dial progress dialog (TDialForm) as the USB dial sees it: shown while the adapter waits
// for the handset, with a Cancel button. Lives on the thread that called KalvixDialEx; its
// events run inside that thread's message pump. _DialForm refers to it while it exists.
#pragma once

#include <cstdint>

#include "kalvix3.h"

namespace kalvix3 {

class TDialForm;

// One showing of the dialog, for the time of one dial.
class DialProgress {
public:
    // Creates the dialog, stores it in _DialForm, shows it modeless and brings it to the front.
    explicit DialProgress(Kalvix3Window owner);
    // Closes the dialog if it is still open (FormClose sets _DialForm back to null).
    ~DialProgress();
    DialProgress(const DialProgress &) = delete;
    DialProgress &operator=(const DialProgress &) = delete;

    // Handles every message waiting in the calling thread's queue.
    void pumpMessages();
    // Cancel was clicked, or the dialog was closed from its frame (a user who closes the window
    // wants the call cancelled too).
    bool cancelRequested() const;
    void close();

private:
    TDialForm *form = nullptr;
};

// MessageBoxA(owner, text, "Kalvix3.dll", MB_ICONEXCLAMATION | MB_OK); blocks until dismissed.
void showDialFailure(Kalvix3Window owner, const char *text);

} // namespace kalvix3
