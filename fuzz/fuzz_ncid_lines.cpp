// What an NCID client may send, in any pieces: the line reader keeps its bound, every line it
// gives back is one the parser takes, and the reply-free kinds stay reply-free. The first byte
// chooses where the input is cut.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/ncid_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    constexpr size_t kMaxLine = 64;
    size_t step = 1 + data[0] % 17;
    std::string_view bytes(reinterpret_cast<const char *>(data + 1), size - 1);
    kalvix3d::net::NcidLineReader reader(kMaxLine);
    std::vector<std::string> lines;
    for (size_t at = 0; at < bytes.size(); at += step)
        reader.feed(bytes.substr(at, step), lines);
    size_t newlines = 0;
    for (char byte : bytes)
        newlines += byte == '\n';
    // Every line given back had its end; an overlong one may still wait for its end.
    if (lines.size() + reader.overlong() > newlines + 1)
        __builtin_trap();
    for (const std::string &line : lines) {
        if (line.size() > kMaxLine || line.find('\n') != std::string::npos ||
            line.find('\r') != std::string::npos)
            __builtin_trap();
        kalvix3d::net::ClientLine parsed = kalvix3d::net::parseClientLine(line);
        if (parsed.argument.size() > line.size())
            __builtin_trap();
        // Whatever comes back as a field is safe to put between two '*'.
        std::string field = kalvix3d::net::ncidField(line);
        if (field.empty() || field.find('*') != std::string::npos)
            __builtin_trap();
        for (unsigned char byte : field)
            if (byte < 0x20)
                __builtin_trap();
    }
    return 0;
}
