// Drives kalvix3d from outside, as its users do: runs the real program with a configuration,
// reads its log lines and the events of its status channel (--status-fd), signals it; and
// serves simulated serial adapters behind stable links (like /dev/serial/by-id) that can be
// unplugged and plugged back in. Used by the demo, the tests, the web rig and the benchmarks.
// Waits are on the status events, which say what happened; the log's words are checked only
// where a test asserts what the log says.
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

#include <nlohmann/json.hpp>

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

using Event = nlohmann::json;

// What a program reports besides its stderr: kalvix3d's status channel is its descriptor 3.
enum class Channel { stderrOnly, status };

// A running program whose stderr is read line by line, and its status events when it has them.
class Process {
public:
    // Starts `program` with `args`; `env` entries ("NAME=value") are added to this process's
    // environment. With Channel::status the program gets "--status-fd 3" and a pipe there.
    // Throws std::runtime_error when it cannot be started.
    Process(const std::string &program, const std::vector<std::string> &args,
            const std::vector<std::string> &env = {}, Channel channel = Channel::stderrOnly);
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
    // The first status event from index `from` on that has every field of `wanted` with the
    // same value ({"event": "line", "slot": 0, "state": "up"}); nullopt after `limit`.
    std::optional<Event> waitForEvent(const Event &wanted, std::chrono::milliseconds limit,
                                      size_t from = 0);
    // Every status event so far that has the fields of `wanted`.
    std::vector<Event> events(const Event &wanted);
    size_t eventCount();
    void signal(int number);
    // The exit status (or 128 + signal); -1 when it had not ended after `limit` (then killed).
    int wait(std::chrono::milliseconds limit);

private:
    void read();
    pid_t child = -1;
    int pipeFd = -1;
    int statusFd = -1;
    int status = -1;
    bool reaped = false;
    std::mutex lock;
    std::condition_variable grew;
    std::vector<std::string> text;
    std::vector<Event> statusEvents;
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
// kalvix3d with `args` and its status channel.
std::unique_ptr<Process> startService(const std::vector<std::string> &args,
                                      const std::vector<std::string> &env = {},
                                      const std::string &program = kalvix3dPath());
// Its line `slot` is up / a call was announced (the call's event), from index `from` on.
bool waitForLineUp(Process &service, int slot, std::chrono::milliseconds limit, size_t from = 0);
std::optional<Event> waitForCall(Process &service, std::chrono::milliseconds limit,
                                 size_t from = 0);

} // namespace kalvix3d::driver
