// The words for a caller text that is one letter standing for the number, else "": "P" withheld,
// "O" out of area, "C" public phone, "S" no number (S), "$" ring without number. One mapping for
// the call log and the command-line host (which also builds for Windows, without the store).
#pragma once

#include <string>
#include <string_view>

namespace kalvix3d {

inline std::string reasonInWords(std::string_view text) {
    if (text == "P")
        return "withheld";
    if (text == "O")
        return "out of area";
    if (text == "C")
        return "public phone";
    if (text == "S")
        return "no number (S)";
    if (text == "$")
        return "ring without number";
    return "";
}

} // namespace kalvix3d
