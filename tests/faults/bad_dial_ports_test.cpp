// Telephone ports outside 1 to 3 on every INS-Mate and Aterm kind that dials over its serial
// port: the command carries the port as given, the number's longest form fits, and DTR goes up
// and down around it. Each of these dials takes five seconds, so each kind is a test of its own;
// under a sanitizer, whose interest is the one procedure they share, two kinds stand for all.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "kalvix3.h"
#include "main/kinds.h"
#include "recv/init_sequences.h"
#include "support/host_window.h"
#include "support/process_stats.h"
#include "support/scripted_port.h"

using namespace std::chrono_literals;
using namespace kalvix3::testing;

namespace {

struct DialRow {
    int32_t kind;
    int32_t telPort;
};

class BadDialPort : public ::testing::TestWithParam<DialRow> {};

TEST_P(BadDialPort, IsSentAsGivenBetweenDtrUpAndDown) {
    const DialRow row = GetParam();
    if (sanitizedBuild() && row.kind != 17 && row.kind != 30)
        GTEST_SKIP() << "the procedure of kinds 17 and 30; every kind on the plain build";
    ScriptedPorts ports;
    HostWindow host;
    ASSERT_EQ(OpenCommLineEx(0, host.window(), 7, row.kind), 0);
    auto device = ports.device("COM7");
    const kalvix3::InitSequence *init = kalvix3::initSequenceFor(row.kind);
    ASSERT_TRUE(device->waitUntil(
        [&] {
            return device->writes().size() == static_cast<size_t>(init->commandCount) &&
                   device->waitPending();
        },
        scaled(3s)));
    device->clearRecord();
    KalvixDialEx(0, row.telPort, "0312345678901234567");
    EXPECT_EQ(device->written(),
              "AT!D" + std::to_string(row.telPort) + ";0312345678901234567\r\n");
    EXPECT_EQ(device->escapes(), (std::vector<uint32_t>{5, 6})) << "DTR raised, then lowered";
    CloseCommLineEx(0);
}

const DialRow kRows[] = {
    {17, 0},         {18, 4},  {20, -1}, {70, INT32_MIN}, {30, INT32_MAX}, {31, 0}, {33, 4},
    {37, INT32_MIN}, {39, -1}, {41, 255}, {43, 0},        {45, INT32_MAX}, {47, -7},
};
INSTANTIATE_TEST_SUITE_P(EveryKind, BadDialPort, ::testing::ValuesIn(kRows),
                         [](const auto &info) {
                             int32_t port = info.param.telPort;
                             return "Kind" + std::to_string(info.param.kind) + "Port" +
                                    (port < 0 ? "Minus" + std::to_string(-(int64_t)port)
                                              : std::to_string(port));
                         });

} // namespace
