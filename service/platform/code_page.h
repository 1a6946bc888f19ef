// Code page 932 (Shift_JIS as Windows has it: the adapters' caller texts, the CSV files Japanese
// spreadsheets write) and UTF-8, both ways. Each system converts with its own means (posix/:
// iconv, win32/: the Windows code page functions); the store's bodies hold no conditionals.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kalvix3d::platform {

// What to do with bytes that are no character of the source, or a character the target has no
// place for.
enum class Unmappable {
    refuse,  // nothing is converted: nullopt
    replace, // U+FFFD into UTF-8 (for each such byte), '?' into code page 932 (each character)
};

// nullopt also when the system cannot convert these code pages at all, whatever was asked.
std::optional<std::string> utf8FromCp932(std::string_view bytes, Unmappable unmappable);
std::optional<std::string> cp932FromUtf8(std::string_view text, Unmappable unmappable);

} // namespace kalvix3d::platform
