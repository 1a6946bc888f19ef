// Phonebook CSV as spreadsheets write it: UTF-8 with and without BOM, code page 932, quoting,
// CRLF, and broken rows reported by the line they begin on.
#include "call_store.h"

#include <gtest/gtest.h>

using namespace kalvix3d;

namespace kalvix3d {
bool operator==(const PhonebookEntry &a, const PhonebookEntry &b) {
    return a.number == b.number && a.name == b.name && a.prefix == b.prefix && a.note == b.note;
}
std::ostream &operator<<(std::ostream &out, const PhonebookEntry &e) {
    return out << e.number << "=" << e.name << (e.prefix ? " (prefix)" : "")
               << (e.note ? " note " + *e.note : " no note");
}
}  // namespace kalvix3d

namespace {

struct CsvCase {
    const char *what;
    std::string bytes;
    std::vector<PhonebookEntry> entries;
    std::vector<std::pair<int, std::string>> problems;  // line, part of the message
};

const CsvCase kCases[] = {
    {"UTF-8 with a header, hyphens and a prefix rule",
     "number,name,prefix\n03-1234-5678,山田商店,0\n0120,フリーダイヤル,prefix\n",
     {{"0312345678", "山田商店", false}, {"0120", "フリーダイヤル", true}},
     {}},
    {"UTF-8 with BOM, CRLF, a Japanese header and no prefix column",
     "\xEF\xBB\xBF番号,名前\r\n03 1234 5678,田中\r\n",
     {{"0312345678", "田中", false}},
     {}},
    {"code page 932 (with a 0x5C trail byte), header and all",
     "\x94\xd4\x8d\x86\x2c\x96\xbc\x91\x4f\r\n0312345678,\x83\x5c\x83\x6a\x81\x5b\x8e\x52\x93\x63\r\n",
     {{"0312345678", "ソニー山田", false}},
     {}},
    {"quoted fields: commas, doubled quotes, a line break inside; the line count goes on",
     "\"0311111111\",\"Smith, \"\"Jr\"\"\"\n0322222222,\"two\nlines\",1\nabc,Bad\n",
     {{"0311111111", "Smith, \"Jr\"", false}, {"0322222222", "two\nlines", true}},
     {{4, "characters other than digits"}}},
    {"broken rows, each with its line; blank lines skipped",
     "0311111111,A\n0322222222\n,No number\n0333333333,C,maybe\n\n0344444444,\"D\"x\n"
     "0355555555,E,1,note,extra\n0366666666,,\n0377777777,G,,,\n0388888888,\"unclosed\n0399999999,H\n",
     {{"0311111111", "A", false}, {"0377777777", "G", false, ""}},
     {{2, "1 field"},
      {3, "the number is empty"},
      {4, "\"maybe\""},
      {6, "after the closing quote"},
      {7, "5 fields"},
      {8, "the name is empty"},
      {10, "not closed"}}},
    {"a name that is not UTF-8 in a UTF-8 file",
     "0311111111,山田\n0322222222,\xFF\xFE\n0333333333,田中\n",
     {{"0311111111", "山田", false}, {"0333333333", "田中", false}},
     {{2, "not valid UTF-8"}}},
    {"a name that is not UTF-8 after a BOM",
     "\xEF\xBB\xBF" "0311111111,\x83\x5c\n",
     {},
     {{1, "not valid UTF-8"}}},
    {"a note column; a note longer than a card holds, or not UTF-8, refuses its row",
     "number,name,prefix,note\n0311111111,山田,0,常連・領収書必要\n0322222222,田中,,\"'=1+1\"\n"
     "0333333333,長い,0," + std::string(201, 'x') + "\n0344444444,X,0,\xFF\n0355555555,古い,1\n",
     {{"0311111111", "山田", false, "常連・領収書必要"}, {"0322222222", "田中", false, "=1+1"},
      {"0355555555", "古い", true}},
     {{4, "201 characters"}, {5, "the note is not valid UTF-8"}}},
    {"bytes that are neither UTF-8 nor code page 932",
     "0311111111,\x83\x5c\n0322222222,\x85\x40\x85\x40\n",
     {{"0311111111", "ソ", false}},
     {{2, "neither UTF-8 nor code page 932"}}},
};

}  // namespace

