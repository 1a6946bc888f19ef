// TDialForm: the dial progress dialog as a modeless Win32 dialog built from the "TDIALFORM"
// resource, on the thread that dials; its handlers run inside that thread's message pump.
#include "dial/dial_form.h"

#include <windows.h>

#include <algorithm>

#include "dial/win32/dial_form_ids.h"

extern "C" void *_DialForm;

namespace kalvix3 {

namespace {

// The designed layout in pixels (client coordinates at 96 dpi); the resource's dialog units
// depend on the font the system substitutes, so the form applies these when it is created.
constexpr POINT kFormPosition{303, 444};
constexpr SIZE kClientSize{311, 97};
struct ControlPlace {
    int id;
    int left, top, width, height;
};
// The designed margin right of lblMsg2 and of the Cancel button, kept when the form widens.
constexpr int kRightMargin = 12;
constexpr ControlPlace kLayout[] = {
    {KALVIX3_DIAL_IMG_ICON, 12, 12, 33, 33},    // imgIcon
    {KALVIX3_DIAL_LBL_MSG1, 56, 12, 124, 12},   // lblMsg1
    {KALVIX3_DIAL_LBL_MSG2, 56, 32, 243, 12},   // lblMsg2
    {KALVIX3_DIAL_BTN_CANCEL, 224, 60, 75, 25}, // btnCancel
};

// ＭＳ Ｐゴシック, 12 pixels high, Shift-JIS; where the face is missing the system substitutes.
constexpr char kFontFace[] = "\202l\202r \202o\203S\203V\203b\203N";
constexpr LONG kFontHeight = -12; // character height, without the internal leading

constexpr char kFailureCaption[] = "Kalvix3.dll";
constexpr UINT kFailureStyle = 0x30; // MB_ICONEXCLAMATION | MB_OK
// A pump call hands back to the dial loop after this long even if messages keep coming.
constexpr DWORD kPumpBoundMs = 200;
// With nothing to handle, a pump call waits this long for input before the dial loop asks the
// adapter again: the dialog answers at once, and the loop does not spin while the phone rings.
constexpr DWORD kIdleWaitMs = 10;

// The module that holds this code and the dialog resource: the DLL, or a program that links
// the library statically.
HINSTANCE resourceModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&resourceModule), &module);
    return module;
}

} // namespace

class TDialForm {
public:
    // Creates the form into `holder` (FormCreate runs during creation); the form clears
    // `holder` when it frees itself, and leaves it null when no window could be created.
    static void create(HWND owner, TDialForm *&holder) {
        holder = new TDialForm(&holder);
        HWND dialog = CreateDialogParamA(resourceModule(), "TDIALFORM", owner, &dialogProc,
                                         reinterpret_cast<LPARAM>(holder));
        if (dialog == nullptr && holder != nullptr)
            delete holder; // no window ever owned it
    }

    HWND handle = nullptr;
    int32_t CancelFlag = 0;

    // The ordinary close: runs FormClose, after which the form is gone.
    void close() { SendMessageA(handle, WM_CLOSE, 0, 0); }

private:
    explicit TDialForm(TDialForm **owner) : holder(owner) {}
    ~TDialForm() {
        if (holder != nullptr && *holder == this)
            *holder = nullptr;
        if (font != nullptr)
            DeleteObject(font); // the window and its controls are gone by now
    }

    // The dialog manager may not honour the template's character set, so the form makes its
    // font itself and gives it to every control.
    void applyFont() {
        LOGFONTA logical{};
        logical.lfHeight = kFontHeight;
        logical.lfWeight = FW_NORMAL;
        logical.lfCharSet = SHIFTJIS_CHARSET;
        logical.lfOutPrecision = OUT_DEFAULT_PRECIS;
        logical.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        logical.lfQuality = DEFAULT_QUALITY;
        logical.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
        lstrcpynA(logical.lfFaceName, kFontFace, LF_FACESIZE);
        font = CreateFontIndirectA(&logical);
        if (font == nullptr)
            return; // the template's font stays
        SendMessageA(handle, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        for (const ControlPlace &control : kLayout)
            SendDlgItemMessageA(handle, control.id, WM_SETFONT, reinterpret_cast<WPARAM>(font),
                                FALSE);
    }

    void setClientSize(LONG width, LONG height) {
        RECT frame{0, 0, width, height};
        AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(handle, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrA(handle, GWL_EXSTYLE)));
        SetWindowPos(handle, nullptr, kFormPosition.x, kFormPosition.y, frame.right - frame.left,
                     frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }

    // The size of a label's text in the font the label draws with, as the static control
    // measures it.
    static SIZE textSize(HWND label) {
        wchar_t text[256] = {};
        int length = GetWindowTextW(label, text, 256);
        HDC dc = GetDC(label);
        if (dc == nullptr)
            return {0, 0};
        auto font = reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0));
        HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
        RECT bounds{0, 0, 0, 0};
        DrawTextW(dc, text, length, &bounds, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        if (previous != nullptr)
            SelectObject(dc, previous);
        ReleaseDC(label, dc);
        return {bounds.right - bounds.left, bounds.bottom - bounds.top};
    }

