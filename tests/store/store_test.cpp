// The call log and phonebook on a real database file: names, history import without duplicates,
// queries, ids across a reopen, threads, and the files the service must refuse.
#include "call_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

using namespace kalvix3d;
namespace fs = std::filesystem;

namespace {

// A fresh folder; on tmpfs when there is one, since every stored call waits for the disk.
class TempDir {
public:
    TempDir() {
        std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        std::string pattern = base + "/kalvix3-store-XXXXXX";
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const char *name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Call call(const char *time, const char *number, const char *label = "店舗") {
    Call c;
    c.timeUtc = time;
    c.utcOffsetMinutes = 540;
    c.site = "shop";
    c.lineLabel = label;
    c.kind = 2;
    c.number = number;
    return c;
}

std::vector<std::string> numbersOf(const std::vector<Call> &calls) {
    std::vector<std::string> out;
    for (const auto &c : calls)
        out.push_back(c.number);
    return out;
}

void expectRefused(const std::string &path, const char *why) {
    try {
        CallStore store(path);
        ADD_FAILURE() << "opened " << path << ", wanted: " << why;
    } catch (const StoreError &e) {
        EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
}

}  // namespace

TEST(CallStore, NamesImportsQueriesAndIdsThatSurviveAReopen) {
    TempDir dir;
    std::string path = dir.file("calls.db");
    std::int64_t firstId, withheldId;
    {
        CallStore store(path);
        // Names: an exact entry beats any rule, the longest rule wins, letters have no name.
        store.setName({"03-1234-5678", "山田商店", false});
        store.setName({"03", "東京", true});
        store.setName({"0312", "東京中央", true});
        EXPECT_EQ(store.nameFor("0312345678"), "山田商店");
        EXPECT_EQ(store.nameFor("0312999999"), "東京中央");
        EXPECT_EQ(store.nameFor("0399999999"), "東京");
        EXPECT_EQ(store.nameFor("0120444444"), "");
        EXPECT_EQ(store.nameFor("P"), "");
        EXPECT_THROW(store.setName({"0311111111", "\xFF\xFE", false}), StoreError);
        EXPECT_THROW(store.setNames({{"0322222222", "ok", false}, {"-", "no digits", false}}), StoreError);
        EXPECT_EQ(store.phonebook().size(), 3u);  // the bad batch stored nothing
        EXPECT_TRUE(store.removeName("0312", true));
        EXPECT_FALSE(store.removeName("0312", true));
        EXPECT_EQ(store.nameFor("0312999999"), "東京");

        Call first = store.addCall(call("2026-12-08T09:12:00Z", "0312345678"));
        firstId = first.id;
        EXPECT_GT(firstId, 0);
        Call withheld = store.addCall(call("2026-12-08T10:00:00Z", "P"));
        withheldId = withheld.id;
        EXPECT_EQ(withheld.reason, "withheld");
        store.addCall(call("2026-12-09T08:00:00Z", "0667778888"));

        // History import: within the tolerance on the same line it is the same call, every time.
        EXPECT_FALSE(store.importCall(call("2026-12-08T09:12:40Z", "03-1234-5678"), 60));
        EXPECT_FALSE(store.importCall(call("2026-12-08T09:59:30Z", "P"), 60));
        EXPECT_TRUE(store.importCall(call("2026-12-08T09:59:30Z", "O"), 60));
        EXPECT_TRUE(store.importCall(call("2026-12-08T09:12:40Z", "0312345678", "FAX"), 60));
        EXPECT_TRUE(store.importCall(call("2026-12-08T09:14:00Z", "0312345678"), 60));
        for (int again = 0; again < 2; ++again) {
            EXPECT_FALSE(store.importCall(call("2026-12-08T09:14:00Z", "0312345678"), 60));
            EXPECT_FALSE(store.importCall(call("2026-12-08T09:12:40Z", "0312345678", "FAX"), 60));
        }
        EXPECT_THROW(store.addCall(call("yesterday", "0312345678")), StoreError);

        // Newest first by time: the imported 09:14 call sorts before the live 10:00 one.
        CallQuery all;
        EXPECT_EQ(numbersOf(store.calls(all)),
                  (std::vector<std::string>{"0667778888", "P", "O", "0312345678", "0312345678",
                                            "0312345678"}));
        CallQuery byNumber;
        byNumber.number = "1234-5";
        auto found = store.calls(byNumber);
        ASSERT_EQ(found.size(), 3u);
        EXPECT_EQ(found[0].timeUtc, "2026-12-08T09:14:00Z");
        EXPECT_EQ(found[0].origin, CallOrigin::imported);
        EXPECT_EQ(found[2].id, firstId);
        EXPECT_EQ(found[2].origin, CallOrigin::live);
        EXPECT_EQ(found[2].lineLabel, "店舗");
        EXPECT_EQ(found[2].utcOffsetMinutes, 540);
        CallQuery letter;
        letter.number = "P";
        ASSERT_EQ(store.calls(letter).size(), 1u);
        CallQuery day;
        day.sinceUtc = "2026-12-08T09:13:00Z";
        day.untilUtc = "2026-12-09";
        EXPECT_EQ(numbersOf(store.calls(day)), (std::vector<std::string>{"P", "O", "0312345678"}));
        EXPECT_EQ(store.countCalls(day), 3);
        CallQuery none;
        none.number = "999";
        EXPECT_TRUE(store.calls(none).empty());

        // Paging: the last call of a page is where the next one begins.
        CallQuery page;
        page.limit = 4;
        auto one = store.calls(page);
        page.beforeId = one.back().id;
        auto two = store.calls(page);
        ASSERT_EQ(two.size(), 2u);
        EXPECT_EQ(two[1].id, firstId);
        EXPECT_EQ(store.callsAfter(withheldId, 0).size(), 4u);  // in the order they were stored
    }
    CallStore again(path);
    ASSERT_TRUE(again.call(firstId));
    EXPECT_EQ(again.call(firstId)->number, "0312345678");
    EXPECT_EQ(again.call(withheldId)->reason, "withheld");
    EXPECT_EQ(again.addCall(call("2026-12-10T08:00:00Z", "0311111111")).id, withheldId + 5);
    EXPECT_EQ(again.nameFor("0312345678"), "山田商店");
}

// What a caller's card shows: the note from the phonebook (refused whole when it does not fit),
// the number as the plan writes it, and the how-manieth call it is, also when a history brings
// an older call; and a log of the release before gets all of it when it is first opened.
TEST(CallStore, KeepsWhatTheCallersCardShows) {
    TempDir dir;
    std::string path = dir.file("calls.db");
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const char *previousRelease = R"sql(
            CREATE TABLE calls(id INTEGER PRIMARY KEY AUTOINCREMENT, at INTEGER NOT NULL,
                utc_offset INTEGER NOT NULL, site TEXT NOT NULL, line_label TEXT NOT NULL,
                line_slot INTEGER NOT NULL, kind INTEGER NOT NULL, number TEXT NOT NULL,
                digits TEXT NOT NULL, reason TEXT NOT NULL, name TEXT NOT NULL, origin INTEGER NOT NULL);
            CREATE INDEX calls_at ON calls(at, digits);
            CREATE INDEX calls_digits ON calls(digits, at);
            CREATE TABLE numbers(id INTEGER PRIMARY KEY, digits TEXT NOT NULL UNIQUE, calls INTEGER NOT NULL);
            CREATE TRIGGER calls_count_number AFTER INSERT ON calls WHEN new.digits <> '' BEGIN
                INSERT INTO numbers(digits, calls) VALUES(new.digits, 1)
                    ON CONFLICT(digits) DO UPDATE SET calls = calls + 1;
            END;
            CREATE TABLE phonebook(digits TEXT NOT NULL, prefix INTEGER NOT NULL, name TEXT NOT NULL,
                PRIMARY KEY(digits, prefix)) WITHOUT ROWID;
            INSERT INTO calls(at, utc_offset, site, line_label, line_slot, kind, number, digits, reason,
                name, origin) VALUES
                (1796720400, 540, 'shop', '店舗', 0, 2, '0466123456', '0466123456', '', '', 0),
                (1796600000, 540, 'shop', '店舗', 0, 2, '0466123456', '0466123456', '', '', 1),
                (1796720500, 540, 'shop', '店舗', 0, 2, 'P', '', 'withheld', '', 0);
            INSERT INTO phonebook VALUES('0466123456', 0, '藤沢商店');
            PRAGMA user_version=1;
        )sql";
        ASSERT_EQ(sqlite3_exec(db, previousRelease, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    CallStore store(path);
    struct Logged {
        std::int64_t id;
        const char *formatted;
        NumberKind kind;
        const char *area;
        std::int64_t nth;
    } upgraded[] = {{1, "0466-12-3456", NumberKind::fixedLine, "藤沢", 2},
                    {2, "0466-12-3456", NumberKind::fixedLine, "藤沢", 1},
                    {3, "P", NumberKind::unknown, "", 0}};
    for (const Logged &want : upgraded) {
        auto got = store.call(want.id);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->formatted, want.formatted);
        EXPECT_EQ(got->numberKind, want.kind);
        EXPECT_EQ(got->area, want.area);
        EXPECT_EQ(got->nth, want.nth) << "call " << want.id;
    }

    // The note: kept when an entry is written without one, refused whole when it does not fit.
    EXPECT_EQ(store.callerFor("0466123456")->note, "");
    store.setName({"0466123456", "藤沢商店", false, "常連・領収書必要"});
    store.setName({"0466123456", "藤沢商店（本店）", false});
    EXPECT_EQ(store.callerFor("0466123456")->note, "常連・領収書必要");
    std::string longest;
    for (std::size_t i = 0; i < kNoteLimit; ++i)
        longest += "あ";
    store.setName({"0312345678", "山田", false, longest});
    EXPECT_EQ(store.callerFor("0312345678")->note, longest);
    for (const std::string &bad : {longest + "x", std::string("\xFF")}) {
        EXPECT_THROW(store.setNames({{"0399999999", "新規", false, ""}, {"0312345678", "山田", false, bad}}),
                     StoreError);
        EXPECT_FALSE(store.callerFor("0399999999"));
        EXPECT_EQ(store.callerFor("0312345678")->note, longest);
    }

    // A new call is the third from the number, after the one at 09:00 UTC on the 8th; a history
    // then brings one from before all of them, and every later call moves on by one.
    Call third = store.addCall(call("2026-12-09T10:15:00Z", "0466123456"));
    EXPECT_EQ(third.nth, 3);
    EXPECT_EQ(third.previousTimeUtc, "2026-12-08T09:00:00Z");
    EXPECT_EQ(third.formatted, "0466-12-3456");
    EXPECT_EQ(third.area, "藤沢");
    EXPECT_EQ(store.addCall(call("2026-12-09T10:16:00Z", "09012345678")).numberKind, NumberKind::mobile);
    ASSERT_TRUE(store.importCall(call("2026-12-01T00:00:00Z", "0466-12-3456"), 60));
    CallQuery fromFujisawa;
    fromFujisawa.number = "0466123456";
    std::vector<std::int64_t> order;
    for (const Call &c : store.calls(fromFujisawa))
        order.push_back(c.nth);
    EXPECT_EQ(order, (std::vector<std::int64_t>{4, 3, 2, 1}));
}

// The number filter answers from the number index for a few numbers, through an IN list for
// many numbers with few calls, and by reading the newest calls for many numbers with many calls:
// the same answers every way.
TEST(CallStore, NumberFilterAnswersAlikeForFewAndManyNumbersAndCalls) {
    TempDir dir;
    CallStore store(dir.file("calls.db"));
    std::vector<Call> bulk;
    char number[16];
    for (int i = 0; i < 4100; ++i) {  // 300 numbers ending 5555, 4100 calls, every even minute
        std::snprintf(number, sizeof number, "03%04d5555", i % 300);
        bulk.push_back(call("2026-12-01T00:00:00Z", number));
        bulk.back().timeUtc = isoFromSeconds(*secondsFromIso("2026-12-01T00:00:00Z") + i * 120);
    }
    for (int j = 0; j < 300; ++j) {  // 300 numbers ending 7777, a call each, odd minutes
        std::snprintf(number, sizeof number, "06%04d7777", j);
        bulk.push_back(call("2026-12-01T00:00:00Z", number));
        bulk.back().timeUtc = isoFromSeconds(*secondsFromIso("2026-12-01T00:01:00Z") + j * 120);
    }
    store.addCalls(bulk);
    EXPECT_EQ(bulk.back().id - bulk.front().id, 4399);

    CallQuery many;
    many.number = "5555";
    many.limit = 3;
    auto newest = store.calls(many);
    ASSERT_EQ(newest.size(), 3u);
    EXPECT_EQ(newest[0].timeUtc, "2026-12-06T16:38:00Z");
    EXPECT_EQ(newest[0].number, "0301995555");  // 4099 % 300 = 199
    EXPECT_EQ(newest[2].number, "0301975555");
    EXPECT_EQ(store.countCalls(many), 4100);
    many.beforeId = newest[2].id;
    EXPECT_EQ(store.calls(many)[0].number, "0301965555");

    // 33 numbers contain 95555: the middle parts ending in 9, and 0095, 0195, 0295.
    CallQuery someNumbers;
    someNumbers.number = "95555";
    someNumbers.limit = 3;
    auto merged = store.calls(someNumbers);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(numbersOf(merged), (std::vector<std::string>{"0301995555", "0301955555", "0301895555"}));
    someNumbers.beforeId = merged[2].id;
    EXPECT_EQ(store.calls(someNumbers)[0].number, "0301795555");
    EXPECT_EQ(store.countCalls(someNumbers), 410 + 14 + 14 + 13);

    CallQuery fewCalls;
    fewCalls.number = "7777";
    fewCalls.limit = 2;
    auto seven = store.calls(fewCalls);
    ASSERT_EQ(seven.size(), 2u);
    EXPECT_EQ(seven[0].timeUtc, "2026-12-01T09:59:00Z");
    EXPECT_EQ(seven[1].number, "0602987777");
    EXPECT_EQ(store.countCalls(fewCalls), 300);

    CallQuery one;
    one.number = "03-0042-5555";
    one.limit = 0;
    auto each = store.calls(one);
    ASSERT_EQ(each.size(), 14u);  // i = 42, 342, ..., 3942
    EXPECT_EQ(each.front().timeUtc, isoFromSeconds(*secondsFromIso("2026-12-01T00:00:00Z") + 3942 * 120));
    EXPECT_EQ(each.back().timeUtc, "2026-12-01T01:24:00Z");
    one.sinceUtc = "2026-12-01T02:00:00Z";
    one.untilUtc = "2026-12-01T23:00:00Z";
    EXPECT_EQ(store.calls(one).size(), 2u);  // i = 342 at 11:24, 642 at 21:24
}

TEST(CallStore, SeveralThreadsStoreEveryCallOnce) {
    TempDir dir;
    CallStore store(dir.file("calls.db"));
    std::vector<std::vector<std::int64_t>> ids(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                ids[t].push_back(store.addCall(call("2026-12-08T09:00:00Z", "0312345678")).id);
                store.nameFor("0312345678");
                store.importCall(call("2026-12-08T09:00:30Z", "0312345678"), 60);
            }
        });
    for (auto &t : threads)
        t.join();
    std::set<std::int64_t> unique;
    for (auto &v : ids)
        unique.insert(v.begin(), v.end());
    EXPECT_EQ(unique.size(), 200u);
    EXPECT_EQ(store.countCalls({}), 200);
}

TEST(CallStore, RefusesFilesItCannotUseAndSaysWhy) {
    TempDir dir;
    std::string good = dir.file("calls.db");
    { CallStore create(good); create.addCall(call("2026-12-08T09:00:00Z", "0312345678")); }
    chmod(good.c_str(), 0444);
    expectRefused(good, "read-only");
    CallStore reader(good, true);  // reading stays possible
    EXPECT_EQ(reader.calls({}).size(), 1u);
    EXPECT_THROW(reader.addCall(call("2026-12-08T09:00:00Z", "0312345678")), StoreError);

    std::string garbage = dir.file("garbage.db");
    std::ofstream(garbage) << std::string(4096, 'x');
    expectRefused(garbage, "not an SQLite database");

    std::string newer = dir.file("newer.db");
    { CallStore create(newer); }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(newer.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    expectRefused(newer, "newer than this program knows");

    expectRefused(dir.file("no-such-folder/calls.db"), "cannot be opened");
    EXPECT_THROW(CallStore(dir.file("absent.db"), true), StoreError);
}