TEST(PhonebookCsv, ReadsWhatSpreadsheetsWriteAndReportsBrokenRows) {
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.what);
        CsvRead read = readPhonebookCsv(c.bytes);
        EXPECT_EQ(read.entries, c.entries);
        ASSERT_EQ(read.problems.size(), c.problems.size());
        for (std::size_t i = 0; i < c.problems.size(); ++i) {
            EXPECT_EQ(read.problems[i].line, c.problems[i].first) << read.problems[i].what;
            EXPECT_NE(read.problems[i].what.find(c.problems[i].second), std::string::npos)
                << read.problems[i].what;
        }
    }
}

TEST(PhonebookCsv, WritesEachEncodingAndRefusesNamesCodePage932CannotHold) {
    std::vector<PhonebookEntry> book{{"0120", "フリーダイヤル", true, ""},
                                     {"0312345678", "Smith, \"Jr\"", false, "常連・領収書必要"},
                                     {"0322222222", "ソニー山田", false, "a, \"b\"\nc"}};
    for (auto encoding : {CsvEncoding::utf8, CsvEncoding::utf8Bom, CsvEncoding::cp932}) {
        std::string bytes = writePhonebookCsv(book, encoding);
        EXPECT_EQ(bytes.substr(0, 3) == "\xEF\xBB\xBF", encoding == CsvEncoding::utf8Bom);
        EXPECT_EQ(isValidUtf8(bytes), encoding != CsvEncoding::cp932);
        CsvRead back = readPhonebookCsv(bytes);
        EXPECT_EQ(back.entries, book);
        EXPECT_TRUE(back.problems.empty());
    }
    book.push_back({"0333333333", "김민준", false});
    try {
        writePhonebookCsv(book, CsvEncoding::cp932);
        FAIL() << "a Hangul name was written in code page 932";
    } catch (const StoreError &e) {
        EXPECT_NE(std::string(e.what()).find("0333333333"), std::string::npos) << e.what();
    }
}

// A name a spreadsheet would run as a formula is written so that it shows as text, in both
// files, and reads back as it was.
TEST(PhonebookCsv, FormulaLikeCellsAreWrittenAsTextAndReadBack) {
    struct Case {
        const char *name;
        const char *cell; // as the phonebook CSV writes it
    } cases[] = {
        {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
        {"+81312345678", "'+81312345678"},
        {"-1+2", "'-1+2"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tcmd", "'\tcmd"},
        {"\rcmd", "\"'\rcmd\""},
        {"'=already", "''=already"},
        {"'quoted", "'quoted"},
        {"田中 = 受付", "田中 = 受付"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PhonebookEntry> book{{"0311111111", c.name, false, c.name}};
        for (auto encoding : {CsvEncoding::utf8Bom, CsvEncoding::cp932}) {
            std::string bytes = writePhonebookCsv(book, encoding);
            if (encoding == CsvEncoding::utf8Bom)
                EXPECT_NE(bytes.find(std::string("\r\n0311111111,") + c.cell + ",0," + c.cell + "\r\n"),
                          std::string::npos) << bytes;
            CsvRead back = readPhonebookCsv(bytes);
            EXPECT_TRUE(back.problems.empty());
            EXPECT_EQ(back.entries, book);
        }
        kalvix3d::Call call;
        call.timeUtc = "2026-12-08T09:12:00Z";
        call.number = "0311111111";
        call.name = c.name;
        std::string row = kalvix3d::callCsvRow(call);
        EXPECT_TRUE(row.ends_with("," + std::string(c.cell) + ",live,,unknown,,0"))
            << "the call log's name column: " << row;
    }
}
