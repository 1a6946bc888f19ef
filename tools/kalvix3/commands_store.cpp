// The commands on the service's database: `log` (the call log) and `phonebook`. They open the
// same file as the service, also while it runs (SQLite in WAL mode: reading never waits for it).
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "call_store.h"
#include "cli.h"
#include "host_line.h"
#include "platform.h"

namespace tool {

namespace {

using kalvix3d::Call;
using kalvix3d::CallStore;
using kalvix3d::StoreError;

std::string defaultDatabase() {
    const char *fromEnvironment = std::getenv("KALVIX3D_DB");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : platform::serviceDatabasePath();
}

void addDatabaseOption(CLI::App &command, std::string &path) {
    path = defaultDatabase();
    command.add_option("--db", path, "the service's database (default: $KALVIX3D_DB, else " +
                                         platform::serviceDatabasePath() + ")")
        ->type_name("PATH");
}

int failed(const char *command, const std::string &why) {
    std::fprintf(stderr, "kalvix3 %s: %s\n", command, why.c_str());
    return 1;
}

// A date or date-time of --since/--until in local time ("2026-12-08", "2026-12-08 09:30",
// "2026-12-08T09:30:15"), or with its own offset ("...Z", "...+09:00"), as ISO 8601 UTC. A bare
// date as --until means the end of that day.
std::optional<std::string> utcFromArgument(const std::string &text, bool endOfDay) {
    auto asIfUtc = kalvix3d::secondsFromIso(text);
    if (!asIfUtc)
        return std::nullopt;
    bool hasZone = text.size() > 10 && (text.back() == 'Z' || text.find_first_of("+-", 10) != std::string::npos);
    if (hasZone)
        return kalvix3d::isoFromSeconds(*asIfUtc);
    std::int64_t wall = *asIfUtc + (text.size() == 10 && endOfDay ? 86400 : 0);
    std::time_t asTime = static_cast<std::time_t>(wall);
    std::tm parts = platform::utcParts(asTime);
    parts.tm_isdst = -1;
    std::time_t local = std::mktime(&parts);
    if (local == static_cast<std::time_t>(-1))
        return std::nullopt;
    return kalvix3d::isoFromSeconds(local);
}

// The call's time as the clock on the wall showed it where it rang, without its offset.
std::string wallTime(const Call &call) {
    std::string local = kalvix3d::localTimeOf(call).substr(0, 19);
    if (local.size() > 10)
        local[10] = ' ';
    return local;
}

struct LogOptions {
    std::string db, since, until, number, text;
    int limit = 100;
    bool json = false, csv = false;
};

int runLog(const LogOptions &o) {
    kalvix3d::CallQuery query;
    query.limit = o.limit;
    const char *forms = " is not a date (2026-12-08) or a date and time (2026-12-08 09:30)";
    if ((!o.since.empty() && !(query.sinceUtc = utcFromArgument(o.since, false))) ||
        (!o.until.empty() && !(query.untilUtc = utcFromArgument(o.until, true)))) {
        failed("log", (query.sinceUtc || o.since.empty() ? "--until: " + o.until : "--since: " + o.since) + forms);
        return 2;
    }
    if (!o.number.empty())
        query.number = o.number;
    if (!o.text.empty())
        query.text = o.text;
    std::vector<Call> calls;
    try {
        CallStore store(o.db, true);
        calls = store.calls(query);
    } catch (const StoreError &e) {
        return failed("log", e.what());
    }
    if (o.csv)
        printLine(kalvix3d::kCallCsvHeader);
    for (const Call &c : calls) {
        const char *origin = c.origin == kalvix3d::CallOrigin::imported ? "imported" : "live";
        if (o.json) {
            printJson({{"id", c.id},
                       {"time", c.timeUtc},
                       {"localTime", kalvix3d::localTimeOf(c)},
                       {"site", c.site},
                       {"line", c.lineLabel},
                       {"slot", c.lineSlot},
                       {"kind", c.kind},
                       {"number", c.number},
                       {"reason", textOrNull(c.reason)},
                       {"name", textOrNull(c.name)},
                       {"origin", origin},
                       {"formatted", c.formatted},
                       {"type", kalvix3d::numberKindWords(c.numberKind).key},
                       {"area", textOrNull(c.area)},
                       {"nth", c.nth}});
        } else if (o.csv) {
            printLine(kalvix3d::callCsvRow(c));
        } else {
            std::string shown = c.formatted.empty() ? c.number : c.formatted;
            std::string caller = c.reason.empty() ? shown : c.number + " (" + c.reason + ")";
            if (!c.area.empty())
                caller += " " + c.area;
            printLine(std::to_string(c.id) + "  " + wallTime(c) + "  " + c.lineLabel + "  " +
                      caller + (c.name.empty() ? "" : "  " + c.name) +
                      (c.origin == kalvix3d::CallOrigin::imported ? "  [imported]" : ""));
        }
    }
    return 0;
}

struct PhonebookOptions {
    std::string db, number, name, file, encoding;
    std::optional<std::string> note;
    bool prefix = false, partial = false, json = false;
    CLI::App *list = nullptr, *add = nullptr, *remove = nullptr, *import = nullptr, *exportTo = nullptr;
};

bool readFile(const std::string &path, std::string &bytes) {
    if (path == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return !std::cin.bad();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Writes beside the file and renames, so that a failure leaves the old file as it was.
bool writeFile(const std::string &path, const std::string &bytes) {
    if (path == "-")
        return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
    std::string temporary = path + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int runImport(CallStore &store, const PhonebookOptions &o) {
    std::string bytes;
    if (!readFile(o.file, bytes))
        return failed("phonebook import", o.file + ": cannot be read");
    kalvix3d::CsvRead read =
        o.encoding == "auto"    ? kalvix3d::readPhonebookCsv(bytes)
        : o.encoding == "cp932" ? kalvix3d::readPhonebookCsv(bytes, kalvix3d::CsvEncoding::cp932)
                                : kalvix3d::readPhonebookCsv(bytes, kalvix3d::CsvEncoding::utf8);
    for (const auto &p : read.problems)
        std::fprintf(stderr, "%s:%d: %s\n", o.file.c_str(), p.line, p.what.c_str());
    if (!read.problems.empty() && !o.partial)
        return failed("phonebook import", "nothing imported: " + std::to_string(read.problems.size()) +
                                              " broken rows (--partial imports the others)");
    store.setNames(read.entries);
    std::printf("imported %zu entries%s\n", read.entries.size(),
                read.problems.empty() ? ""
                                      : (", skipped " + std::to_string(read.problems.size()) +
                                         " broken rows").c_str());
    return 0;
}

int runPhonebook(const PhonebookOptions &o) {
    bool writes = o.add->parsed() || o.remove->parsed() || o.import->parsed();
    try {
        CallStore store(o.db, !writes);
        if (o.list->parsed()) {
            for (const auto &e : store.phonebook()) {
                std::string note = e.note.value_or("");
                if (o.json)
                    printJson({{"number", e.number}, {"name", e.name}, {"prefix", e.prefix}, {"note", note}});
                else
                    printLine(std::string(e.prefix ? "prefix  " : "exact   ") + e.number + "  " + e.name +
                              (note.empty() ? "" : "  (" + note + ")"));
            }
        } else if (o.add->parsed()) {
            store.setName({o.number, o.name, o.prefix, o.note});
            printLine((o.prefix ? "prefix " : "") + kalvix3d::digitsOf(o.number) + "  " + o.name +
                      (o.note && !o.note->empty() ? "  (" + *o.note + ")" : ""));
        } else if (o.remove->parsed()) {
            if (!store.removeName(o.number, o.prefix))
                return failed("phonebook remove", std::string("no ") + (o.prefix ? "prefix rule" : "entry") +
                                                      " for " + kalvix3d::digitsOf(o.number));
        } else if (o.import->parsed()) {
            return runImport(store, o);
        } else if (o.exportTo->parsed()) {
            auto encoding = o.encoding == "cp932"      ? kalvix3d::CsvEncoding::cp932
                            : o.encoding == "utf8-bom" ? kalvix3d::CsvEncoding::utf8Bom
                                                       : kalvix3d::CsvEncoding::utf8;
            auto entries = store.phonebook();
            if (!writeFile(o.file, kalvix3d::writePhonebookCsv(entries, encoding)))
                return failed("phonebook export", o.file + ": cannot be written");
            if (o.file != "-")
                std::printf("exported %zu entries\n", entries.size());
        }
    } catch (const StoreError &e) {
        return failed("phonebook", e.what());
    }
    return 0;
}

} // namespace

void registerLog(CommandLine &commands) {
    auto o = std::make_shared<LogOptions>();
    CLI::App *log = commands.add("log", "list the service's calls, newest first", [o] { return runLog(*o); });
    addDatabaseOption(*log, o->db);
    log->add_option("--since", o->since, "from this local date or time on (2026-12-08, 2026-12-08 09:30)")
        ->type_name("WHEN");
    log->add_option("--until", o->until, "before this local time; a date includes its day")->type_name("WHEN");
    log->add_option("--number", o->number, "numbers that contain these digits (P: withheld, ...)")
        ->type_name("DIGITS");
    log->add_option("--text", o->text, "numbers or names that contain this text")->type_name("TEXT");
    log->add_option("--limit", o->limit, "at most this many calls; 0: all")
        ->type_name("N")
        ->check(wholeNumber())
        ->capture_default_str();
    auto *json = log->add_flag("--json", o->json, "one JSON object per line");
    log->add_flag("--csv", o->csv, "CSV in UTF-8 with a header row")->excludes(json);
}

void registerPhonebook(CommandLine &commands) {
    auto o = std::make_shared<PhonebookOptions>();
    CLI::App *book = commands.add("phonebook", "names for numbers: list, add, remove, import, export",
                                  [o] { return runPhonebook(*o); });
    addDatabaseOption(*book, o->db);
    book->require_subcommand(1);
    o->list = book->add_subcommand("list", "the exact entries, then the prefix rules");
    o->list->add_flag("--json", o->json, "one JSON object per line");
    o->add = book->add_subcommand("add", "add or replace a name");
    o->add->add_option("NUMBER", o->number, "the number (hyphens and spaces are ignored)")->required();
    o->add->add_option("NAME", o->name, "the name, in UTF-8")->required();
    o->add->add_flag("--prefix", o->prefix, "a rule for every number that begins so (0120)");
    o->add->add_option("--note", o->note,
                       "what the caller's card says beside the name (at most " +
                           std::to_string(kalvix3d::kNoteLimit) +
                           " characters); without it a replaced entry keeps its note, --note \"\" "
                           "removes it")
        ->type_name("TEXT");
    o->remove = book->add_subcommand("remove", "remove a name or a prefix rule");
    o->remove->add_option("NUMBER", o->number, "the number")->required();
    o->remove->add_flag("--prefix", o->prefix, "the prefix rule rather than the exact entry");
    o->import = book->add_subcommand("import", "add the entries of a CSV file (number,name[,prefix[,note]])");
    o->import->add_option("FILE", o->file, "the file; - reads standard input")->required();
    o->encoding = "auto";
    o->import->add_option("--encoding", o->encoding, "auto (UTF-8, else code page 932), utf8 or cp932")
        ->check(CLI::IsMember({"auto", "utf8", "cp932"}))
        ->capture_default_str();
    o->import->add_flag("--partial", o->partial, "import the good rows even when some are broken");
    o->exportTo = book->add_subcommand("export", "write the phonebook as CSV");
    o->exportTo->add_option("FILE", o->file, "the file; - writes standard output")->required();
    o->exportTo->add_option("--encoding", o->encoding, "utf8, utf8-bom or cp932 (default utf8)")
        ->check(CLI::IsMember({"utf8", "utf8-bom", "cp932"}));
    for (CLI::App *action : {o->list, o->add, o->remove, o->import, o->exportTo})
        action->fallthrough();  // --db may also follow the action
}

} // namespace tool
