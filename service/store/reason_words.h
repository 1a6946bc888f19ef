// Words for what the library reports, one mapping for the call log, the service and the
// command-line host (which also builds for Windows, without the store).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kalvix3d {

// A caller text that is one letter standing for the number, else "": "P" withheld, "O" out of
// area, "C" public phone, "S" no number (S), "$" ring without number.
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

// An OpenCommLineEx result that every host words alike, or one the library does not return. Each
// host says itself what to check for a port that would not open (1), a slot already open (12)
// and a missing driver (31).
inline std::string openFailureInWords(int32_t code) {
    switch (code) {
    case 2: return "the port refused its queue sizes: is it a serial port?";
    case 3: return "the port refused its time-outs: is it a serial port?";
    case 4: return "the port's settings could not be read: is it a serial port?";
    case 5: return "the port refused the device's settings (speed, framing, handshake).";
    case 6: return "the port refused its event mask.";
    case 7: return "DTR could not be raised: check the NDA-P1's cable and port.";
    case 10: return "not a device kind of the catalogue: see `kalvix3 kinds`.";
    case 11: return "the line slot must be 0 or 1.";
    default: return "unexpected result " + std::to_string(code) + ".";
    }
}

} // namespace kalvix3d
