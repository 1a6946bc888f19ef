// A small wrapper of SQLite under the call store: the connection with its cache of prepared
// statements, one statement, one transaction. Each releases what it holds on every way out, and
// every failure is a StoreError naming the file, what was being done and why.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "call_store.h"

namespace kalvix3d::sqlite {

constexpr int kBusyTimeoutMs = 5000;

using Value = std::variant<std::int64_t, std::string>;

// One connection. Not thread-safe by itself: its owner takes `lock` around every use.
struct Connection {
    std::string path;
    bool readOnly = false;
    sqlite3 *db = nullptr;
    std::mutex lock;
    // Prepared once, kept for the connection's life: the fixed statements of the hot paths.
    std::unordered_map<std::string, sqlite3_stmt *> cache;

    Connection() = default;
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Throws StoreError: busy for a database held too long by another program, else io.
    [[noreturn]] void fail(const std::string &doing, int rc) const;
    void exec(const char *sql, const char *doing);
};

// One prepared statement, finalized (or, when kept, reset) on every way out.
enum class Keep { no, yes };
class Statement {
public:
    Statement(Connection &connection, const std::string &sql, Keep keep = Keep::no);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, std::int64_t value);
    Statement &bind(int index, std::string_view value);
    Statement &bindAll(const std::vector<Value> &values); // from ?1 on
    // True while there is a row; throws on an error.
    bool step(const char *doing);
    void reset();
    std::int64_t integer(int column) const;
    std::string text(int column) const;

private:
    const Connection &connection_;
    sqlite3_stmt *s_ = nullptr;
    bool kept_ = false;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back unless committed.
class Transaction {
public:
    explicit Transaction(Connection &connection);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    void commit();

private:
    Connection &connection_;
    bool done_ = false;
};

} // namespace kalvix3d::sqlite
