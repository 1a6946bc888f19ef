// The call log and phonebook on SQLite. One connection per store, guarded by the store's mutex;
// WAL with synchronous=FULL, so a call is on disk when addCall returns and readers in other
// processes (the command line) never wait for the service.
#include "call_store.h"
#include "number_filter.h"
#include "sqlite.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <functional>

namespace kalvix3d {

namespace {


// Schema migrations: entry i brings user_version i to i + 1. Append only; never edit one that
// has shipped.
const char *const kMigrations[] = {
    // 1: the call log, the distinct numbers it holds (for the number filter), the phonebook.
    R"sql(
    CREATE TABLE calls(
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        at INTEGER NOT NULL,              -- seconds since 1970, UTC
        utc_offset INTEGER NOT NULL,      -- minutes east of UTC at that moment
        site TEXT NOT NULL,
        line_label TEXT NOT NULL,
        line_slot INTEGER NOT NULL,
        kind INTEGER NOT NULL,
        number TEXT NOT NULL,             -- as the device sent it
        digits TEXT NOT NULL,             -- its digits only ('' for a reason letter)
        reason TEXT NOT NULL,
        name TEXT NOT NULL,
        origin INTEGER NOT NULL           -- 0 heard live, 1 imported from a device's history
    );
    CREATE INDEX calls_at ON calls(at, digits);
    CREATE INDEX calls_digits ON calls(digits, at);
    CREATE TABLE numbers(
        id INTEGER PRIMARY KEY,
        digits TEXT NOT NULL UNIQUE,
        calls INTEGER NOT NULL
    );
    -- Kept by the database itself, so a call inserted by any means is found by its number.
    CREATE TRIGGER calls_count_number AFTER INSERT ON calls WHEN new.digits <> '' BEGIN
        INSERT INTO numbers(digits, calls) VALUES(new.digits, 1)
            ON CONFLICT(digits) DO UPDATE SET calls = calls + 1;
    END;
    CREATE TABLE phonebook(
        digits TEXT NOT NULL,
        prefix INTEGER NOT NULL,
        name TEXT NOT NULL,
        PRIMARY KEY(digits, prefix)
    ) WITHOUT ROWID;
    )sql",
    // 2: what the numbering plan says of each number and the how-manieth call from it each call
    // is; a note for each phonebook entry. The calls already logged get theirs here.
    R"sql(
    ALTER TABLE calls ADD COLUMN formatted TEXT NOT NULL DEFAULT '';
    ALTER TABLE calls ADD COLUMN number_kind TEXT NOT NULL DEFAULT 'unknown';
    ALTER TABLE calls ADD COLUMN area TEXT NOT NULL DEFAULT '';
    ALTER TABLE calls ADD COLUMN nth INTEGER NOT NULL DEFAULT 0;
    UPDATE calls SET formatted = number_facts(number, 0), number_kind = number_facts(number, 1),
        area = number_facts(number, 2);
    UPDATE calls SET nth = ordered.nth FROM (
        SELECT id, row_number() OVER (PARTITION BY digits ORDER BY at, id) AS nth
        FROM calls WHERE digits <> '') AS ordered
    WHERE calls.id = ordered.id;
    ALTER TABLE phonebook ADD COLUMN note TEXT NOT NULL DEFAULT '';
    )sql",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

const char *const kCallColumns = "id, at, utc_offset, site, line_label, line_slot, kind, number, "
                                 "reason, name, origin, formatted, number_kind, area, nth";

// number_facts(number, part) in SQL: the formatted number (0), the kind's key (1) or the area
// (2), for the migration that gives the calls already logged theirs.
void numberFactsInSql(sqlite3_context *context, int, sqlite3_value **values) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(values[0]));
    NumberFacts facts = describeNumber(text ? text : "");
    std::string part;
    switch (sqlite3_value_int(values[1])) {
    case 0: part = facts.formatted; break;
    case 1: part = numberKindWords(facts.kind).key; break;
    default: part = facts.area; break;
    }
    sqlite3_result_text(context, part.c_str(), static_cast<int>(part.size()), SQLITE_TRANSIENT);
}

}  // namespace

struct CallStore::Impl : sqlite::Connection {
    NumberIndex numbers;
};

