#include "device_families.h"

#include <cctype>
#include <random>

namespace kalvix3::sim {

namespace {

constexpr char STX = 0x02;
constexpr char ETX = 0x03;
constexpr char ACK = 0x06;
constexpr size_t kNumberField = 20;
constexpr size_t kPendingLimit = 256; // a device forgets unterminated input beyond this

// The NDA-P1's reason texts, code page 932 half-width katakana.
constexpr std::string_view kNdaWithheld = "\xCB\xC2\xB3\xC1";                              // ﾋﾂｳﾁ
constexpr std::string_view kNdaOutOfArea = "\xCB\xAE\xB3\xBC\xDE\xB9\xDD\xB6\xDE\xB2";     // ﾋｮｳｼﾞｹﾝｶﾞｲ
constexpr std::string_view kNdaPublicPhone = "\xBA\xB3\xBC\xAD\xB3\xC3\xDE\xDD\xDC";       // ｺｳｼｭｳﾃﾞﾝﾜ

// The number, or the reason letter that stands in for it.
std::string callerText(const Call &call) {
    switch (call.caller) {
    case CallerKind::Number: return call.number;
    case CallerKind::Withheld: return "P";
    case CallerKind::OutOfArea: return "O";
    case CallerKind::PublicPhone: return "C";
    case CallerKind::NoNumber: return "";
    }
    return "";
}

std::string ndaCallerText(const Call &call) {
    switch (call.caller) {
    case CallerKind::Withheld: return std::string(kNdaWithheld);
    case CallerKind::OutOfArea: return std::string(kNdaOutOfArea);
    case CallerKind::PublicPhone: return std::string(kNdaPublicPhone);
    default: return callerText(call);
    }
}

std::string fourDigits(std::string_view text) {
    std::string field(text.substr(0, 4));
    field.resize(4, '0');
    return field;
}

// "MM/DD HH:MM" from MMDD and HHMM.
std::string slashedDateTime(const Call &call) {
    std::string date = fourDigits(call.monthDay);
    std::string time = fourDigits(call.hourMinute);
    return date.substr(0, 2) + "/" + date.substr(2) + " " + time.substr(0, 2) + ":" + time.substr(2);
}

std::string keywordLine(std::string_view keyword, std::string_view gap, const std::string &text) {
    if (text.empty())
        return std::string(keyword) + "\r\n";
    return std::string(keyword) + std::string(gap) + text + "\r\n";
}

bool isHistoryRequest(std::string_view bytes) {
    return bytes.size() >= 5 && bytes[0] == STX && bytes[1] == 'M' &&
           std::isdigit(static_cast<unsigned char>(bytes[2])) &&
           std::isdigit(static_cast<unsigned char>(bytes[3])) && bytes[4] == ETX;
}

bool isAtCommand(std::string_view line) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line.size() - start < 2)
        return false;
    return std::toupper(static_cast<unsigned char>(line[start])) == 'A' &&
           std::toupper(static_cast<unsigned char>(line[start + 1])) == 'T';
}

} // namespace

// The simulators keep their own table of kinds and families on purpose, apart from the
// library's kind table: they stand for the devices out in the world, so a mistake in the
// library's table shows up as a test that fails instead of being copied into both sides.
std::optional<Family> familyOfKind(int kind) {
    switch (kind) {
    case 1: case 2: case 4: case 7:
        return Family::NumberDisplay;
    case 3:
        return Family::NdaP1;
    case 5: case 6: case 8:
        return Family::FskBox;
    case 10: case 14: case 15: case 19: case 22: case 23: case 24: case 25: case 26: case 27:
    case 28: case 29: case 60:
        return Family::Alexon;
    case 13: case 16: case 17: case 18: case 20: case 21: case 70: case 71:
        return Family::InsMate;
    case 30: case 31: case 33: case 35: case 37: case 39: case 41: case 43: case 45: case 47:
        return Family::Aterm;
    case 50:
        return Family::Mn128;
    default:
        return std::nullopt;
    }
}

const char *familyName(Family family) {
    switch (family) {
    case Family::NumberDisplay: return "NTT number-display adapter";
    case Family::NdaP1: return "I-O DATA NDA-P1";
    case Family::FskBox: return "FSK caller-ID box";
    case Family::Alexon: return "ALEXON terminal adapter";
    case Family::InsMate: return "NTT INS-Mate terminal adapter";
    case Family::Aterm: return "NEC Aterm terminal adapter";
    case Family::Mn128: return "NTT-ME MN128";
    }
    return "";
}

