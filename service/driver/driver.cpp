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
                 const std::vector<std::string> &env) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
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
    if (failed != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(failed));
    }
    pipeFd = fds[0];
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
}

void Process::read() {
    std::string partial;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(pipeFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        partial.append(buffer, static_cast<size_t>(got));
        size_t end;
        std::lock_guard<std::mutex> hold(lock);
        while ((end = partial.find('\n')) != std::string::npos) {
            text.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
        grew.notify_all();
    }
    std::lock_guard<std::mutex> hold(lock);
    if (!partial.empty())
        text.push_back(partial);
    ended = true;
    grew.notify_all();
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

} // namespace kalvix3d::driver
