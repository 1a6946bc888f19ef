// The texts of the dial progress dialog and of the dial failure message boxes (code page 932).
#pragma once

namespace kalvix3 {

constexpr char kCaption[] = "\203_\203C\203\204\203\213\224\255\220M"; // ダイヤル発信
constexpr char kMessage1[] = "\224\255\220M\217\200\224\365\202\252\212\256\227\271\202\265\202\334\202\265\202\275"; // 発信準備が完了しました
constexpr char kMessage2[] = "\214\273\215\335\214\333\223\256\202\265\202\304\202\242\202\351\216\363\230b\212\355\202\360\216\346\202\351\202\261\202\306\202\305\224\255\220M\202\265\202\334\202\267"; // 現在鼓動している受話器を取ることで発信します
constexpr char kCancelText[] = "\203L\203\203\203\223\203Z\203\213"; // キャンセル
constexpr char kMessageBoxCaption[] = "Kalvix3.dll";
constexpr unsigned kMessageBoxStyle = 0x30; // MB_ICONEXCLAMATION | MB_OK
constexpr char kDialFailed[] = "\203_\203C\203\204\203\213\224\255\220M\216\270\224s"; // ダイヤル発信失敗
// ダイヤル発信失敗 LF 受話器を置いた状態で発信ボタンを押してください
constexpr char kDialFailedPutDownHandset[] = "\203_\203C\203\204\203\213\224\255\220M\216\270\224s" "\n" "\216\363\230b\212\355\202\360\222u\202\242\202\275\217\363\221\324\202\305\224\255\220M\203{\203^\203\223\202\360\211\237\202\265\202\304\202\255\202\276\202\263\202\242";

} // namespace kalvix3
