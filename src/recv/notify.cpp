#include "recv/notify.h"

#include <cstring>

#include "platform/notify.h"
#include "platform/serial_port.h"

namespace kalvix3 {

namespace {

using TextRow = char[50];

// Serial line errors, indexed by code - 1 (code page 932).
constexpr TextRow kSerialErrorTexts[10] = {
    "\222\206\222f\220M\215\206\202\360\216\363\220M\202\265\202\334\202\265\202\275\201B", // 中断信号を受信しました。
    "\203t\203\214\201[\203\200\203G\203\211\201[\202\252\224\255\220\266\202\265\202\334\202\265\202\275\201B", // フレームエラーが発生しました。
    "\203p\203\212\203e\203B\203G\203\211\201[\202\252\224\255\220\266\202\265\202\334\202\265\202\275\201B", // パリティエラーが発生しました。
    "\216\363\220M\203o\203b\203t\203@\203I\201[\203o\201[\203t\203\215\201[\202\252\224\255\220\266\202\265\202\334\202\265\202\275\201B", // 受信バッファオーバーフローが発生しました。
    "\203f\201[\203^\221\271\216\270\202\252\202\250\202\261\202\350\202\334\202\265\202\275\201B", // データ損失がおこりました。
    "\221\227\220M\203o\203b\203t\203@\202\252\202\242\202\301\202\317\202\242\202\305\202\267\201B", // 送信バッファがいっぱいです。
    "I/O\203G\203\211\201[\202\252\224\255\220\266\202\265\202\334\202\265\202\275\201B", // I/Oエラーが発生しました。
    "\203\202\201[\203h\202\252\203T\203|\201[\203g\202\263\202\352\202\304\202\242\202\334\202\271\202\361\201B", // モードがサポートされていません。
    "\203^\203C\203\200\203A\203E\203g\202\252\224\255\220\266\202\265\202\334\202\265\202\275\201B", // タイムアウトが発生しました。
    "\203p\203\211\203\214\203\213\203f\203o\203C\203X\202\252\221I\221\360\202\263\202\352\202\304\202\242\202\334\202\271\202\361\201B", // パラレルデバイスが選択されていません。
};

// USB driver errors, indexed by code - 311.
constexpr TextRow kDriverErrorTexts[3] = {
    "ITUSB.DLL\202\314\203\215\201[\203h\202\311\216\270\224s\202\265\202\334\202\265\202\275\201B", // ITUSB.DLLのロードに失敗しました。
    "ITUSB.DLL\223\340\202\314\212\326\220\224\203A\203h\203\214\203X\202\314\216\346\223\276\202\311\216\270\224s\202\265\202\334\202\265\202\275\201B", // ITUSB.DLL内の関数アドレスの取得に失敗しました。
    "\211\275\202\347\202\251\202\314\203G\203\211\201[\202\252\224\255\220\266\202\265\202\334\202\265\202\275\201B", // 何らかのエラーが発生しました。
};

// The error bits in the order they are tested; the first set bit decides the code.
struct ErrorBit {
    uint32_t bit;
    uint32_t code;
};
constexpr ErrorBit kErrorBitOrder[] = {
    {platform::CE_BREAK, KALVIX3_LINE_BREAK},
    {platform::CE_FRAME, KALVIX3_LINE_FRAMING},
    {platform::CE_RXPARITY, KALVIX3_LINE_PARITY},
    {platform::CE_RXOVER, KALVIX3_LINE_RECEIVE_OVERFLOW},
    {platform::CE_OVERRUN, KALVIX3_LINE_OVERRUN},
    {platform::CE_TXFULL, KALVIX3_LINE_TRANSMIT_FULL},
    {platform::CE_IOE, KALVIX3_LINE_IO_ERROR},
    {platform::CE_MODE, KALVIX3_LINE_MODE},
    {platform::CE_PTO, KALVIX3_LINE_TIMEOUT},
    {platform::CE_DNS, KALVIX3_LINE_NO_DEVICE},
};

void sendRecord(Kalvix3Window window, uint32_t message, uint32_t code, const char *text) {
    CopyDataRecord record;
    std::memset(&record, 0, sizeof record);
    record.dwData = code;
    record.cbData = static_cast<uint32_t>(std::strlen(text));
    record.lpData = const_cast<char *>(text);
    platform::sendMessage(window, message, platform::hostModuleHandle(), &record);
}

void sendTableRow(Kalvix3Window window, uint32_t code, const TextRow &row) {
    TextRow text; // the sender's own copy, valid for the whole send
    std::memcpy(text, row, sizeof text);
    sendRecord(window, KALVIX3_LINE_ERROR_MESSAGE, code, text);
}

} // namespace

uint32_t serialErrorCode(uint32_t errorWord) {
    for (const ErrorBit &entry : kErrorBitOrder)
        if (errorWord & entry.bit)
            return entry.code;
    return 0;
}

const char *lineErrorText(uint32_t code) {
    if (code >= KALVIX3_LINE_BREAK && code <= KALVIX3_LINE_NO_DEVICE)
        return kSerialErrorTexts[code - KALVIX3_LINE_BREAK];
    if (code >= kDriverLoadFailed && code <= kDriverFailed)
        return kDriverErrorTexts[code - kDriverLoadFailed];
    return nullptr;
}

void notifyCallerNumber(Kalvix3Window window, const char *number) {
    if (number == nullptr || number[0] == '\0')
        return;
    sendRecord(window, KALVIX3_CALLER_NUMBER_MESSAGE, KALVIX3_CALLER_NUMBER_CODE, number);
}

void notifySerialError(Kalvix3Window window, uint32_t errorWord) {
    uint32_t code = serialErrorCode(errorWord);
    if (code != 0)
        sendTableRow(window, code, kSerialErrorTexts[code - 1]);
}

void notifyDriverError(Kalvix3Window window, uint32_t code) {
    if (code >= kDriverLoadFailed && code <= kDriverFailed)
        sendTableRow(window, code, kDriverErrorTexts[code - kDriverLoadFailed]);
}

} // namespace kalvix3
