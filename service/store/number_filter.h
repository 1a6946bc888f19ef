// How a CallQuery becomes SQL: the conditions with their values, the index to read, and for the
// number filter the distinct numbers that contain the digits, found in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "call_store.h"
#include "sqlite.h"

namespace kalvix3d {

// The distinct numbers of the log as far as read (rows of `numbers` up to `upTo`): one text,
// each number followed by a line feed, searched in one pass; where each begins; its calls.
// Brought up to date before each number query: the table only grows.
struct NumberIndex {
    std::string text;
    std::vector<std::uint32_t> start;
    std::vector<std::uint32_t> calls;
    std::int64_t upTo = 0;
};

// How the number filter is answered, chosen from the distinct numbers that contain the digits:
// up to kEachNumber numbers are each read newest first from the number index and merged; more
// numbers with few calls in all are read through the index and sorted; else the newest calls
// are read in order (the time index holds the digits, so a skipped call costs no table lookup).
constexpr std::size_t kEachNumber = 256;

struct Filter {
    std::string where; // " WHERE ..." or ""
    std::vector<sqlite::Value> values;
    const char *index = "calls_at";
    bool empty = false;                  // nothing can match
    std::vector<std::string> eachNumber; // read each of these, then merge
};

// For a count, beforeId is ignored and numbers are matched as a list rather than read each.
// Throws StoreError (badInput) for a time that is no ISO 8601 time.
Filter buildFilter(sqlite::Connection &connection, NumberIndex &numbers, const CallQuery &query,
                   bool forCount);

} // namespace kalvix3d
