// Line noise on a serial line: a single stray byte of every value 0..255, or a run of random
// bytes, just before a call costs at most that call. The call after it arrives intact and
// once, and nothing else reaches the host. Each table runs on 32 receive threads side by
// side over scripted ports; a few rows run over pseudo-terminals through the exported
// interface as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>

#include "kalvix3.h"
#include "kalvix3_sim/serial_device.h"
#include "support/line_fixture.h"
#include "receiver_rig.h"
#include "support/process_stats.h"

using namespace std::chrono_literals;
using namespace kalvix3::testing;

namespace {

constexpr size_t kRigs = 32;
const auto kFrameLimit = scaled(3s);

struct FamilyCase {
    int32_t kind;
    const char *name;
};

std::ostream &operator<<(std::ostream &out, const FamilyCase &c) { return out << c.name; }

const FamilyCase kFamilies[] = {
    {2, "NumberDisplay"}, {3, "NdaP1"},  {5, "FskBox"}, {14, "Alexon"},
    {17, "InsMate"},      {30, "Aterm"}, {50, "Mn128"},
};

// How the calls the noise landed in fared.
struct Outcome {
    size_t intact = 0, garbled = 0, lost = 0;
    std::vector<std::string> failures;
};

// One row: noise and a call in one piece, then a clean call.
void runRow(ReceiverRig &rig, const std::string &noise, const std::string &label,
            Outcome &outcome, std::mutex &lock) {
    std::string hit = freshNumber();
    std::string next = freshNumber();
    size_t before = rig.host().count();
    auto fail = [&](const std::string &why) {
        std::lock_guard<std::mutex> hold(lock);
        outcome.failures.push_back(label + ": " + why);
    };
    if (!rig.sendFrame(noise + reportOf(rig.kind(), hit), kFrameLimit))
        return fail("the call with the noise was never handled");
    if (!rig.sendFrame(reportOf(rig.kind(), next), kFrameLimit))
        return fail("the next call was never handled");
    std::vector<ReceivedMessage> all = rig.host().messages();
    std::vector<ReceivedMessage> row(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    for (const ReceivedMessage &m : row)
        if (m.message != KALVIX3_CALLER_NUMBER_MESSAGE)
            return fail("a line error was reported");
    if (row.empty() || row.back().text != next)
        return fail("the next call did not arrive");
    if (row.size() > 2)
        return fail(std::to_string(row.size()) + " messages for two calls");
    std::lock_guard<std::mutex> hold(lock);
    if (row.size() == 1)
        ++outcome.lost;
    else if (row.front().text == hit)
        ++outcome.intact;
    else if (row.front().text == next)
        outcome.failures.push_back(label + ": the next call arrived twice");
    else
        ++outcome.garbled;
}

Outcome runTable(int32_t kind, const std::vector<std::string> &noise, const char *what) {
    ScriptedPorts ports;
    std::vector<std::unique_ptr<ReceiverRig>> rigs;
    for (size_t r = 0; r < kRigs; ++r)
        rigs.push_back(std::make_unique<ReceiverRig>(ports, "RIG" + std::to_string(r), kind));
    Outcome outcome;
    std::mutex lock;
    std::vector<std::thread> workers;
    for (size_t r = 0; r < kRigs; ++r) {
        workers.emplace_back([&, r] {
            if (!rigs[r]->waitUntilListening(scaled(5s))) {
                std::lock_guard<std::mutex> hold(lock);
                outcome.failures.push_back("receiver " + std::to_string(r) + " never listened");
                return;
            }
            for (size_t i = r; i < noise.size(); i += kRigs)
                runRow(*rigs[r], noise[i], std::string(what) + " " + std::to_string(i), outcome,
                       lock);
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    return outcome;
}

void report(const FamilyCase &family, const char *what, const Outcome &outcome) {
    for (const std::string &failure : outcome.failures)
        ADD_FAILURE() << family.name << ", " << failure;
    // For the reliability notes: what the noise did to the call it landed in.
    std::cout << family.name << ", " << what << ": the call hit arrived intact "
              << outcome.intact << ", garbled " << outcome.garbled << ", lost " << outcome.lost
              << " times\n";
}

class LineNoise : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(LineNoise, AStrayByteOfAnyValueCostsAtMostTheCallItLandsIn) {
    std::vector<std::string> noise;
    for (int value = 0; value < 256; ++value)
        noise.emplace_back(1, static_cast<char>(value));
    Outcome outcome = runTable(GetParam().kind, noise, "byte");
    report(GetParam(), "one stray byte", outcome);
    EXPECT_EQ(outcome.intact + outcome.garbled + outcome.lost, noise.size());
}

TEST_P(LineNoise, RandomBytesCostAtMostTheCallTheyLandIn) {
    std::vector<std::string> noise;
    for (uint32_t seed = 1; seed <= 64; ++seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> byte(0, 255);
        std::string run(1 + (seed * 37) % 300, '\0');
        for (char &c : run)
            c = static_cast<char>(byte(random));
        noise.push_back(run);
    }
    Outcome outcome = runTable(GetParam().kind, noise, "seed");
    report(GetParam(), "random bytes", outcome);
    EXPECT_EQ(outcome.intact + outcome.garbled + outcome.lost, noise.size());
}

INSTANTIATE_TEST_SUITE_P(Families, LineNoise, ::testing::ValuesIn(kFamilies),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- The same over pseudo-terminals, through the exported interface -------------------------

struct PtyCase {
    int32_t kind;
    uint8_t stray;
};

class StrayByteOnAPseudoTerminal : public ::testing::TestWithParam<PtyCase> {
protected:
    void TearDown() override { CloseCommLineEx(0); }
    ComDirectory comDir;
    ObservedPorts observed;
    HostWindow host;
};

TEST_P(StrayByteOnAPseudoTerminal, TheNextCallArrives) {
    const PtyCase c = GetParam();
    auto device = kalvix3::sim::SerialDevice::start(c.kind);
    comDir.link(3, device->slavePath());
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 3, c.kind), 0);
    auto log = observed.log("COM3");
    ASSERT_TRUE(log->waitUntilListening(scaled(5s)));
    std::string hit = freshNumber();
    std::string next = freshNumber();
    auto sentAt = PortLog::Clock::now();
    device->sendRaw(std::string(1, static_cast<char>(c.stray)) + reportOf(c.kind, hit));
    ASSERT_TRUE(log->waitUntilHandledSince(sentAt, scaled(5s)));
    // A number-display adapter takes an acknowledgement as the answer to the report on its line:
    // the ones the stray report drew reach it before the next call, as they would a call later.
    if (c.kind == 2) {
        auto writes = log->writeTimes();
        auto acks = std::count_if(writes.begin(), writes.end(),
                                  [&](auto at) { return at >= sentAt; });
        ASSERT_TRUE(device->waitForReceived(std::string(static_cast<size_t>(acks), '\x06'),
                                            scaled(5s)));
    }
    size_t before = host.count();
    device->placeCall(kalvix3::sim::Call::withNumber(next));
    ASSERT_TRUE(host.waitForCount(before + 1, scaled(5s)));
    EXPECT_EQ(host.texts().back(), next);
    EXPECT_LE(before, 1u);
    ASSERT_TRUE(device->waitUntilSent(scaled(5s)));
    EXPECT_EQ(host.count(), before + 1);
}

const PtyCase kPtyCases[] = {{2, 0x00}, {2, 0x02}, {2, 0x03}, {2, 0x06}, {2, 0xFF},
                             {14, 0x00}, {14, 0x0D}, {14, 0x0A}, {14, 'R'}, {14, 0x80}};
INSTANTIATE_TEST_SUITE_P(Rows, StrayByteOnAPseudoTerminal, ::testing::ValuesIn(kPtyCases),
                         [](const auto &info) {
                             char name[32];
                             std::snprintf(name, sizeof name, "Kind%dByte%02X", info.param.kind,
                                           info.param.stray);
                             return std::string(name);
                         });

} // namespace

namespace {

// ---- What completes a frame, arriving on its own --------------------------------------------

// Handled as a frame that names nobody (no message; the number-display adapter's
// acknowledgement sent all the same) or kept until a report completes it, and the next call
// arrives intact.
struct FrameEndCase {
    int32_t kind;
    const char *end;
};

class FrameEndAlone : public ::testing::TestWithParam<FrameEndCase> {};

TEST_P(FrameEndAlone, ReportsNothingAndTheNextCallArrives) {
    const FrameEndCase c = GetParam();
    ScriptedPorts ports;
    ReceiverRig rig(ports, "ALONE", c.kind);
    ASSERT_TRUE(rig.waitUntilListening(scaled(5s)));
    ASSERT_TRUE(rig.send(c.end, kFrameLimit));
    EXPECT_EQ(rig.host().count(), 0u);
    std::string next = freshNumber();
    ASSERT_TRUE(rig.sendFrame(reportOf(c.kind, next), kFrameLimit));
    EXPECT_EQ(rig.host().texts(), std::vector<std::string>{next});
}

const FrameEndCase kFrameEnds[] = {
    {2, "\x03\x02"}, {2, "\x02\x03\x02"}, {2, "\x02"}, {3, "/C"}, {5, "FSKEND"}, {14, "\r"},
    {17, "\r\n\r\n"}, {50, "RING\r\n"},
};
INSTANTIATE_TEST_SUITE_P(Families, FrameEndAlone, ::testing::ValuesIn(kFrameEnds),
                         [](const auto &info) {
                             return "Kind" + std::to_string(info.param.kind) + "Row" +
                                    std::to_string(info.index);
                         });

// The end of a number-display frame whose beginning was purged, then a report that arrives in
// pieces: the report is heard whole, once it has all arrived, not cut at its first piece.
TEST(CutOffFrame, DoesNotCutTheNextReport) {
    ScriptedPorts ports;
    ReceiverRig rig(ports, "CUT", 2);
    ASSERT_TRUE(rig.waitUntilListening(scaled(5s)));
    ASSERT_TRUE(rig.send("0315 10420311112222          \x03", kFrameLimit));
    std::string next = freshNumber();
    std::string report = reportOf(2, next);
    for (size_t at = 0; at < report.size(); at += 7)
        ASSERT_TRUE(rig.send(report.substr(at, 7), kFrameLimit));
    ASSERT_TRUE(rig.host().waitForCount(1, kFrameLimit));
    EXPECT_EQ(rig.host().texts(), std::vector<std::string>{next});
}

} // namespace
