// The headless dial progress form of POSIX hosts: the same state as the Windows dialog, shown to
// the host through its Kalvix3DialHost hooks, if it installed any.
#include <chrono>
#include <mutex>
#include <thread>

#include "dial/dial_form.h"
#include "dial/dial_texts.h"

extern "C" void *_DialForm;

namespace kalvix3 {

namespace {

std::mutex hostLock;
Kalvix3DialHost installedHost{};

Kalvix3DialHost currentHost() {
    std::lock_guard<std::mutex> hold(hostLock);
    return installedHost;
}

// Without a host pump the loop would poll the adapter back to back; a short wait keeps an
// unattended dial from spinning a core.
constexpr auto kIdlePump = std::chrono::milliseconds(10);

} // namespace

class TDialForm : public Kalvix3DialForm {
public:
    TDialForm() : Kalvix3DialForm{} {
        FormCreate();
        caption = kCaption;
        message1 = kMessage1;
        message2 = kMessage2;
        cancelText = kCancelText;
        left = 303;
        top = 444;
        clientWidth = 311;
        clientHeight = 97;
    }
    void FormCreate() { CancelFlag = 0; }
    void btnCancelClick() { CancelFlag = 1; }
    void FormClose() {
        if (_DialForm == this)
            _DialForm = nullptr;
    }
};

DialProgress::DialProgress(Kalvix3Window) : form(new TDialForm) {
    _DialForm = static_cast<Kalvix3DialForm *>(form);
    Kalvix3DialHost host = currentHost();
    if (host.formShown)
        host.formShown(host.context, form);
}

DialProgress::~DialProgress() { close(); }

void DialProgress::pumpMessages() {
    if (form == nullptr)
        return;
    Kalvix3DialHost host = currentHost();
    if (host.pumpMessages == nullptr) {
        std::this_thread::sleep_for(kIdlePump);
        return;
    }
    if (host.pumpMessages(host.context, form) != 0)
        form->btnCancelClick();
}

bool DialProgress::cancelRequested() const { return form == nullptr || form->CancelFlag != 0; }

void DialProgress::close() {
    if (form == nullptr)
        return;
    form->FormClose();
    Kalvix3DialHost host = currentHost();
    if (host.formClosed)
        host.formClosed(host.context, form);
    delete form;
    form = nullptr;
}

void showDialFailure(Kalvix3Window owner, const char *text) {
    Kalvix3DialHost host = currentHost();
    if (host.messageBox)
        host.messageBox(host.context, owner, text, kMessageBoxCaption, kMessageBoxStyle);
}

} // namespace kalvix3

extern "C" KALVIX3_API void KALVIX3_CALL Kalvix3SetDialHost(const Kalvix3DialHost *host) {
    std::lock_guard<std::mutex> hold(kalvix3::hostLock);
    kalvix3::installedHost = host ? *host : Kalvix3DialHost{};
}
