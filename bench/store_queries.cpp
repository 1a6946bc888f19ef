// The service's call log at size: fills a temporary database with a million calls (in bulk, one
// transaction) and times the queries the command line and the web page make, each many times
// with changing arguments. Prints the median and the worst; --rows writes them for perf.sh.
//
//   kalvix3_bench_store [--calls N] [--numbers N] [--runs N] [--rows FILE] [--keep]
#include "call_store.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace kalvix3d;
using Clock = std::chrono::steady_clock;

namespace {

struct Figure {
    double medianMs, p99Ms, worstMs;
};

Figure timeRuns(int runs, const std::function<std::size_t(int)> &query, std::size_t &rows) {
    std::vector<double> ms;
    rows = 0;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        rows += query(i);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back()};
}

std::string twoPlaces(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

int main(int argc, char **argv) {
    long calls = 1000000, distinct = 50000;
    int runs = 200;
    std::string rowsPath;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--calls")
            calls = std::stol(next());
        else if (a == "--numbers")
            distinct = std::stol(next());
        else if (a == "--runs")
            runs = std::stoi(next());
        else if (a == "--rows")
            rowsPath = next();
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: %s [--calls N] [--numbers N] [--runs N] [--rows FILE] [--keep]\n",
                         argv[0]);
            return 2;
        }
    }
    if (calls < 1000 || distinct < 100 || runs < 1) {
        std::fprintf(stderr, "at least 1000 calls, 100 numbers and one run\n");
        return 2;
    }

    char dirTemplate[] = "/tmp/kalvix3-bench-store.XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = dirTemplate, path = dir + "/calls.db";

    // Callers: `distinct` ten-digit numbers, a few calling often (a cubic skew towards the first
    // ones); 4% of calls carry a letter instead. One call a minute from 2025-01-01 on.
    std::mt19937_64 random(8);
    std::vector<std::string> numbers;
    for (long i = 0; i < distinct; ++i) {
        std::string n = "0";
        for (int d = 0; d < 9; ++d)
            n += static_cast<char>('0' + random() % 10);
        numbers.push_back(n);
    }
    const std::int64_t start = 1735689600;  // 2025-01-01T00:00:00Z
    auto pick = [&] {
        double u = std::uniform_real_distribution<double>(0, 1)(random);
        return static_cast<std::size_t>(static_cast<double>(distinct) * u * u * u);
    };
    auto fillStarted = Clock::now();
    {
        CallStore store(path);
        std::vector<Call> batch;
        for (long i = 0; i < calls; ++i) {
            Call c;
            c.timeUtc = isoFromSeconds(start + i * 60 + static_cast<std::int64_t>(random() % 50));
            c.utcOffsetMinutes = 540;
            c.site = "shop";
            c.lineLabel = i % 3 ? "店舗" : "FAX";
            c.lineSlot = i % 3 ? 0 : 1;
            c.kind = 30;
            c.number = random() % 25 == 0 ? std::string(1, "POCS"[random() % 4]) : numbers[pick()];
            batch.push_back(std::move(c));
            if (batch.size() == 100000 || i + 1 == calls) {
                store.addCalls(batch);
                batch.clear();
            }
        }
    }
    double fillSeconds = std::chrono::duration<double>(Clock::now() - fillStarted).count();
    std::printf("filled %ld calls from %ld numbers in %.1f s (%s, %.0f MB)\n", calls, distinct,
                fillSeconds, path.c_str(),
                static_cast<double>(std::filesystem::file_size(path)) / 1e6);

    CallStore store(path, true);
    const std::int64_t span = calls * 60;
    auto dayAt = [&](int i) { return start + static_cast<std::int64_t>((i * 7919L) % (span / 86400)) * 86400; };
    std::vector<std::string> rareNumbers;
    for (long i = distinct - 1; i >= 0 && rareNumbers.size() < 100; i -= distinct / 100)
        rareNumbers.push_back(numbers[static_cast<std::size_t>(i)]);
    std::vector<Call> middle = store.callsAfter(calls / 2, 1);

    struct Case {
        std::string what;
        std::function<CallQuery(int)> query;
    };
    auto digits = [](int i, int width) {  // a different string of `width` digits each run
        char d[24];
        std::snprintf(d, sizeof d, "%012ld", 1000003L * (i + 1) % 1000000000000L);
        return std::string(d + 12 - width);
    };
    std::vector<Case> cases = {
        {"the newest 100 calls, no filter (the floor of every query)", [](int) { return CallQuery{}; }},
        {"one day (time range), newest 100",
         [&](int i) {
             CallQuery q;
             q.sinceUtc = isoFromSeconds(dayAt(i));
             q.untilUtc = isoFromSeconds(dayAt(i) + 86400);
             return q;
         }},
        {"one month (time range), newest 100",
         [&](int i) {
             CallQuery q;
             q.sinceUtc = isoFromSeconds(dayAt(i));
             q.untilUtc = isoFromSeconds(dayAt(i) + 30 * 86400);
             return q;
         }},
        {"the next page from the middle of the log (beforeId)",
         [&](int) {
             CallQuery q;
             q.beforeId = middle.empty() ? 0 : middle[0].id;
             return q;
         }},
        {"a frequent caller's whole number (thousands of calls), newest 100",
         [&](int i) {
             CallQuery q;
             q.number = numbers[static_cast<std::size_t>(i % 10)];
             return q;
         }},
        {"a rare caller's whole number",
         [&](int i) {
             CallQuery q;
             q.number = rareNumbers[static_cast<std::size_t>(i) % rareNumbers.size()];
             return q;
         }},
        {"four digits anywhere in the number, newest 100",
         [&](int i) {
             CallQuery q;
             q.number = digits(i, 4);
             return q;
         }},
        {"six digits anywhere in the number",
         [&](int i) {
             CallQuery q;
             q.number = digits(i, 6);
             return q;
         }},
        {"nine digits that no number contains",
         [&](int i) {
             CallQuery q;
             q.number = "9" + digits(i, 8);
             return q;
         }},
        {"a frequent caller's number within one month",
         [&](int i) {
             CallQuery q;
             q.number = numbers[static_cast<std::size_t>(i % 10)];
             q.sinceUtc = isoFromSeconds(dayAt(i));
             q.untilUtc = isoFromSeconds(dayAt(i) + 30 * 86400);
             return q;
         }},
    };

    char section[160];
    std::snprintf(section, sizeof section, "Service call store (%ld calls, %ld distinct numbers)", calls, distinct);
    std::string rows;
    // A store reads the distinct numbers once, at its first number query; timed on its own.
    {
        CallQuery first;
        first.number = "99999999999";
        auto started = Clock::now();
        store.calls(first);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        std::printf("%-68s %.2f ms\n", "the first number query of a store (reads the distinct numbers)", ms);
        rows += std::string(section) + "\tthe first number query of a store (reads the distinct numbers)\t" +
                twoPlaces(ms) + " ms\t-\tonce a store\t-\n";
    }
    Figure floor{};
    for (std::size_t c = 0; c < cases.size(); ++c) {
        std::size_t found = 0;
        Figure f = timeRuns(runs, [&](int i) { return store.calls(cases[c].query(i)).size(); }, found);
        if (c == 0)
            floor = f;
        // The target holds for every query; a worst case that the floor misses too is the
        // machine's load (other processes holding the cores), and said so.
        std::string verdict = f.worstMs < 10.0       ? "met"
                              : floor.worstMs >= 10.0 ? "MISSED (the floor's worst too: machine load)"
                                                      : "MISSED";
        std::printf("%-68s median %6s  p99 %6s  worst %6s ms  (%.1f calls a query)\n", cases[c].what.c_str(),
                    twoPlaces(f.medianMs).c_str(), twoPlaces(f.p99Ms).c_str(), twoPlaces(f.worstMs).c_str(),
                    static_cast<double>(found) / runs);
        auto figure = [](const Figure &x) {
            return "median " + twoPlaces(x.medianMs) + " ms, p99 " + twoPlaces(x.p99Ms) + " ms, worst " +
                   twoPlaces(x.worstMs) + " ms";
        };
        if (c > 0)
            rows += std::string(section) + "\t" + cases[c].what + "\t" + figure(f) + " (" +
                    std::to_string(runs) + " queries)\t" + figure(floor) + "\t< 10 ms\t" + verdict + "\n";
    }
    // A new call as the recorder commits it: its place among the caller's calls (how many came
    // before, when the last did) is read in the commit. The floor: the same commit of a withheld
    // call, which has no caller to count.
    {
        CallStore writer(path);
        std::int64_t at = start + span + 3600;
        auto commit = [&](const std::string &number) {
            Call c;
            c.timeUtc = isoFromSeconds(at += 60);
            c.utcOffsetMinutes = 540;
            c.site = "shop";
            c.lineLabel = "店舗";
            c.kind = 30;
            c.number = number;
            return static_cast<std::size_t>(writer.addCall(c).nth);
        };
        std::size_t counted = 0;
        Figure floorCommit = timeRuns(runs, [&](int) { return commit("P"); }, counted);
        struct NewCall {
            const char *what;
            std::function<std::string(int)> number;
        } newCalls[] = {
            {"a new call from a frequent caller, committed with its count and last call",
             [&](int i) { return numbers[static_cast<std::size_t>(i % 10)]; }},
            {"a new call from a rare caller, committed with its count and last call",
             [&](int i) { return rareNumbers[static_cast<std::size_t>(i) % rareNumbers.size()]; }},
        };
        for (const NewCall &n : newCalls) {
            Figure f = timeRuns(runs, [&](int i) { return commit(n.number(i)); }, counted);
            std::printf("%-68s median %6s  worst %6s ms  (floor %s ms; call %.0f from its number on average)\n",
                        n.what,
                        twoPlaces(f.medianMs).c_str(), twoPlaces(f.worstMs).c_str(),
                        twoPlaces(floorCommit.medianMs).c_str(), static_cast<double>(counted) / runs);
            rows += std::string(section) + "\t" + n.what + "\tmedian " + twoPlaces(f.medianMs) + " ms, worst " +
                    twoPlaces(f.worstMs) + " ms (" + std::to_string(runs) + " calls)\tmedian " +
                    twoPlaces(floorCommit.medianMs) + " ms, worst " + twoPlaces(floorCommit.worstMs) +
                    " ms (a withheld call)\tmedian < 20 ms\t" + (f.medianMs < 20.0 ? "met" : "MISSED") + "\n";
        }
    }
    rows += std::string(section) + "\t#note\tkalvix3_bench_store --calls " + std::to_string(calls) +
            " --numbers " + std::to_string(distinct) + " --runs " + std::to_string(runs) +
            ": one call a minute, a few callers calling often, 4% withheld and the like; the "
            "floor is the newest 100 calls without a filter. Filling it in bulk took " +
            twoPlaces(fillSeconds) + " s.\n";
    if (distinct >= calls)
        rows += std::string(section) + "\t#note\tEvery call from a different number: the hardest log for "
                "the number filter, whose first step searches all the distinct numbers.\n";
    else
        rows += std::string(section) +
            "\t#note\tThe number filter: the digits are searched in the distinct numbers (kept in memory "
            "by each store as one text, searched in one pass, brought up to date before each query); up "
            "to 256 matching numbers are then read newest first from the number index and merged; more "
            "numbers with few calls go through the index and are sorted; digits that many numbers with "
            "many calls contain read the newest calls in order until the page is full. A time range "
            "alone reads its index. The text filter (number or name) reads the newest calls in order. "
            "The hardest log for it is one where every call comes from a different number (--numbers "
            "equal to --calls).\n";
    if (!rowsPath.empty())
        std::ofstream(rowsPath) << rows;
    if (keep)
        std::printf("kept %s\n", path.c_str());
    else
        std::filesystem::remove_all(dir);
    return 0;
}
