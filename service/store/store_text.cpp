// Small text helpers shared by the store, the CSV reader and the command line: digits, UTF-8
// validity, the reason words and ISO 8601 times.
#include "call_store.h"
#include "platform/code_page.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace kalvix3d {

std::string digitsOf(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c >= '0' && c <= '9')
            digits += c;
    return digits;
}

std::string utf8FromCp932(const std::string &bytes) {
    // A system that cannot convert gets the bytes as they came rather than nothing.
    return platform::utf8FromCp932(bytes, platform::Unmappable::replace).value_or(bytes);
}

std::string cp932FromUtf8(const std::string &text) {
    auto bytes = platform::cp932FromUtf8(text, platform::Unmappable::replace);
    if (!bytes)
        throw std::runtime_error("this system cannot convert to code page 932");
    return *bytes;
}

bool isValidUtf8(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length;
        std::uint32_t code;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07;
        } else {
            return false;  // a continuation byte first, C0/C1 (overlong) or F5..FF
        }
        if (end - p < length)
            return false;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        p += length;
    }
    return true;
}

std::size_t utf8Length(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string noteProblem(std::string_view note) {
    if (!isValidUtf8(note))
        return "the note is not valid UTF-8";
    if (std::size_t length = utf8Length(note); length > kNoteLimit)
        return "the note has " + std::to_string(length) + " characters; at most " +
               std::to_string(kNoteLimit) + " fit on a caller's card";
    return "";
}

namespace {

bool readNumber(std::string_view text, std::size_t &at, std::size_t width, int &value) {
    if (at + width > text.size())
        return false;
    for (std::size_t i = at; i < at + width; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    std::from_chars(text.data() + at, text.data() + at + width, value);
    at += width;
    return true;
}

bool expect(std::string_view text, std::size_t &at, char c) {
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

}  // namespace

std::optional<std::int64_t> secondsFromIso(std::string_view text) {
    using namespace std::chrono;
    std::size_t at = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!readNumber(text, at, 4, y) || !expect(text, at, '-') || !readNumber(text, at, 2, mo) ||
        !expect(text, at, '-') || !readNumber(text, at, 2, d))
        return std::nullopt;
    year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok())
        return std::nullopt;
    if (at < text.size()) {
        if (!expect(text, at, 'T') && !expect(text, at, ' '))
            return std::nullopt;
        if (!readNumber(text, at, 2, h) || !expect(text, at, ':') || !readNumber(text, at, 2, mi))
            return std::nullopt;
        if (expect(text, at, ':') && !readNumber(text, at, 2, s))
            return std::nullopt;
        if (h > 23 || mi > 59 || s > 59)
            return std::nullopt;
        if (expect(text, at, '.') || expect(text, at, ',')) {  // a fraction: dropped
            std::size_t start = at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9')
                ++at;
            if (at == start)
                return std::nullopt;
        }
    }
    int offsetMinutes = 0;
    if (at < text.size() && !expect(text, at, 'Z')) {
        int sign = text[at] == '+' ? 1 : text[at] == '-' ? -1 : 0;
        if (sign == 0)
            return std::nullopt;
        ++at;
        int oh = 0, om = 0;
        if (!readNumber(text, at, 2, oh))
            return std::nullopt;
        expect(text, at, ':');
        if (!readNumber(text, at, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetMinutes = sign * (oh * 60 + om);
    }
    if (at != text.size())
        return std::nullopt;
    std::int64_t days = sys_days{date}.time_since_epoch().count();
    return days * 86400 + h * 3600 + mi * 60 + s - offsetMinutes * 60;
}

std::string isoFromSeconds(std::int64_t seconds) {
    using namespace std::chrono;
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    year_month_day date{sys_days{std::chrono::days{days}}};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60));
    return text;
}

}  // namespace kalvix3d
