// Text for people and programs: code page 932 to UTF-8, reasons and result codes in words,
// time stamps.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

std::string utf8FromCp932(const std::string &bytes);
// "withheld", "out of area", ... for a one-letter caller text; empty for a number.
std::string reasonInWords(const std::string &callerText);
// What an OpenCommLineEx result means and what to check.
std::string openResultInWords(int32_t code);
std::string localTimeNow(); // 2026-12-08 17:30:01
std::string isoTimeNow();   // 2026-12-08T17:30:01+09:00

} // namespace tool
