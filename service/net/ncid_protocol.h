// The Network Caller ID (NCID) line protocol as this service speaks it: what is sent to clients
// and how the lines clients send are read. Pure functions and a byte-fed reader, no sockets, so
// every rule here is table-tested and the reader is fuzzed.
//
// Server lines end in CR LF. Client lines may end in LF or CR LF; a CR alone is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/call.h"
#include "core/line_status.h"

namespace kalvix3d::net {

// Feature set 1 (calls and messages to clients); REQ: YO is answered too. Gateway input (set 2)
// and client jobs (set 3) are refused: this server is read-only.
inline constexpr const char *kNcidApiLine = "210 API 1.11 Feature Set 1";

// Splits the bytes a client sends into lines. A line longer than maxLine is not kept: its bytes
// up to the next line end are skipped and overlong() counts it. Memory stays within maxLine.
class NcidLineReader {
public:
    explicit NcidLineReader(std::size_t maxLine = 1024) : maxLine(maxLine) {}
    // Appends the complete lines found in `bytes` (without their line ends) to `lines`.
    void feed(std::string_view bytes, std::vector<std::string> &lines);
    std::size_t overlong() const { return overlongLines; }

private:
    std::size_t maxLine;
    std::string partial;
    bool skipping = false;
    std::size_t overlongLines = 0;
};

enum class ClientLineKind {
    keepAlive,     // an empty line: the client checks the connection; no answer
    helloIdent,    // HELLO: IDENT: <who>
    helloNoLog,    // HELLO: CMD: no_log
    helloOther,    // any other HELLO: line (ignored)
    goodbye,       // GOODBYE: the client leaves
    requestYo,     // REQ: YO -> ACK: REQ YO
    requestJob,    // REQ: <anything else>: a client job, refused (read-only server)
    gatewayInput,  // CALL:, CALLINFO:, MSG:, NOT:, ... from a gateway or a client: refused
    unknown,       // anything else: ignored
};

struct ClientLine {
    ClientLineKind kind = ClientLineKind::unknown;
    std::string argument; // the identity, the job text or the line type
};

ClientLine parseClientLine(std::string_view line);

// What the number field and the name field say for a call. Reason letters stand for numbers
// the network did not send; stock clients know PRIVATE, OUT-OF-AREA and "RING"/"No Caller ID".
struct NcidCaller {
    std::string number;
    std::string name;
};
NcidCaller ncidCallerOf(const Call &call);

// "CID: *DATE*mmddyyyy*TIME*hhmm*LINE*<label>*NMBR*<number>*MESG*NONE*NAME*<name>*" in the
// call's own local time; `label` "CIDLOG:" for the log replay. Ends in CR LF.
std::string ncidCallLine(const Call &call, std::string_view label = "CID:");

// "MSG: <text>***DATE*mmddyyyy*TIME*hhmm*NAME*-*NMBR*-*LINE*<label>*MTYPE*-*" for a line that
// went down or came back, at `unixTime` in the local time `utcOffsetMinutes` east of UTC. Ends in
// CR LF.
std::string ncidLineStateMessage(const LineStatus &status, std::int64_t unixTime, int utcOffsetMinutes);

// The gateway form of a call, for forwarding it to another NCID server:
// "CALL: ###DATE<mmddhhmm>...CALLIN...LINE<label>...NMBR<number>...NAME<name>+++". Ends in CR LF.
std::string ncidGatewayCallLine(const Call &call);

// Field text made safe for the protocol: no '*' (the field delimiter), no control characters,
// nothing empty ("-" instead).
std::string ncidField(std::string_view text);

} // namespace kalvix3d::net
