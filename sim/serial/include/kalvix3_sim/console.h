// The keyboard console of a simulated serial device: reads commands line by line and acts on
// the device, for `kalvix3 simulate` and `kalvix3-sim`.
//
//   call NUMBER | call withheld | call out-of-area | call public | call none
//   withheld | out-of-area | public | no-number   (short forms)
//   noise N                       N bytes of line noise
//   raw TEXT                      TEXT as the device sends it (\r \n \xNN escapes)
//   history add MMDD HHMM NUMBER  store a call for history requests (number-display kinds)
//   history clear
//   sent                          what the host has sent so far, escaped
//   vanish                        close the master side, as an unplugged adapter
//   replug                        unplug it (if still there) and plug a new one of the same kind
//                                 in, on a new pseudo-terminal (only where a link follows it)
//   quit                          (also end of input)
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "kalvix3_sim/serial_device.h"

namespace kalvix3::sim {

// Serves commands from `in` until quit or end of input; answers and complaints go to `out`.
void runConsole(SerialDevice &device, std::istream &in, std::ostream &out);
// The same, and `replug` replaces `device` with a new device of its kind (the stored history
// goes with it) and then calls `plugged`, which points the caller's link at the new device.
void runConsole(std::unique_ptr<SerialDevice> &device, std::istream &in, std::ostream &out,
                const std::function<void(SerialDevice &)> &plugged);
// Bytes shown with \r \n \\ and \xNN escapes; and the reverse.
std::string escapedBytes(const std::string &bytes);
std::string unescapedBytes(const std::string &text);
extern const char kConsoleHelp[];

} // namespace kalvix3::sim
