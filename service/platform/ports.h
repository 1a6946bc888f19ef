// Where the library finds a configured serial device. The library opens COMn; the service
// decides, each time a line is opened, which device that is.
//   POSIX: a private folder of COMn links (KALVIX3_COM_DIR), each pointed at what the configured
//   path resolves to just before the open, so a /dev/serial/by-id path keeps working when the
//   adapter comes back under another ttyUSB number.
#pragma once

#include <optional>
#include <string>

#include "core/words.h"

namespace kalvix3d::platform {

// The device a configured port text stands for on this system ("COM3" is /dev/ttyS2 on POSIX),
// nullopt for text that is no port here.
std::optional<std::string> devicePathOfPort(const std::string &text);
// What devicePathOfPort takes, for a person who wrote something else.
extern const char *const kPortHelp;

class PortResolver {
public:
    // Throws std::runtime_error saying why when the folder for the links cannot be made.
    PortResolver();
    ~PortResolver();
    PortResolver(const PortResolver &) = delete;
    PortResolver &operator=(const PortResolver &) = delete;

    struct Resolved {
        int comPort = 0;                   // what to pass to OpenCommLineEx; 0: not now
        LineCause cause = LineCause::none; // deviceMissing (look again soon) or pathUnresolved
        std::string why;                   // in words, when comPort is 0
    };
    // The port to open `slot`'s configured device through, now.
    Resolved resolve(int slot, const std::string &devicePath);

private:
    std::string dir;
};

} // namespace kalvix3d::platform
