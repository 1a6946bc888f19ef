// The service's call log and phonebook: one SQLite file (WAL), schema versioned with migrations.
// Safe to use from several threads: every call takes the store's own lock. Several processes
// (the service and `kalvix3 log` / `kalvix3 phonebook`) may open the same file at once.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/call.h"
#include "core/words.h"

namespace kalvix3d {

struct CallQuery {
    std::optional<std::string> sinceUtc;  // inclusive, ISO 8601 UTC
    std::optional<std::string> untilUtc;  // exclusive, ISO 8601 UTC
    std::optional<std::string> number;    // digits: calls whose number contains them
    std::optional<std::string> text;      // calls whose number or name contains it
    std::int64_t beforeId = 0;            // paging, newest first: only ids below this (0: from newest)
    int limit = 100;                      // 0 or less: no limit
};
// Newest first means by time, then by id: a call imported from a device's history (a new id, an
// older time) appears where its time puts it. beforeId is the last call of the previous page:
// the next page holds the calls that come after it in that order (for calls heard live, whose
// ids grow with their times, exactly those with lower ids).
//
// A `number` without digits ("P") finds the calls whose number is that text (withheld, ...).
//
// Speed on a log of a million calls (docs/PERFORMANCE.md): a time range is read from its index.
// The number filter first finds the distinct numbers that contain the digits, in memory (each
// store keeps a copy of the numbers, some 11 bytes each, read at its first number query and
// brought up to date before each one); a few numbers are then read each newest first from the
// number index, and digits that many numbers contain read the newest calls in order until the
// page is full. `text` reads the newest calls in order.

struct PhonebookEntry {
    std::string number;  // digits only (hyphens and spaces removed on the way in)
    std::string name;    // UTF-8
    bool prefix = false; // a prefix rule ("0120" -> "フリーダイヤル") rather than an exact number
    // What the reception should know of the caller ("常連・領収書必要"), UTF-8, at most
    // kNoteLimit characters. Read from the store it is always there; written without one
    // (nullopt), an entry keeps the note it has.
    std::optional<std::string> note;
};
constexpr std::size_t kNoteLimit = 200; // characters (code points)

// What kind of failure a StoreError is, so that a caller can decide by it: refuse the input,
// try again later, or report a fault.
enum class StoreFault {
    badInput, // the request itself is wrong (a name that is not UTF-8, a time that is no time)
    busy,     // another program holds the database: try again shortly
    io,       // the file cannot be used (missing, read-only, corrupt, full)
};

class StoreError : public std::runtime_error {
public:
    // what(): a sentence saying why; for io and busy it names the file, for badInput it speaks
    // only of the input, so it may be shown to whoever sent it.
    StoreError(StoreFault fault, const std::string &what) : std::runtime_error(what), fault_(fault) {}
    StoreFault fault() const { return fault_; }

private:
    StoreFault fault_;
};

// What the recorder needs of the call log: commit a call, find the caller's phonebook entry.
// CallStore is one.
class CallJournal {
public:
    virtual ~CallJournal() = default;
    virtual Call addCall(Call call) = 0;
    // The phonebook entry that names the number (exact, else the longest prefix rule), with its
    // note; nullopt when none does.
    virtual std::optional<PhonebookEntry> callerFor(std::string_view number) = 0;
};

class CallStore : public CallJournal {
public:
    // Opens or creates the database and brings its schema up to date. Throws StoreError when the
    // file cannot be opened, is not a database, is read-only (unless readOnly), or has a newer
    // schema than this program knows.
    explicit CallStore(const std::string &path, bool readOnly = false);
    ~CallStore() override;
    CallStore(const CallStore &) = delete;
    CallStore &operator=(const CallStore &) = delete;

