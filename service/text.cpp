#include "text.h"

namespace kalvix3d {

// The command-line host words a port that would not open and a missing driver for each system
// (tools/kalvix3/text.cpp); these are what a service's administrator checks. The other results
// read alike everywhere (core/words.h).
std::string openResultInWords(int32_t code) {
    switch (code) {
    case 0: return "open";
    case 1:
        return "the port could not be opened: it does not exist, or another program (or the "
               "other line) has it open. Check the port in the configuration and that nothing "
               "else (ModemManager, a terminal program) uses it.";
    case 12: return "that line slot is already open.";
    case 31:
        return "a driver file of the USB adapter is missing from the system directory: install "
               "the adapter's driver, or point KALVIX3_SYSTEM_DIR at the folder that holds "
               "ITUSB.DLL.";
    default: return kalvix3d::openFailureInWords(code);
    }
}

} // namespace kalvix3d
