#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kalvix3.h"
#include "main/catalogue.h"
#include "main/kinds.h"

namespace {

std::vector<KindInfo> readCatalogue(int32_t selector) {
    int32_t count = 0;
    GetKinds2(selector, &count, nullptr);
    std::vector<KindInfo> kinds(static_cast<size_t>(count));
    std::memset(kinds.data(), 0xCC, kinds.size() * sizeof(KindInfo));
    GetKinds2(selector, &count, kinds.data());
    return kinds;
}

std::string nameOf(const KindInfo &info) { return std::string(info.name, strnlen(info.name, 52)); }

TEST(Catalogue, FirstCallOnlyCountsRows) {
    struct Case {
        int32_t selector;
        int32_t rows;
    };
    for (Case c : {Case{1, 46}, Case{0, 44}, Case{2, 44}, Case{-1, 44}}) {
        int32_t count = 0;
        KindInfo untouched;
        std::memset(&untouched, 0x5A, sizeof untouched);
        GetKinds2(c.selector, &count, &untouched);
        EXPECT_EQ(count, c.rows) << "selector " << c.selector;
        EXPECT_EQ(static_cast<unsigned char>(untouched.name[0]), 0x5A);
    }
}

TEST(Catalogue, RowsAsListed) {
    std::vector<KindInfo> kinds = readCatalogue(1);
    ASSERT_EQ(kinds.size(), 46u);
    // Row 0, code page 932 "NTT ナンバーディスプレイアダプタ20".
    EXPECT_EQ(nameOf(kinds[0]), "NTT \x83\x69\x83\x93\x83\x6f\x81\x5b\x83\x66\x83\x42\x83\x58\x83\x76"
                                "\x83\x8c\x83\x43\x83\x41\x83\x5f\x83\x76\x83\x5e" "20");
    EXPECT_EQ(kinds[0].kind, 1);
    EXPECT_EQ(kinds[0].historySize, 0);
    EXPECT_EQ(kinds[0].dialFlags, 0);
    EXPECT_EQ(kinds[0].usbDriver, 0);
    EXPECT_EQ(nameOf(kinds[29]), "NEC Aterm IT60(L)/D (USB)");
    EXPECT_EQ(kinds[29].kind, 32);
    EXPECT_EQ(kinds[29].historySize, 50);
    EXPECT_EQ(kinds[29].dialFlags, 0x8003);
    EXPECT_EQ(kinds[29].usbDriver, 1);
    EXPECT_EQ(nameOf(kinds[8]), "ALEXON ALEX-TD503\x83\xbf"); // α
    EXPECT_EQ(nameOf(kinds[33]), "NEC Aterm ITX70/D\x81\x45ITX80/D (USB)"); // ・
    EXPECT_EQ(nameOf(kinds[44]), "ALEXON ALEX-TD505");
    EXPECT_EQ(kinds[45].kind, 10);
}

TEST(Catalogue, NameFieldsAreZeroPadded) {
    for (const KindInfo &info : readCatalogue(1)) {
        size_t length = strnlen(info.name, 52);
        EXPECT_LE(length, 34u);
        for (size_t i = length; i < 52; ++i)
            ASSERT_EQ(info.name[i], 0) << nameOf(info);
    }
    EXPECT_EQ(nameOf(readCatalogue(1)[1]).size(), 34u);
}

TEST(Catalogue, ColumnsAgreeWithWhatTheLibraryServes) {
    const std::set<int32_t> dialing = {14, 15, 17, 18, 19, 20, 22, 23, 24, 25, 26, 27, 28, 29, 30,
                                       31, 32, 33, 34, 36, 37, 38, 39, 40, 41, 42, 43, 45, 47, 50,
                                       60, 70};
    const std::set<int32_t> history = {2, 3, 32, 34, 36, 38, 40, 42};
    const std::set<int32_t> usb = {32, 34, 36, 38, 40, 42};
    std::set<int32_t> seen;
    for (const KindInfo &info : readCatalogue(1)) {
        EXPECT_TRUE(seen.insert(info.kind).second) << "duplicate kind " << info.kind;
        EXPECT_EQ(info.dialFlags != 0, dialing.count(info.kind) == 1) << info.kind;
        if (info.dialFlags != 0)
            EXPECT_TRUE(info.dialFlags == 0x8003 || info.dialFlags == 0x8007);
        EXPECT_EQ(info.historySize != 0, history.count(info.kind) == 1) << info.kind;
        EXPECT_EQ(info.usbDriver, usb.count(info.kind) ? 1 : 0) << info.kind;
    }
    EXPECT_EQ(seen.size(), 46u);
}

TEST(Catalogue, ShortListLeavesOutTheLastTwoRows) {
    std::vector<KindInfo> all = readCatalogue(1);
    std::vector<KindInfo> shortList = readCatalogue(0);
    ASSERT_EQ(shortList.size(), 44u);
    EXPECT_EQ(std::memcmp(all.data(), shortList.data(), 44 * sizeof(KindInfo)), 0);
}

TEST(Catalogue, NullPointersAreIgnored) {
    GetKinds2(1, nullptr, nullptr);
    int32_t count = 46;
    GetKinds2(1, &count, nullptr);
    EXPECT_EQ(count, 46);
    GetKalvix3Version(nullptr);
    int32_t version = 0;
    GetKalvix3Version(&version);
    EXPECT_EQ(version, 0x02000006);
}

// The catalogue's history and dial columns promise what the library does: every row of the
// kind table is walked, the catalogue as GetKinds2 reports it beside what the row can do.
TEST(KindTable, CatalogueColumnsAgreeWithWhatEachKindCanDo) {
    std::vector<KindInfo> listed = readCatalogue(1);
    auto rows = kalvix3::kindTable();
    ASSERT_EQ(rows.size(), listed.size());
    std::set<int32_t> kinds;
    for (size_t i = 0; i < rows.size(); ++i) {
        const kalvix3::KindRow &row = rows[i];
        const KindInfo &info = listed[i];
        SCOPED_TRACE("kind " + std::to_string(info.kind));
        EXPECT_EQ(row.kind(), info.kind);
        EXPECT_TRUE(kinds.insert(info.kind).second) << "one row per kind";
        EXPECT_EQ(kalvix3::kindRow(info.kind), &row);
        // Kinds 1, 4 and 7 are read like kind 2 though their rows list no history size.
        bool uncatalogued = info.kind == 1 || info.kind == 4 || info.kind == 7;
        EXPECT_EQ(row.hasHistoryReader(), info.historySize != 0 || uncatalogued);
        EXPECT_EQ(row.hasDialProcedure(), info.dialFlags != 0);
        bool serial = row.family->lineType == kalvix3::LineType::Serial;
        EXPECT_EQ(serial, info.usbDriver == 0);
        EXPECT_EQ(serial, row.family->profile != nullptr && row.family->frames != nullptr);
        EXPECT_EQ(row.init != nullptr, serial && info.kind >= 10) << "sequences for the adapters";
    }
    EXPECT_EQ(kalvix3::kindRow(9), nullptr);
    EXPECT_EQ(kalvix3::kindRow(0), nullptr);
}

} // namespace
