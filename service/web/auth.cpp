#include "web/auth.h"

#include <stdexcept>
#include <vector>

#include <sodium.h>

namespace kalvix3d::web {

using Clock = std::chrono::steady_clock;

namespace {

void startSodium() {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
}

} // namespace

const char *roleName(Role role) {
    switch (role) {
    case Role::full: return "full";
    case Role::display: return "display";
    case Role::none: break;
    }
    return "none";
}

Auth::Auth(const WebConfig &config)
    : passwordHash(config.passwordHash), displayToken(config.displayToken) {
    startSodium();
}

bool Auth::isDisplayToken(std::string_view token) const {
    if (displayToken.empty() || token.size() != displayToken.size())
        return false;
    return sodium_memcmp(token.data(), displayToken.data(), token.size()) == 0;
}

std::string Auth::randomHex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
    hex.pop_back();
    return hex;
}

Session &Auth::create(Role role) {
    auto now = Clock::now();
    for (auto it = sessions.begin(); it != sessions.end();)
        it = now - it->second.lastSeen > kIdle ? sessions.erase(it) : std::next(it);
    while (sessions.size() >= kMaxSessions) {
        auto oldest = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it)
            if (it->second.lastSeen < oldest->second.lastSeen)
                oldest = it;
        sessions.erase(oldest);
    }
    Session session;
    session.id = randomHex(32);
    session.csrf = randomHex(32);
    session.role = role;
    session.lastSeen = now;
    auto [it, added] = sessions.emplace(session.id, session);
    (void)added;
    return it->second;
}

Session *Auth::find(std::string_view id) {
    auto it = sessions.find(id);
    if (it == sessions.end())
        return nullptr;
    auto now = Clock::now();
    if (now - it->second.lastSeen > kIdle) {
        sessions.erase(it);
        return nullptr;
    }
    it->second.lastSeen = now;
    return &it->second;
}

void Auth::remove(std::string_view id) {
    auto it = sessions.find(id);
    if (it != sessions.end())
        sessions.erase(it);
}

int Auth::waitSeconds(const std::string &address) {
    auto it = failures.find(address);
    if (it == failures.end())
        return 0;
    auto now = Clock::now();
    if (now - it->second.first > kFailureWindow && it->second.count < kFailuresAllowed) {
        failures.erase(it);
        return 0;
    }
    if (it->second.count < kFailuresAllowed)
        return 0;
    // Blocked for a window after the last failure.
    auto until = it->second.last + kFailureWindow;
    if (now >= until) {
        failures.erase(it);
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(until - now).count());
}

void Auth::failed(const std::string &address) {
    auto now = Clock::now();
    if (failures.size() > 4096) // many addresses: forget those not blocked any more
        for (auto it = failures.begin(); it != failures.end();)
            it = now - it->second.last > kFailureWindow ? failures.erase(it) : std::next(it);
    while (failures.size() > 8192) // still many: bounded all the same (the password checks
        failures.erase(failures.begin()); // themselves are limited to two at a time)
    Failures &entry = failures[address];
    if (entry.count == 0 || now - entry.first > kFailureWindow) {
        if (entry.count < kFailuresAllowed) {
            entry.count = 0;
            entry.first = now;
        }
    }
    ++entry.count;
    entry.last = now;
}

void Auth::succeeded(const std::string &address) { failures.erase(address); }

std::string Auth::hashPassword(const std::string &password) {
    startSodium();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(),
                              crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              crypto_pwhash_MEMLIMIT_INTERACTIVE,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("not enough memory to hash the password");
    return hash;
}

bool Auth::verifyPassword(const std::string &hash, const std::string &password) {
    startSodium();
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

} // namespace kalvix3d::web
