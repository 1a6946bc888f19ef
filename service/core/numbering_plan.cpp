#include "core/numbering_plan.h"

#include <algorithm>
#include <array>

namespace kalvix3d {

namespace {

constexpr PlanRow kPlan[] = {
#include "core/numbering/jp_plan.inc"
};

constexpr std::size_t kLongestPrefix = 6;

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

const PlanRow *rowFor(std::string_view digits) {
    int length = static_cast<int>(digits.size());
    for (std::size_t k = std::min(kLongestPrefix, digits.size()); k > 0; --k) {
        std::string_view prefix = digits.substr(0, k);
        auto found =
            std::lower_bound(std::begin(kPlan), std::end(kPlan), std::pair{length, prefix},
                             [](const PlanRow &row, const std::pair<int, std::string_view> &key) {
                                 return std::pair{row.length, row.prefix} < key;
                             });
        if (found != std::end(kPlan) && found->length == length && found->prefix == prefix)
            return found;
    }
    return nullptr;
}

// "0466123456" in groups "4-2-4": "0466-12-3456"; the digits as they are when the groups do not
// add up to them.
std::string grouped(std::string_view digits, std::string_view groups) {
    std::string out;
    std::size_t at = 0;
    while (!groups.empty()) {
        std::size_t dash = groups.find('-');
        std::size_t size = static_cast<std::size_t>(std::stoi(std::string(groups.substr(0, dash))));
        if (at + size > digits.size())
            return std::string(digits);
        out += (out.empty() ? "" : "-") + std::string(digits.substr(at, size));
        at += size;
        groups = dash == std::string_view::npos ? std::string_view() : groups.substr(dash + 1);
    }
    return at == digits.size() ? out : std::string(digits);
}

} // namespace

std::span<const PlanRow> numberingPlan() { return kPlan; }

NumberFacts describeNumber(std::string_view number) {
    NumberFacts facts;
    facts.formatted = std::string(number);
    if (!allDigits(number))
        return facts;
    const PlanRow *row = rowFor(number);
    if (!row)
        return facts;
    facts.kind = row->kind;
    facts.area = std::string(row->area);
    if (!row->groups.empty())
        facts.formatted = grouped(number, row->groups);
    return facts;
}

} // namespace kalvix3d
