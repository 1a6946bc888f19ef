#include "driver.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kalvix3d::driver {

namespace fs = std::filesystem;

TempDir::TempDir(const char *stem) {
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + ".XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder: " +
                                 std::string(std::strerror(errno)));
    dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

Process::Process(const std::string &program, const std::vector<std::string> &args,
                 const std::vector<std::string> &env, Channel channel) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    int status[2] = {-1, -1};
    if (channel == Channel::status && pipe2(status, O_CLOEXEC) != 0) {
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    if (channel == Channel::status)
        argStrings.insert(argStrings.end(), {"--status-fd", "3"});
    std::vector<char *> argv;
    for (std::string &arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char **entry = environ; *entry; ++entry)
        envStrings.emplace_back(*entry);
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char *> envp;
    for (std::string &entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (channel == Channel::status)
        posix_spawn_file_actions_adddup2(&actions, status[1], 3);
    // The child starts with no signal blocked, whatever the caller's threads block.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    int failed = posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(),
                             envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (status[1] >= 0)
        close(status[1]);
    if (failed != 0) {
        close(fds[0]);
        if (status[0] >= 0)
            close(status[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(failed));
    }
    pipeFd = fds[0];
    statusFd = status[0];
    reader = std::thread([this] { read(); });
}

Process::~Process() {
    if (!reaped) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    if (reader.joinable())
        reader.join();
    close(pipeFd);
    if (statusFd >= 0)
        close(statusFd);
}

// Reads stderr and the status channel until both have ended: whole lines into `text`, JSON
// objects into `statusEvents` (a line that is no JSON is kept as {"unreadable": line}).
void Process::read() {
    struct Source {
        int fd;
        std::string partial;
        bool open;
    };
    Source sources[2] = {{pipeFd, "", true}, {statusFd, "", statusFd >= 0}};
    char buffer[4096];
    auto take = [this](Source &source, bool all) {
        size_t end;
        while ((end = source.partial.find('\n')) != std::string::npos ||
               (all && !source.partial.empty())) {
            std::string line = source.partial.substr(0, end);
            source.partial.erase(0, end == std::string::npos ? std::string::npos : end + 1);
            if (source.fd == pipeFd) {
                text.push_back(line);
            } else {
                Event event = Event::parse(line, nullptr, false);
                statusEvents.push_back(event.is_object() ? event : Event{{"unreadable", line}});
            }
        }
    };
    while (sources[0].open || sources[1].open) {
        pollfd ready[2];
        nfds_t count = 0;
        for (Source &source : sources)
            if (source.open)
                ready[count++] = {source.fd, POLLIN, 0};
        if (poll(ready, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (!(ready[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Source &source = ready[i].fd == pipeFd ? sources[0] : sources[1];
            ssize_t got = ::read(source.fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            std::lock_guard<std::mutex> hold(lock);
            if (got <= 0) {
                source.open = false;
                take(source, true);
            } else {
                source.partial.append(buffer, static_cast<size_t>(got));
                take(source, false);
            }
            grew.notify_all();
        }
    }
    std::lock_guard<std::mutex> hold(lock);
    ended = true;
    grew.notify_all();
}

namespace {

bool hasFields(const Event &event, const Event &wanted) {
    for (const auto &[key, value] : wanted.items())
        if (!event.contains(key) || event[key] != value)
            return false;
    return true;
}

} // namespace

std::optional<Event> Process::waitForEvent(const Event &wanted, std::chrono::milliseconds limit,
                                           size_t from) {
    std::unique_lock<std::mutex> hold(lock);
    auto deadline = std::chrono::steady_clock::now() + limit;
    size_t looked = from;
    for (;;) {
        for (; looked < statusEvents.size(); ++looked)
            if (hasFields(statusEvents[looked], wanted))
                return statusEvents[looked];
        if (ended || grew.wait_until(hold, deadline) == std::cv_status::timeout) {
            if (looked == statusEvents.size())
                return std::nullopt;
        }
    }
}

std::vector<Event> Process::events(const Event &wanted) {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<Event> found;
    for (const Event &event : statusEvents)
        if (hasFields(event, wanted))
            found.push_back(event);
    return found;
}

size_t Process::eventCount() {
    std::lock_guard<std::mutex> hold(lock);
    return statusEvents.size();
}

std::optional<std::vector<std::string>> Process::waitFor(const std::regex &pattern,
                                                         std::chrono::milliseconds limit,
                                                         size_t from) {
    std::unique_lock<std::mutex> hold(lock);
    auto deadline = std::chrono::steady_clock::now() + limit;
    size_t looked = from;
    for (;;) {
        for (; looked < text.size(); ++looked) {
            std::smatch match;
            if (std::regex_search(text[looked], match, pattern)) {
                std::vector<std::string> groups;
                for (const auto &group : match)
                    groups.push_back(group.str());
                return groups;
            }
        }
        if (ended || grew.wait_until(hold, deadline) == std::cv_status::timeout) {
            if (looked == text.size())
                return std::nullopt;
        }
    }
}

std::vector<std::vector<std::string>> Process::matches(const std::regex &pattern) {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::vector<std::string>> found;
    for (const std::string &line : text) {
        std::smatch match;
        if (std::regex_search(line, match, pattern)) {
            std::vector<std::string> groups;
            for (const auto &group : match)
                groups.push_back(group.str());
            found.push_back(groups);
        }
    }
    return found;
}

std::vector<std::string> Process::lines() {
    std::lock_guard<std::mutex> hold(lock);
    return text;
}

size_t Process::lineCount() {
    std::lock_guard<std::mutex> hold(lock);
    return text.size();
}

void Process::signal(int number) {
    if (!reaped)
        kill(child, number);
}

int Process::wait(std::chrono::milliseconds limit) {
    if (reaped)
        return status;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int raw = 0;
        pid_t done = waitpid(child, &raw, WNOHANG);
        if (done == child) {
            reaped = true;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            reaped = true;
            status = -1;
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    if (reader.joinable())
        reader.join(); // the pipe has ended with the program
    return status;
}

Adapter::Adapter(int kind, std::string link) : kind(kind), linkPath(std::move(link)) { plugIn(); }

Adapter::~Adapter() {
    std::error_code ignored;
    fs::remove(linkPath, ignored);
}

void Adapter::unplug() {
    std::error_code ignored;
    fs::remove(linkPath, ignored);
    if (current)
        current->vanish();
}

void Adapter::plugIn() {
    auto fresh = kalvix3::sim::SerialDevice::start(kind);
    std::string temporary = linkPath + ".new";
    std::error_code ignored;
    fs::remove(temporary, ignored);
    fs::create_symlink(fresh->slavePath(), temporary);
    fs::rename(temporary, linkPath);
    current = std::move(fresh);
}

std::string kalvix3dPath() {
    if (const char *path = std::getenv("KALVIX3D"))
        return path;
    std::error_code ignored;
    fs::path self = fs::read_symlink("/proc/self/exe", ignored);
    for (fs::path candidate : {self.parent_path() / "kalvix3d",
                               self.parent_path().parent_path() / "service" / "kalvix3d",
                               self.parent_path().parent_path().parent_path() / "service" /
                                   "kalvix3d"})
        if (fs::is_regular_file(candidate, ignored))
            return candidate.string();
#ifdef KALVIX3D_BUILD_PATH
    return KALVIX3D_BUILD_PATH;
#else
    return "kalvix3d";
#endif
}

std::unique_ptr<Process> startService(const std::vector<std::string> &args,
                                      const std::vector<std::string> &env,
                                      const std::string &program) {
    return std::make_unique<Process>(program, args, env, Channel::status);
}

bool waitForLineUp(Process &service, int slot, std::chrono::milliseconds limit, size_t from) {
    return bool(service.waitForEvent({{"event", "line"}, {"slot", slot}, {"state", "up"}}, limit,
                                     from));
}

std::optional<Event> waitForCall(Process &service, std::chrono::milliseconds limit, size_t from) {
    return service.waitForEvent({{"event", "call"}}, limit, from);
}

} // namespace kalvix3d::driver