    // Commits the call durably before returning; returns it with its id, its place among the
    // calls from its number (nth) and the time of the one before it. Throws StoreError.
    Call addCall(Call call) override;
    // A call's reason, when empty, is filled from its number ("P" -> "withheld"), and what the
    // numbering plan says of the number always; a time that is not ISO 8601 is refused with
    // StoreError. A call stored with a time before other calls from its number moves their
    // nth on by one.
    // Adds many calls in one transaction, all or none, filling in their ids (a bulk load).
    void addCalls(std::vector<Call> &calls);
    // Adds a call read from a device's history unless that line already has a call with the same
    // number within toleranceSeconds of its time (heard live or imported before). True if added.
    // A line is its site and label. The test and the insert are one transaction, so two
    // processes importing the same history add each call once. It is stored as imported.
    bool importCall(Call call, int toleranceSeconds);
    std::vector<Call> calls(const CallQuery &query);          // newest first
    std::vector<Call> callsAfter(std::int64_t id, int limit);  // oldest first: replays
    std::optional<Call> call(std::int64_t id);
    std::int64_t newestCallId(); // the highest id given so far, 0 for an empty log

    // The name for a caller's number: an exact entry first, else the longest matching prefix rule,
    // else "". Reason letters have no name.
    std::string nameFor(std::string_view number);
    std::optional<PhonebookEntry> callerFor(std::string_view number) override;
    // Adds or replaces; throws StoreError on a name that is empty or not UTF-8, a note that is
    // not UTF-8 or longer than kNoteLimit, or a number without digits.
    void setName(const PhonebookEntry &entry);
    // Adds or replaces all entries in one transaction: all or none (the first bad entry throws).
    void setNames(const std::vector<PhonebookEntry> &entries);
    bool removeName(std::string_view numberDigits, bool prefix);
    std::vector<PhonebookEntry> phonebook();

    // How many calls the query matches, ignoring its limit and beforeId (for a page count).
    std::int64_t countCalls(const CallQuery &query);
    const std::string &path() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Phonebook CSV: "number,name[,prefix[,note]]" rows; a header row is allowed. A row without the
// note column leaves an entry's note as it is. Input may be UTF-8 with or
// without BOM, or code page 932 (detected). Broken rows are reported by their line number.
enum class CsvEncoding { utf8, utf8Bom, cp932 };
struct CsvProblem { int line; std::string what; };
struct CsvRead { std::vector<PhonebookEntry> entries; std::vector<CsvProblem> problems; };
CsvRead readPhonebookCsv(std::string_view bytes);
// The same in the encoding given rather than detected (a BOM is skipped either way).
CsvRead readPhonebookCsv(std::string_view bytes, CsvEncoding encoding);
// Writes "number,name,prefix,note" with a header row, CRLF line ends. Throws StoreError naming
// every entry whose name or note code page 932 cannot hold, and writes nothing then.
std::string writePhonebookCsv(const std::vector<PhonebookEntry> &entries, CsvEncoding encoding);
std::string digitsOf(std::string_view text);  // keeps '0'..'9' only
bool isValidUtf8(std::string_view text);       // strict: no overlong forms, no surrogates
std::size_t utf8Length(std::string_view text); // characters of valid UTF-8
// Why a note cannot be stored ("" when it can): not UTF-8, or longer than kNoteLimit.
std::string noteProblem(std::string_view note);
std::string utf8FromCp932(const std::string &bytes); // device text; an invalid byte becomes U+FFFD
// For a spreadsheet: a character code page 932 has no place for becomes '?'.
std::string cp932FromUtf8(const std::string &text);

// The call log as CSV (`kalvix3 log --csv`, the web page's export): the header and one row
// without its line end. What the numbering plan says comes last, after the columns of old. A field is quoted when it holds a comma, a quote or a line end, or
// begins or ends with a space or tab.
extern const char *const kCallCsvHeader;
std::string callCsvRow(const Call &call);
std::string csvField(const std::string &text);
// A cell that a spreadsheet would take for a formula (it begins with =, +, -, @, a tab or a
// carriage return, or is such a text behind apostrophes) is written with one more apostrophe
// in front, which spreadsheets show as text; reading takes that apostrophe off again, so every
// text comes back as it was.
std::string spreadsheetCell(const std::string &text);
std::string textOfSpreadsheetCell(const std::string &cell);
// The wall-clock time where the call rang, with its offset: "2026-12-09T10:00:00+09:00".
std::string localTimeOf(const Call &call);


// "2026-12-08T09:12:00Z" (also "+09:00" offsets, a space for the T, and a bare date as its
// midnight UTC) to seconds since 1970 and back; nullopt for anything else.
std::optional<std::int64_t> secondsFromIso(std::string_view iso);
std::string isoFromSeconds(std::int64_t seconds);

}  // namespace kalvix3d
