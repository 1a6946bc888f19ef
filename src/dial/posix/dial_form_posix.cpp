// The headless dial progress form of POSIX hosts.
#include <cstdint>

#include "dial/dial_form.h"

extern "C" void *_DialForm;

namespace kalvix3 {

class TDialForm {
public:
    int32_t CancelFlag = 0;
    bool closed = false;
};

DialProgress::DialProgress(Kalvix3Window) : form(new TDialForm) { _DialForm = form; }

DialProgress::~DialProgress() { close(); }

void DialProgress::pumpMessages() {}

bool DialProgress::cancelRequested() const { return form == nullptr || form->CancelFlag != 0; }

void DialProgress::close() {
    if (form == nullptr)
        return;
    if (_DialForm == form)
        _DialForm = nullptr;
    delete form;
    form = nullptr;
}

void showDialFailure(Kalvix3Window, const char *) {}

} // namespace kalvix3
