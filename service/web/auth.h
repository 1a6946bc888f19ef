// Who may use the web page: the login password (an Argon2id hash made with libsodium), the
// read-only display token of a wall screen, sessions with their CSRF tokens, and the limit on
// failed logins.
//
// Threads: an Auth lives on the event loop and is used only there, except the static
// hashPassword/verifyPassword, which take a noticeable time and memory and run on a worker.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"

namespace kalvix3d::web {

enum class Role { none, display, full };
const char *roleName(Role role);

struct Session {
    std::string id;   // the cookie's value: 32 random bytes, hex
    std::string csrf; // sent back in X-CSRF-Token with every request that changes something
    Role role = Role::none;
    std::chrono::steady_clock::time_point lastSeen;
};

class Auth {
public:
    static constexpr std::size_t kMaxSessions = 512;      // the least recently used goes first
    static constexpr auto kIdle = std::chrono::hours(12); // a session unused this long ends
    static constexpr int kFailuresAllowed = 5;            // failed logins per address ...
    static constexpr auto kFailureWindow = std::chrono::seconds(60); // ... in this long

    explicit Auth(const WebConfig &config);

    bool passwordRequired() const { return !passwordHash.empty(); }
    const std::string &hash() const { return passwordHash; }
    // Constant-time comparison with the configured display token (false when none is set).
    bool isDisplayToken(std::string_view token) const;

    Session &create(Role role);
    // The live session of that id (its idle time starts again), or nullptr.
    Session *find(std::string_view id);
    void remove(std::string_view id);

    // Seconds the address must wait before it may try a password again; 0 when it may now.
    int waitSeconds(const std::string &address);
    void failed(const std::string &address);
    void succeeded(const std::string &address);

    // Argon2id through libsodium (interactive limits). hashPassword throws std::runtime_error
    // when there is not enough memory.
    static std::string hashPassword(const std::string &password);
    static bool verifyPassword(const std::string &hash, const std::string &password);
    static std::string randomHex(std::size_t bytes);

private:
    struct Failures {
        int count = 0;
        std::chrono::steady_clock::time_point first, last;
    };
    std::string passwordHash;
    std::string displayToken;
    std::map<std::string, Session, std::less<>> sessions;
    std::map<std::string, Failures> failures; // bounded: old entries are purged
};

} // namespace kalvix3d::web
