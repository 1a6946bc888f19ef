#include "phonebook_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "log.h"
#include "outputs/status_stream.h"

namespace kalvix3d {

void loadPhonebookFile(const Config &config, CallStore &store) {
    if (config.phonebookCsv.empty())
        return;
    std::ifstream in(config.phonebookCsv, std::ios::binary);
    if (!in) {
        logLine(Priority::warning, "phonebook " + config.phonebookCsv +
                                       ": cannot read it: " + std::strerror(errno) +
                                       "; the names already in the call log stay");
        return;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    CsvRead read = readPhonebookCsv(bytes.str());
    for (const CsvProblem &problem : read.problems)
        logLine(Priority::warning, config.phonebookCsv + ":" + std::to_string(problem.line) + ": " +
                                       problem.what + " (row skipped)");
    size_t stored = 0;
    for (const PhonebookEntry &entry : read.entries) {
        try {
            store.setName(entry);
            ++stored;
        } catch (const std::exception &error) {
            logLine(Priority::warning, config.phonebookCsv + ": " + entry.number + ": " +
                                           error.what() + " (row skipped)");
        }
    }
    status::report({{"event", "phonebook"}, {"loaded", stored}, {"skipped", read.problems.size()}});
    logLine(Priority::info, "phonebook " + config.phonebookCsv + ": " + std::to_string(stored) +
                                " name(s) loaded, " + std::to_string(read.problems.size()) +
                                " row(s) skipped");
}

} // namespace kalvix3d
