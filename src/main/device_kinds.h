// Device families by device kind: which opening, initialisation, frame test, parser, history
// reader and dial procedure a kind gets.
#pragma once

#include <cstdint>

namespace kalvix3 {

enum class Family {
    None,          // not a device kind of the catalogue
    NumberDisplay, // 1, 2, 4, 7: STX/ETX frames at 9600 7E1
    NdaP1,         // 3: I-O DATA NDA-P1 at 4800 8N1
    Fsk,           // 5, 6, 8: caller-ID boxes at 38400
    Alexon,        // 10, 14, 15, 19, 22..29, 60
    InsMate,       // 13, 16, 17, 18, 20, 21, 70, 71
    AtermSerial,   // 30, 31, 33, 35, 37, 39, 41, 43, 45, 47
    Mn128,         // 50
    AtermUsb,      // 32, 34: polled through Ev_USB_Control
    AtermItmux,    // 36, 38, 40, 42: ITUSB_ event requests
};

constexpr Family familyOf(int32_t kind) {
    switch (kind) {
    case 1: case 2: case 4: case 7:
        return Family::NumberDisplay;
    case 3:
        return Family::NdaP1;
    case 5: case 6: case 8:
        return Family::Fsk;
    case 10: case 14: case 15: case 19: case 22: case 23: case 24: case 25: case 26: case 27:
    case 28: case 29: case 60:
        return Family::Alexon;
    case 13: case 16: case 17: case 18: case 20: case 21: case 70: case 71:
        return Family::InsMate;
    case 30: case 31: case 33: case 35: case 37: case 39: case 41: case 43: case 45: case 47:
        return Family::AtermSerial;
    case 50:
        return Family::Mn128;
    case 32: case 34:
        return Family::AtermUsb;
    case 36: case 38: case 40: case 42:
        return Family::AtermItmux;
    default:
        return Family::None;
    }
}

constexpr bool isSerialFamily(Family family) {
    return family != Family::None && family != Family::AtermUsb && family != Family::AtermItmux;
}

} // namespace kalvix3
