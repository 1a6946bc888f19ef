#include "core/words.h"

#include <array>

#include "core/line_status.h"
#include "kalvix3.h"

namespace kalvix3d {

namespace {

constexpr std::array kCallerReasons{
    CallerReason{"P", "withheld", "非通知"},
    CallerReason{"O", "out of area", "表示圏外"},
    CallerReason{"C", "public phone", "公衆電話"},
    CallerReason{"S", "no number (S)", "表示不可"},
    CallerReason{"$", "ring without number", "番号なし着信"},
};

constexpr std::array kLineCauses{
    CauseWords{LineCause::none, "", "", ""},
    CauseWords{LineCause::notOpenedYet, "not-opened-yet", "not opened yet", "まだ開いていません"},
    CauseWords{LineCause::deviceMissing, "device-missing", "the adapter is not plugged in",
               "アダプタが接続されていません"},
    CauseWords{LineCause::pathUnresolved, "path-unresolved", "the adapter's device cannot be found",
               "アダプタのデバイスが見つかりません"},
    CauseWords{LineCause::openRefused, "open-refused",
               "the line cannot be opened (result {result})", "回線を開けません（結果 {result}）"},
    CauseWords{LineCause::adapterGone, "adapter-gone", "the adapter went away (line error {error})",
               "アダプタが外れました（回線エラー {error}）"},
    CauseWords{LineCause::stopping, "stopping", "the service is stopping",
               "サービスを停止しています"},
};

constexpr std::array kNumberKinds{
    NumberKindWords{NumberKind::unknown, "unknown", "unknown", "不明"},
    NumberKindWords{NumberKind::fixedLine, "fixed-line", "fixed line", "固定電話"},
    NumberKindWords{NumberKind::mobile, "mobile", "mobile", "携帯電話"},
    NumberKindWords{NumberKind::ipPhone, "ip-phone", "IP phone", "IP電話"},
    NumberKindWords{NumberKind::freeDial, "free-dial", "free dial", "フリーダイヤル"},
    NumberKindWords{NumberKind::naviDial, "navi-dial", "navi dial", "ナビダイヤル"},
    NumberKindWords{NumberKind::premiumRate, "premium-rate", "premium rate", "有料情報サービス"},
    NumberKindWords{NumberKind::sharedCost, "shared-cost", "shared cost", "料金分担"},
    NumberKindWords{NumberKind::personal, "personal", "personal number", "パーソナル番号"},
    NumberKindWords{NumberKind::pager, "pager", "pager and machine lines", "ポケベル・データ通信"},
    NumberKindWords{NumberKind::voicemail, "voicemail", "voicemail", "ボイスメール"},
    NumberKindWords{NumberKind::international, "international", "international", "国際電話"},
};

// The row of `table` whose `field` is `value`, or null.
template <class Row, std::size_t size, class Key>
const Row *rowWith(const std::array<Row, size> &table, Key Row::*field, Key value) {
    for (const Row &row : table)
        if (row.*field == value)
            return &row;
    return nullptr;
}

} // namespace

std::span<const NumberKindWords> numberKinds() { return kNumberKinds; }

const NumberKindWords &numberKindWords(NumberKind kind) {
    const NumberKindWords *words = rowWith(kNumberKinds, &NumberKindWords::kind, kind);
    return words ? *words : kNumberKinds.front();
}

NumberKind numberKindOf(std::string_view key) {
    const NumberKindWords *words = rowWith(kNumberKinds, &NumberKindWords::key, key);
    return words ? words->kind : NumberKind::unknown;
}

const char *lineStateName(LineState state) {
    switch (state) {
    case LineState::up: return "up";
    case LineState::down: return "down";
    case LineState::reopening: return "reopening";
    }
    return "?";
}

std::span<const CallerReason> callerReasons() { return kCallerReasons; }

const CallerReason *callerReasonOf(std::string_view text) {
    return rowWith(kCallerReasons, &CallerReason::letter, text);
}

std::string reasonInWords(std::string_view text) {
    const CallerReason *reason = callerReasonOf(text);
    return reason ? std::string(reason->english) : std::string();
}

std::span<const CauseWords> lineCauses() { return kLineCauses; }

const CauseWords &causeWords(LineCause cause) {
    const CauseWords *words = rowWith(kLineCauses, &CauseWords::cause, cause);
    return words ? *words : kLineCauses.front();
}

std::string openFailureInWords(std::int32_t code) {
    switch (code) {
    case KALVIX3_ERR_SETUP_COMM: return "the port refused its queue sizes: is it a serial port?";
    case KALVIX3_ERR_TIMEOUTS: return "the port refused its time-outs: is it a serial port?";
    case KALVIX3_ERR_GET_STATE:
        return "the port's settings could not be read: is it a serial port?";
    case KALVIX3_ERR_SET_STATE:
        return "the port refused the device's settings (speed, framing, handshake).";
    case KALVIX3_ERR_EVENT_MASK: return "the port refused its event mask.";
    case KALVIX3_ERR_RAISE_DTR:
        return "DTR could not be raised: check the NDA-P1's cable and port.";
    case KALVIX3_ERR_KIND: return "not a device kind of the catalogue: see `kalvix3 kinds`.";
    case KALVIX3_ERR_ARGUMENT: return "the line slot must be 0 or 1.";
    default: return "unexpected result " + std::to_string(code) + ".";
    }
}

} // namespace kalvix3d
