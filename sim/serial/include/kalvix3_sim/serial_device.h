// Serial device simulators. A SerialDevice holds the master side of a pseudo-terminal and
// behaves on it like one family of the serial caller-ID adapters and terminal adapters: it
// reports calls in the family's format, answers what the family answers (AT commands, history
// requests, acknowledgements) and records every byte it receives. The library, or any other
// program, opens the slave side (slavePath()) as its serial port.
//
// Families by device kind:
//   NTT number-display adapters (1, 2, 4, 7): a call is STX MMDD SP HHMM, 20 bytes of number
//     or reason letter padded with spaces, ETX. The frame is sent, sent again 50 ms later (the
//     receiver knows a frame has ended when ETX is directly followed by STX) and then every
//     500 ms, at most 6 copies, until the acknowledgement 06 0D 0A arrives. A history request
//     STX 'M' NN ETX is answered once with stored entry NN in the same layout, or not at all.
//   NDA-P1 (3): CR LF "CALL " number-or-reason " MM/DD HH:MM/C" CR LF; the reasons are the
//     half-width katakana texts for withheld, out of area and public telephone (code page 932).
//   FSK caller-ID boxes (5, 6, 8): CR LF "DATE:MMDD" CR LF "TIME:HHMM" CR LF "CID:" number ":1"
//     CR LF "FSKEND" CR LF (no CID line when the call carries nothing).
//   ALEXON (10, 14, 15, 19, 22-29, 60): "RING   " number CR LF, or "RING" CR LF; AT -> "OK" CR LF.
//   INS-Mate and Aterm (13, 16-18, 20, 21, 70, 71; 30, 31, 33, ..., 47): CR LF "ANALOG " number
//     CR LF; AT -> CR LF "OK" CR LF.
//   MN128 (50): "RING   " number CR LF; AT -> "OK" CR LF.
// Reason letters stand in for the number: "P" withheld, "O" out of area, "C" public telephone.
//
// Threads: every member function may be called from any thread. Each device serves its line on
// one thread of its own whose waits are bounded (100 ms at most); stop() and vanish() end it
// promptly. Output is scheduled: the calls that send return at once, and waitUntilSent() waits
// until everything scheduled has been written.
// Ownership: a device owns its pseudo-terminal; destroying it stops it and closes both sides.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvix3::sim {

using Clock = std::chrono::steady_clock;

enum class Family { NumberDisplay, NdaP1, FskBox, Alexon, InsMate, Aterm, Mn128 };

// The family of a serial device kind; none for a USB kind or a kind outside the catalogue.
std::optional<Family> familyOfKind(int kind);
const char *familyName(Family family);

enum class CallerKind { Number, Withheld, OutOfArea, PublicPhone, NoNumber };

struct Call {
    CallerKind caller = CallerKind::Number;
    std::string number;              // as the device shows it (digits; the NDA-P1 also '-')
    std::string monthDay = "0315";   // MMDD, for the formats that carry a date
    std::string hourMinute = "1042"; // HHMM

    static Call withNumber(std::string number);
    static Call of(CallerKind caller);
};

// One stored call of a number-display adapter, answered to the history request for its place.
struct HistoryEntry {
    std::string monthDay;   // MMDD
    std::string hourMinute; // HHMM
    std::string number;     // digits or a reason letter, at most 20 bytes
};

struct Chunk {
    std::string bytes;
    Clock::time_point when; // when it was read (received) or its last byte written (sent)
};

// How sendRaw cuts bytes up: pieces of pieceSize bytes (0: all in one) with pause between them.
struct Pacing {
    size_t pieceSize = 0;
    std::chrono::milliseconds pause{0};
};

// One copy of the bytes a device of the family sends for a call.
std::string callerReport(Family family, const Call &call);
// `count` bytes of line noise from `seed`: never a zero byte, nor STX, ETX, ACK, CR, LF, '/' or
// ':', so noise alone completes no frame; send those with sendRaw.
std::string lineNoise(size_t count, uint32_t seed);

class SerialDevice {
public:
    // Opens a pseudo-terminal and starts serving it as a device of the kind. Throws
    // std::invalid_argument for a kind without a serial device and std::system_error when no
    // pseudo-terminal can be had.
    static std::unique_ptr<SerialDevice> start(int kind);
    ~SerialDevice(); // stop()

    SerialDevice(const SerialDevice &) = delete;
    SerialDevice &operator=(const SerialDevice &) = delete;

    int kind() const;
    Family family() const;
    const std::string &slavePath() const; // the serial port to open, e.g. /dev/pts/7

    // ---- What the device does -------------------------------------------------------------
    void placeCall(const Call &call);
    void sendRaw(std::string bytes, Pacing pacing = {});
    void injectNoise(size_t count, uint32_t seed = 1);
    void setHistory(std::vector<HistoryEntry> entries);
    // Closes the master side, as an unplugged adapter would: the port's holder sees a hang-up.
    // Waits for the serving thread to end.
    void vanish();
    // Ends the serving thread and closes the pseudo-terminal; idempotent.
    void stop();
    bool running() const;

    // ---- What the library did ---------------------------------------------------------------
    std::vector<Chunk> received() const;
    std::string receivedBytes() const;
    // Waits until the received bytes contain `bytes`; false after `limit`.
    bool waitForReceived(std::string_view bytes, std::chrono::milliseconds limit) const;
    // When the first occurrence of `bytes` was complete in what was received.
    std::optional<Clock::time_point> timeReceived(std::string_view bytes) const;
    std::vector<Chunk> sent() const;
    // Waits until everything scheduled has been written (repeats that wait for an
    // acknowledgement included); false after `limit`.
    bool waitUntilSent(std::chrono::milliseconds limit) const;
    size_t acknowledgements() const; // ACKs received (number-display adapters)
    void clearRecord();              // forgets what was received and sent

private:
    struct State;
    explicit SerialDevice(int kind, Family family);
    void serve();
    std::unique_ptr<State> state;
};

} // namespace kalvix3::sim
