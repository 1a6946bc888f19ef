#include "text.h"

#include "call_store.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iconv.h>

namespace tool {

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
        // An invalid byte: show it as U+FFFD and go on.
        if (outLeft < 3)
            break;
        *outPtr++ = '\xEF';
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

// The service's log keeps the same words: one mapping for both.
std::string reasonInWords(const std::string &text) { return kalvix3d::reasonInWords(text); }

std::string openResultInWords(int32_t code) {
    switch (code) {
    case 0:
        return "open";
    case 1:
        return "the port could not be opened: it does not exist, or another program (or the other "
               "line) has it open. Check the port number, KALVIX3_COM_DIR, and that nothing else "
               "uses the port.";
    case 2: return "the port refused its queue sizes: is it a serial port?";
    case 3: return "the port refused its time-outs: is it a serial port?";
    case 4: return "the port's settings could not be read: is it a serial port?";
    case 5: return "the port refused the device's settings (speed, framing, handshake).";
    case 6: return "the port refused its event mask.";
    case 7: return "DTR could not be raised: check the NDA-P1's cable and port.";
    case 10: return "not a device kind of the catalogue: see `kalvix3 kinds`.";
    case 11: return "the line slot must be 0 or 1.";
    case 12: return "that line slot is already open: close it first.";
    case 31:
        return "a driver file of the USB adapter is missing from the system directory: install the "
               "adapter's driver, or point KALVIX3_SYSTEM_DIR at the folder that holds ITUSB.DLL.";
    default:
        return "unexpected result " + std::to_string(code) + ".";
    }
}

static std::string formatNow(const char *format) {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[64];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

std::string localTimeNow() { return formatNow("%Y-%m-%d %H:%M:%S"); }

std::string isoTimeNow() {
    std::string stamp = formatNow("%Y-%m-%dT%H:%M:%S%z");
    if (stamp.size() > 5)
        stamp.insert(stamp.size() - 2, ":");
    return stamp;
}

} // namespace tool