    // The designed label sizes fit ＭＳ Ｐゴシック; where the system selects a wider font, a label
    // grows to hold its text (never below its designed size), and the form widens only when a
    // label would leave it. Positions stay as designed.
    void fitLabels() {
        LONG clientWidth = kClientSize.cx;
        for (const ControlPlace &control : kLayout) {
            if (control.id != KALVIX3_DIAL_LBL_MSG1 && control.id != KALVIX3_DIAL_LBL_MSG2)
                continue;
            HWND label = GetDlgItem(handle, control.id);
            SIZE text = textSize(label);
            int width = std::max<int>(control.width, text.cx);
            int height = std::max<int>(control.height, text.cy);
            if (width != control.width || height != control.height)
                MoveWindow(label, control.left, control.top, width, height, FALSE);
            if (control.left + width > clientWidth)
                clientWidth = control.left + width + kRightMargin;
        }
        if (clientWidth != kClientSize.cx)
            setClientSize(clientWidth, kClientSize.cy);
    }

    void FormCreate() {
        CancelFlag = 0;
        setClientSize(kClientSize.cx, kClientSize.cy);
        applyFont();
        SendDlgItemMessageA(handle, KALVIX3_DIAL_IMG_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_INFORMATION)), 0);
        // After the icon: a static resizes itself to the icon when it is given one.
        for (const ControlPlace &control : kLayout)
            MoveWindow(GetDlgItem(handle, control.id), control.left, control.top, control.width,
                       control.height, FALSE);
        fitLabels();
    }

    // The form frees itself once closed (WM_NCDESTROY), and no longer is the dialog.
    void FormClose() {
        if (_DialForm == this)
            _DialForm = nullptr;
        DestroyWindow(handle);
    }

    void btnCancelClick() { CancelFlag = 1; }

    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            auto *form = reinterpret_cast<TDialForm *>(lParam);
            SetWindowLongPtrA(dialog, DWLP_USER, lParam);
            form->handle = dialog;
            form->FormCreate();
            return TRUE; // focus to the first tab stop, the Cancel button
        }
        auto *form = reinterpret_cast<TDialForm *>(GetWindowLongPtrA(dialog, DWLP_USER));
        if (form == nullptr)
            return FALSE;
        switch (message) {
        case WM_COMMAND:
            if (LOWORD(wParam) == KALVIX3_DIAL_BTN_CANCEL && HIWORD(wParam) == BN_CLICKED) {
                form->btnCancelClick();
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE: // the close box, Alt+F4, or close()
            form->FormClose();
            return TRUE;
        case WM_NCDESTROY:
            SetWindowLongPtrA(dialog, DWLP_USER, 0);
            form->handle = nullptr;
            delete form;
            return FALSE;
        default:
            return FALSE;
        }
    }

    TDialForm **holder;
    HFONT font = nullptr;
};

// Owned only by a window of this thread: an owner on another thread would tie the two threads'
// input together while the dial loop runs.
DialProgress::DialProgress(Kalvix3Window owner) {
    DWORD ownerThread = owner != nullptr ? GetWindowThreadProcessId(owner, nullptr) : 0;
    HWND parent = ownerThread == GetCurrentThreadId() ? owner : nullptr;
    TDialForm::create(parent, form);
    if (form == nullptr)
        return;
    _DialForm = form;
    ShowWindow(form->handle, SW_SHOW);
    SetForegroundWindow(form->handle);
}

DialProgress::~DialProgress() { close(); }

namespace {

// Handles the messages waiting in the calling thread's queue (and those sent to the thread
// meanwhile), the dialog's through IsDialogMessageA; false when there was none. `form` is the
// holder itself: a message that closes the dialog clears it.
bool handleWaitingMessages(TDialForm *const &form) {
    DWORD started = GetTickCount();
    bool handled = false;
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        handled = true;
        if (message.message == WM_QUIT) {
            // The host is quitting: leave the quit for its own loop, and cancel the dial.
            if (form != nullptr)
                form->CancelFlag = 1;
            PostQuitMessage(static_cast<int>(message.wParam));
            return true;
        }
        if (form == nullptr || !IsDialogMessageA(form->handle, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (GetTickCount() - started >= kPumpBoundMs)
            return true;
    }
    return handled;
}

} // namespace

// With nothing to handle it waits briefly for input, so the dial loop around it does not spin
// while the phone rings; input that comes meanwhile is handled at once.
void DialProgress::pumpMessages() {
    if (handleWaitingMessages(form))
        return;
    // MWMO_INPUTAVAILABLE: input already in the queue, seen or not, ends the wait as well.
    if (MsgWaitForMultipleObjectsEx(0, nullptr, kIdleWaitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
        WAIT_OBJECT_0)
        handleWaitingMessages(form);
}

bool DialProgress::cancelRequested() const {
    return form == nullptr || form->CancelFlag != 0;
}

void DialProgress::close() {
    if (form != nullptr)
        form->close(); // FormClose frees the form, which clears `form` and _DialForm
}

void showDialFailure(Kalvix3Window owner, const char *text) {
    MessageBoxA(owner, text, kFailureCaption, kFailureStyle);
}

} // namespace kalvix3
