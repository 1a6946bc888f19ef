// The call log's filter: a WHERE clause with its values and the index to read, and the number
// filter's choice of how to read the calls of the numbers that contain some digits.
#include "number_filter.h"
#include "platform/text_search.h"

#include <algorithm>

namespace kalvix3d {

namespace {

// A number filter whose matching numbers have at most this many calls in all reads them through
// the number index and sorts them.
constexpr std::int64_t kFewCalls = 4000;

void addCondition(Filter &f, const std::string &condition) {
    f.where += f.where.empty() ? " WHERE " : " AND ";
    f.where += condition;
}

std::string nextParam(Filter &f, sqlite::Value value) {
    f.values.push_back(std::move(value));
    return "?" + std::to_string(f.values.size());
}

// Brings the connection's copy of the distinct numbers up to date: the table only grows, so
// the rows added since the last look (by this or another process) are enough.
void refreshNumbers(sqlite::Connection &s, NumberIndex &numbers) {
    sqlite::Statement select(s, "SELECT id, digits, calls FROM numbers WHERE id > ?1 ORDER BY id",
                             sqlite::Keep::yes);
    select.bind(1, numbers.upTo);
    while (select.step("reading the numbers")) {
        numbers.upTo = select.integer(0);
        numbers.start.push_back(static_cast<std::uint32_t>(numbers.text.size()));
        numbers.text += select.text(1);
        numbers.text += '\n';
        numbers.calls.push_back(static_cast<std::uint32_t>(select.integer(2)));
    }
}

void addNumberFilter(sqlite::Connection &s, NumberIndex &numbers, Filter &f,
                     const std::string &digits, bool forCount) {
    refreshNumbers(s, numbers);
    std::vector<std::string> matching;
    std::int64_t calls = 0; // as last read: only the choice of the way depends on it
    const char *text = numbers.text.data();
    std::size_t from = 0, size = numbers.text.size();
    while (from < size) {
        const char *hit = platform::findText(text + from, size - from, digits);
        if (!hit)
            break;
        auto at = static_cast<std::size_t>(hit - text);
        // The number the hit lies in (digits hold no line feed, so a hit never spans two).
        std::size_t i = static_cast<std::size_t>(
            std::upper_bound(numbers.start.begin(), numbers.start.end(), at) -
            numbers.start.begin() - 1);
        std::size_t end = i + 1 < numbers.start.size() ? numbers.start[i + 1] : size;
        matching.emplace_back(text + numbers.start[i], end - 1 - numbers.start[i]);
        calls += numbers.calls[i];
        from = end;
    }
    if (matching.empty()) {
        f.empty = true;
    } else if (matching.size() <= kEachNumber && !forCount) {
        f.eachNumber = std::move(matching);
        f.index = "calls_digits";
    } else if (calls <= kFewCalls || (forCount && matching.size() <= 1000)) {
        std::string list;
        for (auto &m : matching)
            list += (list.empty() ? "" : ",") + nextParam(f, std::move(m));
        addCondition(f, "digits IN (" + list + ")");
        f.index = "calls_digits";
    } else {
        addCondition(f, "instr(digits, " + nextParam(f, digits) + ") > 0");
    }
}

} // namespace

Filter buildFilter(sqlite::Connection &s, NumberIndex &numbers, const CallQuery &q, bool forCount) {
    Filter f;
    auto timeValue = [&](const std::string &text, const char *what) {
        auto at = secondsFromIso(text);
        if (!at)
            throw StoreError(StoreFault::badInput,
                             std::string("the ") + what + " time \"" + text +
                                 "\" is not an ISO 8601 time such as 2026-12-08T09:12:00Z");
        return *at;
    };
    if (q.sinceUtc)
        addCondition(f, "at >= " + nextParam(f, timeValue(*q.sinceUtc, "since")));
    if (q.untilUtc)
        addCondition(f, "at < " + nextParam(f, timeValue(*q.untilUtc, "until")));
    if (q.text && !q.text->empty()) {
        auto p = nextParam(f, *q.text);
        addCondition(f, "(instr(number, " + p + ") > 0 OR instr(name, " + p + ") > 0)");
    }
    if (!forCount && q.beforeId > 0) {
        sqlite::Statement cursor(s, "SELECT at FROM calls WHERE id = ?1", sqlite::Keep::yes);
        cursor.bind(1, q.beforeId);
        auto idParam = nextParam(f, q.beforeId);
        if (cursor.step("reading a call")) {
            auto atParam = nextParam(f, cursor.integer(0));
            addCondition(f, "at <= " + atParam + " AND (at < " + atParam + " OR id < " + idParam +
                                ")");
        } else {
            addCondition(f, "id < " + idParam);
        }
    }
    if (q.number) {
        std::string digits = digitsOf(*q.number);
        if (digits.empty() && !q.number->empty()) {
            // No digits: a caller text such as "P" (withheld), matched as it was sent.
            addCondition(f, "digits = '' AND number = " + nextParam(f, *q.number));
            f.index = "calls_digits";
        } else if (!digits.empty()) {
            addNumberFilter(s, numbers, f, digits, forCount);
        }
    }
    return f;
}

} // namespace kalvix3d
