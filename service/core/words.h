// The service's vocabulary, worded once: what the caller letters stand for, why a line is down,
// and what an OpenCommLineEx result means. The call log, the outputs, the web page (which gets
// these tables as JSON) and the command-line host all take their words from here.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/numbering_plan.h"

namespace kalvix3d {

// A caller text that is one letter standing for the number.
struct CallerReason {
    std::string_view letter;   // "P"
    std::string_view english;  // "withheld": stored with the call, in JSON and CSV
    std::string_view japanese; // "非通知": for people who read Japanese
};
std::span<const CallerReason> callerReasons();
// The reason for a caller text, or null when the text is a number.
const CallerReason *callerReasonOf(std::string_view text);
// Its English words, "" for a number.
std::string reasonInWords(std::string_view text);

// Why a line is not up. The key is what the page and the JSON API carry; the words may hold
// {result} (the open result) and {error} (the line error) for the page to fill in.
enum class LineCause {
    none,
    notOpenedYet,
    deviceMissing,
    pathUnresolved,
    openRefused,
    adapterGone,
    stopping
};
struct CauseWords {
    LineCause cause;
    std::string_view key; // "device-missing"
    std::string_view english;
    std::string_view japanese;
};
std::span<const CauseWords> lineCauses();
const CauseWords &causeWords(LineCause cause);

// The kind of a caller's number: the key the JSON and the CSV carry, and its words.
struct NumberKindWords {
    NumberKind kind;
    std::string_view key;      // "fixed-line"
    std::string_view english;  // "fixed line"
    std::string_view japanese; // "固定電話"
};
std::span<const NumberKindWords> numberKinds();
const NumberKindWords &numberKindWords(NumberKind kind);
NumberKind numberKindOf(std::string_view key); // unknown for a key no row has

// An OpenCommLineEx result that every host words alike, or one the library does not return. Each
// host says itself what to check for a port that would not open (1), a slot already open (12)
// and a missing driver (31).
std::string openFailureInWords(std::int32_t code);

} // namespace kalvix3d