namespace {

using sqlite::Connection;
using sqlite::Keep;
using sqlite::Statement;
using sqlite::Transaction;

Call callFromRow(const Statement &row) {
    Call call;
    call.id = row.integer(0);
    call.timeUtc = isoFromSeconds(row.integer(1));
    call.utcOffsetMinutes = static_cast<int>(row.integer(2));
    call.site = row.text(3);
    call.lineLabel = row.text(4);
    call.lineSlot = static_cast<int>(row.integer(5));
    call.kind = static_cast<int>(row.integer(6));
    call.number = row.text(7);
    call.reason = row.text(8);
    call.name = row.text(9);
    call.origin = row.integer(10) == 1 ? CallOrigin::imported : CallOrigin::live;
    call.formatted = row.text(11);
    call.numberKind = numberKindOf(row.text(12));
    call.area = row.text(13);
    call.nth = row.integer(14);
    return call;
}

std::int64_t userVersion(Connection &store) {
    Statement s(store, "PRAGMA user_version");
    return s.step("reading the schema version") ? s.integer(0) : 0;
}

}  // namespace

CallStore::CallStore(const std::string &path, bool readOnly) : impl_(std::make_unique<Impl>()) {
    Impl &s = *impl_;
    s.path = path;
    s.readOnly = readOnly;
    struct stat info {};
    bool exists = ::stat(path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        throw StoreError(StoreFault::io, "the call database " + path + " is a folder, not a file");
    if (!exists && readOnly)
        throw StoreError(StoreFault::io, "the call database " + path + " does not exist (the service creates it "
                         "when it first starts)");
    // Root may write a file whose mode says read-only; a file marked read-only is refused all
    // the same, since the service would otherwise write where it was told not to.
    if (exists && !readOnly && (info.st_mode & 0222) == 0)
        throw StoreError(StoreFault::io, "the call database " + path + " is read-only (mode " +
                         std::to_string((info.st_mode >> 6) & 7) +
                         std::to_string((info.st_mode >> 3) & 7) + std::to_string(info.st_mode & 7) +
                         "): the service must be able to write it; check its permissions and owner");
    int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE |
                (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    int rc = sqlite3_open_v2(path.c_str(), &s.db, flags, nullptr);
    if (rc != SQLITE_OK)
        s.fail("cannot be opened", rc);
    if (!readOnly && sqlite3_db_readonly(s.db, "main") == 1)
        throw StoreError(StoreFault::io, "the call database " + path + " is read-only for this user: the service "
                         "must be able to write it; check its permissions and owner");
    sqlite3_busy_timeout(s.db, sqlite::kBusyTimeoutMs);

    if (!readOnly) {
        Statement wal(s, "PRAGMA journal_mode=WAL");
        if (!wal.step("switching to WAL mode") || wal.text(0) != "wal")
            throw StoreError(StoreFault::io, "the call database " + path + " cannot use WAL mode (is it on a "
                             "network file system?)");
    }
    s.exec("PRAGMA synchronous=FULL", "setting synchronous writes");

    std::int64_t version = userVersion(s);
    if (version > kSchemaVersion)
        throw StoreError(StoreFault::io, "the call database " + path + " has schema version " +
                         std::to_string(version) + ", newer than this program knows (" +
                         std::to_string(kSchemaVersion) + "): use the newer program");
    if (readOnly) {
        if (version < kSchemaVersion)
            throw StoreError(StoreFault::io, "the call database " + path + " has schema version " +
                             std::to_string(version) + " and needs upgrading to " +
                             std::to_string(kSchemaVersion) + ": start the service once");
        return;
    }
    // A write probe, so that a file that cannot be written is refused now rather than at the
    // first call; then the migrations, each under the write lock so two processes starting
    // together migrate once.
    sqlite3_create_function(s.db, "number_facts", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                            numberFactsInSql, nullptr, nullptr);
    Transaction migrate(s);
    version = userVersion(s);
    for (auto v = version; v < kSchemaVersion; ++v) {
        s.exec(kMigrations[v], "upgrading the schema");
        s.exec(("PRAGMA user_version=" + std::to_string(v + 1)).c_str(), "upgrading the schema");
    }
    migrate.commit();
}

CallStore::~CallStore() = default;

const std::string &CallStore::path() const { return impl_->path; }

namespace {

// Where a call stands among the calls from its number: the how-manieth it is and when the one
// before it came. A call newer than every other from its number (every call heard live) is
// counted from the number's row; an older one (from a device's history) is counted on the
// index, and the later calls move on by one.
void placeAmongCallsFromNumber(Connection &s, Call &call, std::int64_t at, const std::string &digits) {
    call.nth = 0;
    call.previousTimeUtc.clear();
    if (digits.empty())
        return;
    Statement previous(s, "SELECT at FROM calls INDEXED BY calls_digits WHERE digits = ?1 AND at <= ?2 "
                          "ORDER BY at DESC, id DESC LIMIT 1",
                       Keep::yes);
    previous.bind(1, digits).bind(2, at);
    if (previous.step("reading the caller's last call"))
        call.previousTimeUtc = isoFromSeconds(previous.integer(0));
    Statement later(s, "SELECT 1 FROM calls INDEXED BY calls_digits WHERE digits = ?1 AND at > ?2 LIMIT 1",
                    Keep::yes);
    later.bind(1, digits).bind(2, at);
    if (!later.step("reading the caller's calls")) {
        Statement count(s, "SELECT calls FROM numbers WHERE digits = ?1", Keep::yes);
        count.bind(1, digits);
        call.nth = (count.step("counting the caller's calls") ? count.integer(0) : 0) + 1;
        return;
    }
    Statement count(s, "SELECT count(*) FROM calls INDEXED BY calls_digits WHERE digits = ?1 AND at <= ?2");
    count.bind(1, digits).bind(2, at);
    call.nth = (count.step("counting the caller's calls") ? count.integer(0) : 0) + 1;
    Statement moveOn(s, "UPDATE calls SET nth = nth + 1 WHERE digits = ?1 AND at > ?2");
    moveOn.bind(1, digits).bind(2, at);
    moveOn.step("renumbering the caller's later calls");
}

// Fills in what the store adds to a call (its reason, what the plan says of its number, its
// place among the calls from the number) and inserts it; returns it with its id.
Call insertCall(Connection &s, Call call, std::int64_t at) {
    if (call.reason.empty())
        call.reason = reasonInWords(call.number);
    NumberFacts facts = describeNumber(call.number);
    call.formatted = std::move(facts.formatted);
    call.numberKind = facts.kind;
    call.area = std::move(facts.area);
    std::string digits = digitsOf(call.number);
    placeAmongCallsFromNumber(s, call, at, digits);
    Statement insert(s, "INSERT INTO calls(at, utc_offset, site, line_label, line_slot, kind, number, "
                        "digits, reason, name, origin, formatted, number_kind, area, nth) "
                        "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                     Keep::yes);
    insert.bind(1, at)
        .bind(2, std::int64_t{call.utcOffsetMinutes})
        .bind(3, call.site)
        .bind(4, call.lineLabel)
        .bind(5, std::int64_t{call.lineSlot})
        .bind(6, std::int64_t{call.kind})
        .bind(7, call.number)
        .bind(8, digits)
        .bind(9, call.reason)
        .bind(10, call.name)
        .bind(11, std::int64_t{call.origin == CallOrigin::imported ? 1 : 0})
        .bind(12, call.formatted)
        .bind(13, numberKindWords(call.numberKind).key)
        .bind(14, call.area)
        .bind(15, call.nth);
    insert.step("storing a call");
    call.id = sqlite3_last_insert_rowid(s.db);
    call.timeUtc = isoFromSeconds(at);
    return call;
}

std::int64_t timeOf(const Call &call) {
    auto at = secondsFromIso(call.timeUtc);
    if (!at)
        throw StoreError(StoreFault::badInput, "a call's time \"" + call.timeUtc +
                         "\" is not an ISO 8601 time such as 2026-12-08T09:12:00Z");
    return *at;
}

void requireWritable(const Connection &s) {
    if (s.readOnly)
        throw StoreError(StoreFault::io, "the call database " + s.path + " was opened read-only");
}

}  // namespace

Call CallStore::addCall(Call call) {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    requireWritable(s);
    std::int64_t at = timeOf(call);
    Transaction t(s);
    call = insertCall(s, std::move(call), at);
    t.commit();
    return call;
}

void CallStore::addCalls(std::vector<Call> &calls) {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    requireWritable(s);
    std::vector<std::int64_t> times;
    times.reserve(calls.size());
    for (const auto &call : calls)
        times.push_back(timeOf(call));
    Transaction t(s);
    std::vector<Call> stored;
    stored.reserve(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i)
        stored.push_back(insertCall(s, calls[i], times[i]));
    t.commit();
    calls = std::move(stored);
}

bool CallStore::importCall(Call call, int toleranceSeconds) {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    requireWritable(s);
    std::int64_t at = timeOf(call);
    call.origin = CallOrigin::imported;  // whatever the caller set: it came from a history
    std::string digits = digitsOf(call.number);
    std::int64_t tolerance = toleranceSeconds < 0 ? 0 : toleranceSeconds;
    Transaction t(s);
    Statement seen(s, "SELECT 1 FROM calls WHERE digits = ?1 AND at BETWEEN ?2 AND ?3 "
                      "AND (?1 <> '' OR number = ?4) AND site = ?5 AND line_label = ?6 LIMIT 1",
                   Keep::yes);
    seen.bind(1, digits).bind(2, at - tolerance).bind(3, at + tolerance).bind(4, call.number);
    seen.bind(5, call.site).bind(6, call.lineLabel);
    if (seen.step("looking for an imported call"))
        return false;
    insertCall(s, std::move(call), at);
    t.commit();
    return true;
}


std::vector<Call> CallStore::calls(const CallQuery &query) {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    Filter f = buildFilter(s, s.numbers, query, false);
    std::vector<Call> out;
    if (f.empty)
        return out;
    std::string select = std::string("SELECT ") + kCallColumns + " FROM calls INDEXED BY " + f.index;
    std::string order = " ORDER BY at DESC, id DESC";
    if (query.limit > 0)
        order += " LIMIT " + std::to_string(query.limit);
    if (f.eachNumber.empty()) {
        Statement rows(s, select + f.where + order);
        rows.bindAll(f.values);
        while (rows.step("reading calls"))
            out.push_back(callFromRow(rows));
        return out;
    }
    // Each number's newest keys from the number index alone (it holds the time and the id),
    // merged; once a page is full, a number is read only for keys newer than its last one.
    auto n = f.values.size();
    auto where = f.where + (f.where.empty() ? " WHERE " : " AND ") + "digits = ?" + std::to_string(n + 1) +
                 " AND at >= ?" + std::to_string(n + 2) + " AND (at > ?" + std::to_string(n + 2) +
                 " OR id > ?" + std::to_string(n + 3) + ")";
    Statement keys(s, "SELECT at, id FROM calls INDEXED BY calls_digits" + where + order);
    std::vector<std::pair<std::int64_t, std::int64_t>> found;
    std::pair<std::int64_t, std::int64_t> last{INT64_MIN, INT64_MIN};
    for (const auto &number : f.eachNumber) {
        keys.bindAll(f.values);
        keys.bind(static_cast<int>(n + 1), number).bind(static_cast<int>(n + 2), last.first);
        keys.bind(static_cast<int>(n + 3), last.second);
        while (keys.step("reading calls"))
            found.emplace_back(keys.integer(0), keys.integer(1));
        keys.reset();
        if (query.limit > 0 && found.size() >= static_cast<std::size_t>(query.limit)) {
            std::sort(found.begin(), found.end(), std::greater<>());
            found.resize(static_cast<std::size_t>(query.limit));
            last = found.back();
        }
    }
    std::sort(found.begin(), found.end(), std::greater<>());
    Statement byId(s, std::string("SELECT ") + kCallColumns + " FROM calls WHERE id = ?1", Keep::yes);
    for (const auto &key : found) {
        byId.bind(1, key.second);
        if (byId.step("reading calls"))
            out.push_back(callFromRow(byId));
        byId.reset();
    }
    return out;
}

std::int64_t CallStore::countCalls(const CallQuery &query) {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    Filter f = buildFilter(s, s.numbers, query, true);
    if (f.empty)
        return 0;
    Statement count(s, "SELECT count(*) FROM calls INDEXED BY " + std::string(f.index) + f.where);
    count.bindAll(f.values);
    return count.step("counting calls") ? count.integer(0) : 0;
}

std::vector<Call> CallStore::callsAfter(std::int64_t id, int limit) {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    Statement select(s, std::string("SELECT ") + kCallColumns +
                            " FROM calls WHERE id > ?1 ORDER BY id LIMIT ?2");
    select.bind(1, id).bind(2, std::int64_t{limit > 0 ? limit : -1});
    std::vector<Call> out;
    while (select.step("reading calls"))
        out.push_back(callFromRow(select));
    return out;
}

std::optional<Call> CallStore::call(std::int64_t id) {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    Statement select(s, std::string("SELECT ") + kCallColumns + " FROM calls WHERE id = ?1", Keep::yes);
    select.bind(1, id);
    if (!select.step("reading a call"))
        return std::nullopt;
    return callFromRow(select);
}

std::int64_t CallStore::newestCallId() {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    Statement select(s, "SELECT coalesce(max(id), 0) FROM calls", Keep::yes);
    return select.step("reading the newest call") ? select.integer(0) : 0;
}

std::string CallStore::nameFor(std::string_view number) {
    auto entry = callerFor(number);
    return entry ? entry->name : "";
}

std::optional<PhonebookEntry> CallStore::callerFor(std::string_view number) {
    Impl &s = *impl_;
    std::string digits = digitsOf(number);
    if (digits.empty())
        return std::nullopt;
    std::lock_guard guard(s.lock);
    Statement exact(s, "SELECT digits, name, note FROM phonebook WHERE digits = ?1 AND prefix = 0",
                    Keep::yes);
    exact.bind(1, digits);
    if (exact.step("looking up a name"))
        return PhonebookEntry{exact.text(0), exact.text(1), false, exact.text(2)};
    // Every prefix of the number is a candidate rule; the longest one that exists wins.
    std::string sql = "SELECT digits, name, note FROM phonebook WHERE prefix = 1 AND digits IN (";
    for (std::size_t i = 1; i <= digits.size(); ++i)
        sql += (i == 1 ? "?" : ",?") + std::to_string(i);
    sql += ") ORDER BY length(digits) DESC LIMIT 1";
    Statement rule(s, sql);
    for (std::size_t i = 1; i <= digits.size(); ++i)
        rule.bind(static_cast<int>(i), std::string_view(digits).substr(0, i));
    if (rule.step("looking up a name"))
        return PhonebookEntry{rule.text(0), rule.text(1), true, rule.text(2)};
    return std::nullopt;
}

namespace {

PhonebookEntry checkedEntry(const PhonebookEntry &entry) {
    PhonebookEntry clean{digitsOf(entry.number), entry.name, entry.prefix, entry.note};
    if (clean.number.empty())
        throw StoreError(StoreFault::badInput, "the phonebook number \"" + entry.number +
                         "\" has no digits");
    if (!isValidUtf8(entry.name))
        throw StoreError(StoreFault::badInput, "the name for " + clean.number +
                         " is not valid UTF-8");
    if (entry.name.empty())
        throw StoreError(StoreFault::badInput, "the name for " + clean.number +
                         " is empty");
    if (std::string problem = entry.note ? noteProblem(*entry.note) : ""; !problem.empty())
        throw StoreError(StoreFault::badInput, "for " + clean.number + ", " + problem);
    return clean;
}

void upsertName(Connection &s, const PhonebookEntry &entry) {
    // ?4 null: the entry has no note to give, so one already stored stays.
    Statement upsert(s, "INSERT INTO phonebook(digits, prefix, name, note) "
                        "VALUES(?1, ?2, ?3, coalesce(?4, '')) ON CONFLICT(digits, prefix) DO UPDATE "
                        "SET name = excluded.name, note = coalesce(?4, note)",
                     Keep::yes);
    upsert.bind(1, entry.number).bind(2, std::int64_t{entry.prefix ? 1 : 0}).bind(3, entry.name);
    if (entry.note)
        upsert.bind(4, *entry.note);
    upsert.step("storing a phonebook entry");
}

}  // namespace

void CallStore::setName(const PhonebookEntry &entry) {
    Impl &s = *impl_;
    PhonebookEntry clean = checkedEntry(entry);
    std::lock_guard guard(s.lock);
    requireWritable(s);
    Transaction t(s);
    upsertName(s, clean);
    t.commit();
}

void CallStore::setNames(const std::vector<PhonebookEntry> &entries) {
    Impl &s = *impl_;
    std::vector<PhonebookEntry> clean;
    clean.reserve(entries.size());
    for (const auto &entry : entries)
        clean.push_back(checkedEntry(entry));
    std::lock_guard guard(s.lock);
    requireWritable(s);
    Transaction t(s);
    for (const auto &entry : clean)
        upsertName(s, entry);
    t.commit();
}

bool CallStore::removeName(std::string_view numberDigits, bool prefix) {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    requireWritable(s);
    Statement remove(s, "DELETE FROM phonebook WHERE digits = ?1 AND prefix = ?2");
    remove.bind(1, digitsOf(numberDigits)).bind(2, std::int64_t{prefix ? 1 : 0});
    remove.step("removing a phonebook entry");
    return sqlite3_changes(s.db) > 0;
}

std::vector<PhonebookEntry> CallStore::phonebook() {
    Impl &s = *impl_;
    std::lock_guard guard(s.lock);
    Statement select(s, "SELECT digits, name, prefix, note FROM phonebook ORDER BY prefix, digits");
    std::vector<PhonebookEntry> out;
    while (select.step("reading the phonebook"))
        out.push_back({select.text(0), select.text(1), select.integer(2) == 1, select.text(3)});
    return out;
}

}  // namespace kalvix3d
