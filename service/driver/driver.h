// Drives kalvix3d from outside, as its users do: runs the real program with a configuration,
// reads its log lines, signals it; and serves simulated serial adapters behind stable links
// (like /dev/serial/by-id) that can be unplugged and plugged back in. Used by the demo, the
// tests and the benchmark.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kalvix3_sim/serial_device.h"

namespace kalvix3d::driver {

using namespace std::chrono_literals;

class TempDir {
public:
    explicit TempDir(const char *stem);
    ~TempDir(); // removes it with everything in it
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return dir; }

private:
    std::string dir;
};

void writeFile(const std::string &path, const std::string &text);

// A running program whose stderr is read line by line.
class Process {
public:
    // Starts `program` with `args`; `env` entries ("NAME=value") are added to this process's
    // environment. Throws std::runtime_error when it cannot be started.
    Process(const std::string &program, const std::vector<std::string> &args,
            const std::vector<std::string> &env = {});
    ~Process(); // kills it (SIGKILL) if it still runs
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return child; }
    // The first line from index `from` on that matches; its groups. nullopt after `limit`.
    std::optional<std::vector<std::string>> waitFor(const std::regex &pattern,
                                                    std::chrono::milliseconds limit,
                                                    size_t from = 0);
    // Every line that matches, with its groups, so far.
    std::vector<std::vector<std::string>> matches(const std::regex &pattern);
    std::vector<std::string> lines();
    size_t lineCount();
    void signal(int number);
    // The exit status (or 128 + signal); -1 when it had not ended after `limit` (then killed).
    int wait(std::chrono::milliseconds limit);

private:
    void read();
    pid_t child = -1;
    int pipeFd = -1;
    int status = -1;
    bool reaped = false;
    std::mutex lock;
    std::condition_variable grew;
    std::vector<std::string> text;
    bool ended = false;
    std::thread reader;
};

// A simulated serial adapter reached through a stable link path.
class Adapter {
public:
    Adapter(int kind, std::string link); // plugged in
    ~Adapter();
    kalvix3::sim::SerialDevice &device() { return *current; }
    const std::string &link() const { return linkPath; }
    // The device goes away (its holder sees a hang-up) and so does its link.
    void unplug();
    // A new device of the same kind appears, possibly under another pseudo-terminal; the link
    // points at it again.
    void plugIn();

private:
    int kind;
    std::string linkPath;
    std::unique_ptr<kalvix3::sim::SerialDevice> current;
};

// kalvix3d beside this program, in the build tree, or $KALVIX3D.
std::string kalvix3dPath();

} // namespace kalvix3d::driver
