// Phonebook CSV in UTF-8 (with or without BOM) and code page 932, the encoding Japanese
// spreadsheet programs write. Records are split on the raw bytes: the delimiters (comma, quote,
// CR, LF) are ASCII, and no byte of a code page 932 character falls below 0x40, so splitting
// before decoding is safe in both encodings.
#include "call_store.h"
#include "platform/code_page.h"

namespace kalvix3d {

namespace {

struct Record {
    int line = 0;  // where the record begins
    std::vector<std::string> fields;
    std::string broken;  // what is wrong with its shape, else ""
};

std::vector<Record> splitRecords(std::string_view bytes) {
    std::vector<Record> records;
    Record record;
    std::string field;
    int line = 1;
    record.line = 1;
    bool inQuotes = false, afterQuote = false, any = false;
    auto endField = [&] {
        record.fields.push_back(std::move(field));
        field.clear();
        afterQuote = false;
    };
    auto endRecord = [&] {
        endField();
        records.push_back(std::move(record));
        record = Record{};
        record.line = line;
        any = false;
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (inQuotes) {
            if (c == '"') {
                if (i + 1 < bytes.size() && bytes[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    inQuotes = false;
                    afterQuote = true;
                }
            } else {
                if (c == '\n')
                    ++line;
                field += c;
            }
            continue;
        }
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
            ++line;
            endRecord();
            continue;
        }
        any = true;
        if (c == ',') {
            endField();
        } else if (afterQuote) {
            if (record.broken.empty())
                record.broken = "text after the closing quote of a field";
        } else if (c == '"' && field.empty()) {
            inQuotes = true;
        } else {
            field += c;
        }
    }
    if (inQuotes) {
        record.broken = "a quoted field is not closed";
        any = true;
    }
    if (any || !field.empty() || !record.fields.empty())
        endRecord();
    return records;
}

bool isAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

std::string trimmed(std::string_view text) {
    auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return "";
    auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

std::optional<bool> prefixWord(const std::string &word) {
    std::string w;
    for (char c : word)
        w += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (w.empty() || w == "0" || w == "no" || w == "false" || w == "exact")
        return false;
    if (w == "1" || w == "yes" || w == "true" || w == "prefix")
        return true;
    return std::nullopt;
}

}  // namespace

namespace {

CsvRead readCsv(std::string_view bytes, std::optional<bool> forceUtf8) {
    bool bom = bytes.substr(0, 3) == "\xEF\xBB\xBF";
    if (bom)
        bytes.remove_prefix(3);
    std::vector<Record> records = splitRecords(bytes);

    // The encoding: UTF-8 when it has a BOM or its non-ASCII records are mostly valid UTF-8
    // (then the others are reported), else code page 932.
    bool utf8 = forceUtf8 ? *forceUtf8 : bom;
    if (!forceUtf8 && !utf8) {
        int valid = 0, invalid = 0;
        for (const auto &r : records) {
            std::string all;
            for (const auto &f : r.fields)
                all += f;
            if (!isAscii(all))
                (isValidUtf8(all) ? valid : invalid)++;
        }
        utf8 = invalid == 0 || valid > invalid;
    }

    CsvRead result;
    bool first = true;
    for (auto &r : records) {
        bool blank = true;
        for (const auto &f : r.fields)
            if (!trimmed(f).empty())
                blank = false;
        if (blank && r.broken.empty())
            continue;
        bool header = first;
        first = false;
        auto problem = [&](const std::string &what) { result.problems.push_back({r.line, what}); };
        if (!r.broken.empty()) {
            problem(r.broken);
            continue;
        }
        if (!utf8) {
            bool ok = true;
            for (auto &f : r.fields) {
                auto decoded = platform::utf8FromCp932(f, platform::Unmappable::refuse);
                if (!decoded) {
                    ok = false;
                    break;
                }
                f = std::move(*decoded);
            }
            if (!ok) {
                problem(forceUtf8 ? "bytes that are not code page 932"
                                  : "bytes that are neither UTF-8 nor code page 932");
                continue;
            }
        }
        std::string number = trimmed(r.fields[0]);
        // A header: a first row whose number has no digits ("number,name", "番号,名前").
        if (header && digitsOf(number).empty())
            continue;
        std::size_t used = r.fields.size();
        while (used > 4 && trimmed(r.fields[used - 1]).empty())
            --used;
        if (used < 2 || used > 4) {
            problem(std::to_string(used) + (used == 1 ? " field" : " fields") +
                    ": a row is number,name, number,name,prefix or number,name,prefix,note");
            continue;
        }
        if (number.find_first_not_of("0123456789- ()\t") != std::string::npos) {
            problem("the number \"" + number + "\" has characters other than digits, hyphens and spaces");
            continue;
        }
        if (digitsOf(number).empty()) {
            problem("the number is empty");
            continue;
        }
        std::string name = textOfSpreadsheetCell(trimmed(r.fields[1]));
        if (!isValidUtf8(name)) {
            problem("the name is not valid UTF-8");
            continue;
        }
        if (name.empty()) {
            problem("the name is empty");
            continue;
        }
        std::optional<std::string> note;
        if (used == 4) {
            note = textOfSpreadsheetCell(trimmed(r.fields[3]));
            if (std::string why = noteProblem(*note); !why.empty()) {
                problem(why);
                continue;
            }
        }
        bool prefix = false;
        if (used >= 3) {
            auto word = prefixWord(trimmed(r.fields[2]));
            if (!word) {
                problem("the third field \"" + trimmed(r.fields[2]) +
                        "\" is not 1/prefix (a prefix rule) or 0/exact");
                continue;
            }
            prefix = *word;
        }
        result.entries.push_back({digitsOf(number), name, prefix, std::move(note)});
    }
    return result;
}

}  // namespace

CsvRead readPhonebookCsv(std::string_view bytes) { return readCsv(bytes, std::nullopt); }

CsvRead readPhonebookCsv(std::string_view bytes, CsvEncoding encoding) {
    return readCsv(bytes, encoding != CsvEncoding::cp932);
}

std::string writePhonebookCsv(const std::vector<PhonebookEntry> &entries, CsvEncoding encoding) {
    std::string out = encoding == CsvEncoding::utf8Bom ? "\xEF\xBB\xBF" : "";
    out += "number,name,prefix,note\r\n";
    std::string unwritable;
    for (const auto &e : entries) {
        std::string name = e.name, note = e.note.value_or("");
        if (encoding == CsvEncoding::cp932) {
            auto encodedName = platform::cp932FromUtf8(name, platform::Unmappable::refuse);
            auto encodedNote = platform::cp932FromUtf8(note, platform::Unmappable::refuse);
            if (!encodedName || !encodedNote) {
                unwritable += (unwritable.empty() ? "" : ", ") + e.number + " \"" + e.name + "\"";
                continue;
            }
            name = std::move(*encodedName);
            note = std::move(*encodedNote);
        }
        out += e.number + "," + csvField(name) + "," + (e.prefix ? "1" : "0") + "," + csvField(note) +
               "\r\n";
    }
    if (!unwritable.empty())
        throw StoreError(StoreFault::badInput, "code page 932 has no characters for the names or notes of "
                         "these entries (export them as UTF-8 instead): " + unwritable);
    return out;
}

}  // namespace kalvix3d
