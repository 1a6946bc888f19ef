// The 64-bit Kalvix3.dll as a host sees it: loaded with LoadLibraryA, its entry points looked
// up with GetProcAddress.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kalvix3.h"
#include "main/catalogue.h"

namespace {

using GetKalvix3VersionFn = void(__stdcall *)(int32_t *);
using GetKinds2Fn = void(__stdcall *)(int32_t, int32_t *, KindInfo *);
using OpenCommLineExFn = int32_t(__stdcall *)(int32_t, HWND, int32_t, int32_t);
using CloseCommLineExFn = int32_t(__stdcall *)(int32_t);
using GetHistoryExFn = int32_t(__stdcall *)(int32_t, int32_t *, HistoryRecord *);

class Kalvix3Dll : public ::testing::Test {
protected:
    static void SetUpTestSuite() { module = LoadLibraryA("Kalvix3.dll"); }
    static void TearDownTestSuite() {
        if (module != nullptr)
            FreeLibrary(module);
        module = nullptr;
    }
    void SetUp() override { ASSERT_NE(module, nullptr) << "Kalvix3.dll did not load"; }

    template <typename F> static F entry(const char *name) {
        return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    }

    // The names in the loaded image's export directory.
    static std::set<std::string> exportNames() {
        auto *base = reinterpret_cast<const uint8_t *>(module);
        auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
        auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY &directory =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + directory.VirtualAddress);
        auto *names = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
        std::set<std::string> found;
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            found.insert(reinterpret_cast<const char *>(base + names[i]));
        return found;
    }

    static HMODULE module;
};
HMODULE Kalvix3Dll::module = nullptr;

TEST_F(Kalvix3Dll, ExportsExactlyTheInterface) {
    const std::set<std::string> expected = {
        "GetKalvix3Version", "GetKinds2",       "OpenCommLine", "OpenCommLineEx",
        "CloseCommLine",     "CloseCommLineEx", "GetHistory",   "GetHistoryEx",
        "KalvixDial",        "KalvixDialEx",    "_DialForm"};
    EXPECT_EQ(exportNames(), expected);
    for (const std::string &name : expected)
        EXPECT_NE(GetProcAddress(module, name.c_str()), nullptr) << name;
}

TEST_F(Kalvix3Dll, VersionAndDialForm) {
    int32_t version = 0;
    entry<GetKalvix3VersionFn>("GetKalvix3Version")(&version);
    EXPECT_EQ(version, 0x02000006);
    // _DialForm is the variable itself: null while no dialog is shown.
    auto *dialForm = entry<void **>("_DialForm");
    ASSERT_NE(dialForm, nullptr);
    EXPECT_EQ(*dialForm, nullptr);
}

// The catalogue, byte for byte: the first call counts, the second fills exactly that many
// 68-byte records and nothing beyond them.
TEST_F(Kalvix3Dll, CatalogueRowsByteForByte) {
    auto getKinds = entry<GetKinds2Fn>("GetKinds2");
    for (auto [selector, rows] : {std::pair{1, 46}, std::pair{0, 44}, std::pair{7, 44}}) {
        int32_t count = 0;
        getKinds(selector, &count, nullptr);
        ASSERT_EQ(count, rows) << "selector " << selector;

        std::vector<KindInfo> got(48);
        std::memset(got.data(), 0xA5, got.size() * sizeof(KindInfo));
        getKinds(selector, &count, got.data());
        for (int32_t i = 0; i < rows; ++i) {
            KindInfo expected;
            std::memset(&expected, 0, sizeof expected);
            const kalvix3::CatalogueRow &row = kalvix3::catalogueRow(i);
            std::memcpy(expected.name, row.name, std::strlen(row.name));
            expected.kind = row.kind;
            expected.historySize = row.historySize;
            expected.dialFlags = row.dialFlags;
            expected.usbDriver = row.usbDriver;
            EXPECT_EQ(std::memcmp(&got[i], &expected, sizeof expected), 0)
                << "selector " << selector << " row " << i;
        }
        for (size_t i = rows; i < got.size(); ++i) {
            const auto *bytes = reinterpret_cast<const uint8_t *>(&got[i]);
            for (size_t b = 0; b < sizeof(KindInfo); ++b)
                ASSERT_EQ(bytes[b], 0xA5) << "written beyond row " << rows;
        }
    }
}

TEST_F(Kalvix3Dll, RefusesWhatItCannotOpen) {
    auto open = entry<OpenCommLineExFn>("OpenCommLineEx");
    auto close = entry<CloseCommLineExFn>("CloseCommLineEx");
    auto history = entry<GetHistoryExFn>("GetHistoryEx");
    for (int32_t kind : {0, 9, 72, 200, -1})
        EXPECT_EQ(open(1, nullptr, 3, kind), KALVIX3_ERR_KIND) << kind;
    EXPECT_EQ(close(1), 1);
    EXPECT_EQ(open(2, nullptr, 3, 1), KALVIX3_ERR_ARGUMENT);
    int32_t count = 3;
    HistoryRecord records[3] = {};
    EXPECT_EQ(history(5, &count, records), KALVIX3_ERR_ARGUMENT);
}

} // namespace
