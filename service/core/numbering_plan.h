// How a Japanese caller's number is written and what it is: the grouping of the national format
// (0466-12-3456, 03-1234-5678, 090-1234-5678, 0120-123-456), the kind of number, and for a fixed
// line the area in Japanese (藤沢). The plan is a table made from Google's libphonenumber
// (numbering/jp_plan.inc, by numbering/make_plan.cpp), so that every build, Windows too, says
// it alike without the library.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kalvix3d {

enum class NumberKind {
    unknown, // not a number of the plan: shown as sent
    fixedLine,
    mobile,
    ipPhone,     // 050
    freeDial,    // 0120, 0800
    naviDial,    // 0570
    premiumRate, // 0990
    sharedCost,
    personal,
    pager,
    voicemail,
    international, // dialled abroad (010 ...): shown as sent
};

struct NumberFacts {
    std::string formatted; // grouped with hyphens; the text as sent where the plan has no grouping
    NumberKind kind = NumberKind::unknown;
    std::string area; // UTF-8, fixed lines only; "" otherwise
};

// The facts of a caller text as the adapters send it: digits are looked up; anything else (a
// reason letter, "#8000", "110") is unknown and kept as sent.
NumberFacts describeNumber(std::string_view number);

// One row of the plan: the national numbers of `length` digits that begin with `prefix`.
struct PlanRow {
    int length;
    std::string_view prefix;
    std::string_view groups; // "4-2-4": digits in each group; "" to show as sent
    NumberKind kind;
    std::string_view area;
};
std::span<const PlanRow> numberingPlan(); // sorted by length, then prefix

} // namespace kalvix3d