Call Call::withNumber(std::string number) {
    Call call;
    call.caller = CallerKind::Number;
    call.number = std::move(number);
    return call;
}

Call Call::of(CallerKind caller) {
    Call call;
    call.caller = caller;
    return call;
}

std::string stxFrame(std::string_view monthDay, std::string_view hourMinute, std::string_view text) {
    std::string field(text.substr(0, kNumberField));
    field.resize(kNumberField, ' ');
    return std::string(1, STX) + fourDigits(monthDay) + " " + fourDigits(hourMinute) + field +
           std::string(1, ETX);
}

std::string callerReport(Family family, const Call &call) {
    std::string text = callerText(call);
    switch (family) {
    case Family::NumberDisplay:
        return stxFrame(call.monthDay, call.hourMinute, text);
    case Family::NdaP1:
        // The number ends 13 bytes before "/C": a space and "MM/DD HH:MM" stand between.
        return "\r\nCALL " + ndaCallerText(call) + " " + slashedDateTime(call) + "/C\r\n";
    case Family::FskBox: {
        std::string block = "\r\nDATE:" + fourDigits(call.monthDay) + "\r\nTIME:" +
                            fourDigits(call.hourMinute) + "\r\n";
        if (call.caller != CallerKind::NoNumber)
            block += "CID:" + text + ":1\r\n";
        return block + "FSKEND\r\n";
    }
    case Family::Alexon:
    case Family::Mn128:
        return keywordLine("RING", "   ", text);
    case Family::InsMate:
    case Family::Aterm:
        return "\r\n" + keywordLine("ANALOG", " ", text);
    }
    return {};
}

std::string lineNoise(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(1, 255);
    std::string noise;
    noise.reserve(count);
    while (noise.size() < count) {
        char value = static_cast<char>(byte(generator));
        if (std::string_view("\x02\x03\x06\r\n/:").find(value) == std::string_view::npos)
            noise += value;
    }
    return noise;
}

std::vector<Answer> Responder::take(std::string_view bytes) {
    std::vector<Answer> answers;
    pending.append(bytes);
    if (family == Family::NumberDisplay)
        takeNumberDisplayBytes(answers);
    else if (family == Family::Alexon || family == Family::InsMate || family == Family::Aterm ||
             family == Family::Mn128)
        takeCommandLines(answers);
    else
        pending.clear(); // the NDA-P1 and the FSK boxes answer nothing
    if (pending.size() > kPendingLimit)
        pending.erase(0, pending.size() - kPendingLimit);
    return answers;
}

// ACKs and history requests; everything else is skipped.
void Responder::takeNumberDisplayBytes(std::vector<Answer> &answers) {
    size_t at = 0;
    while (at < pending.size()) {
        if (pending[at] == ACK) {
            answers.push_back({{}, true});
            ++at;
        } else if (pending[at] == STX) {
            std::string_view rest(pending.data() + at, pending.size() - at);
            if (rest.size() < 5)
                break; // the request may still be arriving
            if (isHistoryRequest(rest)) {
                size_t place = static_cast<size_t>((rest[2] - '0') * 10 + (rest[3] - '0'));
                if (place >= 1 && place <= history.size()) {
                    const HistoryEntry &entry = history[place - 1];
                    answers.push_back({stxFrame(entry.monthDay, entry.hourMinute, entry.number)});
                }
                at += 5;
            } else {
                ++at;
            }
        } else {
            ++at;
        }
    }
    pending.erase(0, at);
}

// Lines ended by CR or LF; each AT command is answered with OK.
void Responder::takeCommandLines(std::vector<Answer> &answers) {
    const char *ok = (family == Family::InsMate || family == Family::Aterm) ? "\r\nOK\r\n" : "OK\r\n";
    for (;;) {
        size_t end = pending.find_first_of("\r\n");
        if (end == std::string::npos)
            return;
        if (isAtCommand(std::string_view(pending).substr(0, end)))
            answers.push_back({ok});
        pending.erase(0, end + 1);
    }
}

} // namespace kalvix3::sim
