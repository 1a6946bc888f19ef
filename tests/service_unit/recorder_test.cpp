// The recorder against a journal in memory: a call is committed before it is announced, in the
// order the lines handed it over, with its words and its name; a journal that refuses a call
// for a while gets it again; stopping records what was handed over.
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "announcer.h"
#include "recorder.h"

namespace {

using namespace kalvix3d;

// Commits into a vector; refuses the next `failures` commits with a busy error.
class MemoryJournal : public CallJournal {
public:
    Call addCall(Call call) override {
        std::lock_guard<std::mutex> hold(lock);
        if (failures > 0) {
            --failures;
            throw StoreError(StoreFault::busy, "the call log is busy");
        }
        call.id = static_cast<std::int64_t>(committed.size()) + 1;
        committed.push_back(call);
        return call;
    }
    std::optional<PhonebookEntry> callerFor(std::string_view number) override {
        auto found = names.find(std::string(number));
        if (found == names.end())
            return std::nullopt;
        return PhonebookEntry{found->first, found->second};
    }
    std::mutex lock;
    int failures = 0;
    std::vector<Call> committed;
    std::map<std::string, std::string> names{{"0312345678", "山田太郎"}};
};

// Records each announcement with what the journal held at that moment.
class Listener : public Observer {
public:
    explicit Listener(MemoryJournal &journal) : journal(journal) {}
    void callAnnounced(const Call &call) override {
        std::lock_guard<std::mutex> hold(journal.lock);
        announced.push_back(call);
        committedWhenAnnounced.push_back(journal.committed.size());
    }
    void lineStateChanged(const LineStatus &) override {}
    MemoryJournal &journal;
    std::vector<Call> announced;
    std::vector<std::size_t> committedWhenAnnounced;
};

Config twoLines() {
    Config config;
    config.site = "Clinic";
    config.lines = {LineConfig{.slot = 0, .kind = 2, .label = "店舗"},
                    LineConfig{.slot = 1, .kind = 15, .label = "FAX"}};
    return config;
}

Heard heard(int slot, std::string bytes) {
    Heard h;
    h.slot = slot;
    h.bytes = std::move(bytes);
    h.when = std::chrono::steady_clock::now();
    h.wallTime = 1796774400; // 2026-12-09T00:00:00Z
    return h;
}

TEST(Recorder, CommitsBeforeItAnnouncesInTheOrderHeard) {
    Config config = twoLines();
    MemoryJournal journal;
    Announcer announcer;
    Listener listener(journal);
    announcer.subscribe(&listener);
    {
        Recorder recorder(config, journal, announcer);
        EXPECT_TRUE(recorder.hand(heard(0, "0312345678")));
        EXPECT_TRUE(recorder.hand(heard(1, "P")));
        EXPECT_TRUE(recorder.hand(heard(7, "0399999999"))); // no such line: dropped
        EXPECT_TRUE(recorder.hand(heard(1, "0667778888")));
        recorder.stop(); // what was handed over is recorded first
    }
    announcer.unsubscribe(&listener);

    struct Want {
        const char *number, *label, *reason, *name;
        int slot;
    };
    const Want wanted[] = {{"0312345678", "店舗", "", "山田太郎", 0},
                           {"P", "FAX", "withheld", "", 1},
                           {"0667778888", "FAX", "", "", 1}};
    ASSERT_EQ(listener.announced.size(), std::size(wanted));
    for (std::size_t i = 0; i < std::size(wanted); ++i) {
        SCOPED_TRACE(wanted[i].number);
        const Call &call = listener.announced[i];
        EXPECT_EQ(call.number, wanted[i].number);
        EXPECT_EQ(call.lineLabel, wanted[i].label);
        EXPECT_EQ(call.lineSlot, wanted[i].slot);
        EXPECT_EQ(call.reason, wanted[i].reason);
        EXPECT_EQ(call.name, wanted[i].name);
        EXPECT_EQ(call.site, "Clinic");
        EXPECT_EQ(call.timeUtc, "2026-12-09T00:00:00Z");
        EXPECT_EQ(call.origin, CallOrigin::live);
        EXPECT_EQ(call.id, static_cast<std::int64_t>(i) + 1);
        EXPECT_EQ(listener.committedWhenAnnounced[i], i + 1) << "announced only once committed";
    }
}

TEST(Recorder, ABusyJournalGetsTheCallAgainUntilItGivesUp) {
    struct Case {
        int failures;
        std::size_t announced; // the recorder tries five times
    };
    for (Case c : {Case{2, 1}, Case{5, 0}}) {
        SCOPED_TRACE(c.failures);
        Config config = twoLines();
        MemoryJournal journal;
        journal.failures = c.failures;
        Announcer announcer;
        Listener listener(journal);
        announcer.subscribe(&listener);
        {
            Recorder recorder(config, journal, announcer);
            recorder.hand(heard(0, "0312345678"));
            recorder.stop();
        }
        announcer.unsubscribe(&listener);
        EXPECT_EQ(listener.announced.size(), c.announced);
        EXPECT_EQ(journal.committed.size(), c.announced);
    }
}

TEST(Recorder, RefusesCallsOnceStopped) {
    Config config = twoLines();
    MemoryJournal journal;
    Announcer announcer;
    Recorder recorder(config, journal, announcer);
    recorder.stop();
    EXPECT_FALSE(recorder.hand(heard(0, "0312345678")));
    EXPECT_TRUE(journal.committed.empty());
}

} // namespace
