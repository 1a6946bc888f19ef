#include "bench_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <stdexcept>
#include <sys/syscall.h>
#include <unistd.h>

namespace kalvix3::bench {

Spread spreadOf(std::vector<double> values) {
    Spread spread;
    if (values.empty())
        return spread;
    std::sort(values.begin(), values.end());
    spread.samples = values.size();
    spread.median = values[values.size() / 2];
    size_t p99 = (values.size() * 99 + 99) / 100;
    spread.p99 = values[std::min(values.size(), std::max<size_t>(p99, 1)) - 1];
    spread.worst = values.back();
    spread.best = values.front();
    return spread;
}

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string format(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// ---- Report -----------------------------------------------------------------------------------

Report &Report::instance() {
    static Report report;
    return report;
}

void Report::addSection(const std::string &section) {
    if (std::find(sections.begin(), sections.end(), section) == sections.end())
        sections.push_back(section);
}

void Report::add(Row row) {
    addSection(row.section);
    rows.push_back(std::move(row));
}

void Report::note(const std::string &section, const std::string &text) {
    addSection(section);
    std::pair<std::string, std::string> entry(section, text);
    if (std::find(notes.begin(), notes.end(), entry) == notes.end())
        notes.push_back(std::move(entry));
}

bool Report::anyMissed() const {
    return std::any_of(rows.begin(), rows.end(), [](const Row &row) { return row.verdict == "MISSED"; });
}

void Report::print() const {
    for (const std::string &section : sections) {
        if (std::none_of(rows.begin(), rows.end(), [&](const Row &row) { return row.section == section; }))
            continue; // a note without figures: its benchmarks did not run
        std::printf("\n== %s\n", section.c_str());
        for (const Row &row : rows) {
            if (row.section != section)
                continue;
            std::printf("  %-44s %-30s floor %-30s target %-22s %s\n", row.what.c_str(),
                        row.figure.c_str(), row.floor.c_str(), row.target.c_str(),
                        row.verdict.c_str());
        }
        for (const auto &[where, text] : notes)
            if (where == section)
                std::printf("  - %s\n", text.c_str());
    }
    std::fflush(stdout);
}

bool Report::writeRows(const std::string &path) const {
    std::FILE *out = std::fopen(path.c_str(), "w");
    if (out == nullptr)
        return false;
    for (const Row &row : rows)
        std::fprintf(out, "%s\t%s\t%s\t%s\t%s\t%s\n", row.section.c_str(), row.what.c_str(),
                     row.figure.c_str(), row.floor.c_str(), row.target.c_str(), row.verdict.c_str());
    for (const auto &[section, text] : notes)
        std::fprintf(out, "%s\t#note\t%s\n", section.c_str(), text.c_str());
    return std::fclose(out) == 0;
}

// ---- Host window --------------------------------------------------------------------------

BenchWindow::BenchWindow(size_t capacity) : window{&BenchWindow::procedure, this}, capacity(capacity) {
    times.reserve(capacity);
}

std::optional<Clock::time_point> BenchWindow::arrival(size_t index, Clock::duration limit) {
    std::unique_lock<std::mutex> hold(lock);
    if (!arrived.wait_for(hold, limit, [&] { return times.size() > index; }))
        return std::nullopt;
    return times[index];
}

size_t BenchWindow::count() {
    std::lock_guard<std::mutex> hold(lock);
    return times.size();
}

int BenchWindow::lastThread() {
    std::lock_guard<std::mutex> hold(lock);
    return thread;
}

std::string BenchWindow::lastNumber() {
    std::lock_guard<std::mutex> hold(lock);
    return number;
}

intptr_t BenchWindow::procedure(void *window, uint32_t message, uintptr_t, intptr_t lParam) {
    auto now = Clock::now();
    auto *self = static_cast<BenchWindow *>(static_cast<Kalvix3HostWindow *>(window)->user);
    if (message != KALVIX3_CALLER_NUMBER_MESSAGE)
        return 0;
    size_t index;
    {
        std::lock_guard<std::mutex> hold(self->lock);
        index = self->times.size();
        if (self->times.size() < self->capacity) // beyond it: counted as lost, never grown
            self->times.push_back(now);
        self->thread = currentThreadId();
        const auto *record = reinterpret_cast<const CopyDataRecord *>(lParam);
        size_t length = std::min<size_t>(record->cbData, sizeof self->number - 1);
        std::memcpy(self->number, record->lpData, length);
        self->number[length] = '\0';
    }
    self->arrived.notify_all();
    if (self->onArrival != nullptr)
        self->onArrival(self->onArrivalContext, index);
    return 0;
}

// ---- COM directory ------------------------------------------------------------------------

ComDirectory::ComDirectory() {
    char name[] = "/tmp/kalvix3-bench.XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp");
    path = name;
    setenv("KALVIX3_COM_DIR", name, 1);
}

ComDirectory::~ComDirectory() {
    for (const std::string &entry : links)
        unlink(entry.c_str());
    rmdir(path.c_str());
    unsetenv("KALVIX3_COM_DIR");
}

void ComDirectory::link(int port, const std::string &target) {
    std::string entry = path + "/COM" + std::to_string(port);
    unlink(entry.c_str());
    if (symlink(target.c_str(), entry.c_str()) != 0)
        throw std::runtime_error("symlink " + entry);
    links.push_back(entry);
}

// ---- Threads and memory -------------------------------------------------------------------

int currentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(tasks))
            if (entry->d_name[0] != '.')
                ids.insert(std::atoi(entry->d_name));
        closedir(tasks);
    }
    return ids;
}

ThreadCost threadCost(int tid) {
    ThreadCost cost;
    std::string base = "/proc/self/task/" + std::to_string(tid);
    std::ifstream(base + "/schedstat") >> cost.cpuNs;
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            cost.switches += std::atol(line.substr(line.find(':') + 1).c_str());
    }
    return cost;
}

Resident residentNow() {
    long pages[3] = {};
    std::ifstream("/proc/self/statm") >> pages[0] >> pages[1] >> pages[2];
    long pageKiB = sysconf(_SC_PAGESIZE) / 1024;
    return {pages[1] * pageKiB, pages[2] * pageKiB};
}

double loadAverage() {
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

} // namespace kalvix3::bench
