#include "text.h"

#include <iconv.h>

namespace kalvix3d {

std::string utf8FromCp932(const std::string &bytes) {
    iconv_t convert = iconv_open("UTF-8", "CP932");
    if (convert == reinterpret_cast<iconv_t>(-1))
        return bytes;
    std::string out(bytes.size() * 4 + 4, '\0');
    char *in = const_cast<char *>(bytes.data());
    size_t inLeft = bytes.size();
    char *outPtr = out.data();
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(convert, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1))
            break;
        if (outLeft < 3)
            break;
        *outPtr++ = '\xEF'; // U+FFFD for the byte that is not code page 932, and go on
        *outPtr++ = '\xBF';
        *outPtr++ = '\xBD';
        outLeft -= 3;
        ++in;
        --inLeft;
    }
    iconv_close(convert);
    out.resize(out.size() - outLeft);
    return out;
}

// The command-line host says the same in its own words for each system (tools/kalvix3/text.cpp);
// these are the POSIX ones, with what a service's administrator checks.
std::string openResultInWords(int32_t code) {
    switch (code) {
    case 0: return "open";
    case 1:
        return "the port could not be opened: it does not exist, or another program (or the "
               "other line) has it open. Check the port in the configuration and that nothing "
               "else (ModemManager, a terminal program) uses it.";
    case 2: return "the port refused its queue sizes: is it a serial port?";
    case 3: return "the port refused its time-outs: is it a serial port?";
    case 4: return "the port's settings could not be read: is it a serial port?";
    case 5: return "the port refused the device's settings (speed, framing, handshake).";
    case 6: return "the port refused its event mask.";
    case 7: return "DTR could not be raised: check the NDA-P1's cable and port.";
    case 10: return "not a device kind of the catalogue: see `kalvix3 kinds`.";
    case 11: return "the line slot must be 0 or 1.";
    case 12: return "that line slot is already open.";
    case 31:
        return "a driver file of the USB adapter is missing from the system directory: install "
               "the adapter's driver, or point KALVIX3_SYSTEM_DIR at the folder that holds "
               "ITUSB.DLL.";
    default: return "unexpected result " + std::to_string(code) + ".";
    }
}

} // namespace kalvix3d
