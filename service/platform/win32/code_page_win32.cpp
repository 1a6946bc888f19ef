// Code page 932 through the Windows code page functions, by way of UTF-16.
#include "platform/code_page.h"

#include <windows.h>

namespace kalvix3d::platform {

namespace {

// The UTF-16 of `text` in `codePage`; nullopt when a byte sequence is no character and that
// is refused.
std::optional<std::wstring> wideFrom(UINT codePage, std::string_view text, bool refuse) {
    if (text.empty())
        return std::wstring();
    DWORD flags = refuse ? MB_ERR_INVALID_CHARS : 0;
    int size = static_cast<int>(text.size());
    int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (length <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), size, wide.data(), length);
    return wide;
}

std::optional<std::string> narrowFrom(UINT codePage, const std::wstring &wide, bool refuse) {
    if (wide.empty())
        return std::string();
    // UTF-8 takes no default character; code page 932 writes '?' for what it has no place for,
    // and says so, and no near neighbour ("best fit") stands in for a character.
    bool toUtf8 = codePage == CP_UTF8;
    DWORD flags = toUtf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL *defaulted = toUtf8 ? nullptr : &usedDefault;
    const char *fallback = toUtf8 ? nullptr : "?";
    int size = static_cast<int>(wide.size());
    int length = WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, fallback, defaulted);
    if (length <= 0 || (refuse && usedDefault))
        return std::nullopt;
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), length, fallback, defaulted);
    return text;
}

} // namespace

std::optional<std::string> utf8FromCp932(std::string_view bytes, Unmappable unmappable) {
    bool refuse = unmappable == Unmappable::refuse;
    auto wide = wideFrom(932, bytes, refuse);
    return wide ? narrowFrom(CP_UTF8, *wide, refuse) : std::nullopt;
}

std::optional<std::string> cp932FromUtf8(std::string_view text, Unmappable unmappable) {
    bool refuse = unmappable == Unmappable::refuse;
    auto wide = wideFrom(CP_UTF8, text, refuse);
    return wide ? narrowFrom(932, *wide, refuse) : std::nullopt;
}

} // namespace kalvix3d::platform
