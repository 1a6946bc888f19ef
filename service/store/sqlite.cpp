#include "sqlite.h"

namespace kalvix3d::sqlite {

Connection::~Connection() {
    for (auto &entry : cache)
        sqlite3_finalize(entry.second);
    if (db)
        sqlite3_close_v2(db);
}

void Connection::fail(const std::string &doing, int rc) const {
    std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        why += " (another program held the database for more than " +
               std::to_string(kBusyTimeoutMs / 1000) + " s)";
        break;
    case SQLITE_READONLY: why += " (the file or its folder is read-only for this user)"; break;
    case SQLITE_NOTADB: why += " (the file is not an SQLite database)"; break;
    case SQLITE_CANTOPEN:
        why += " (does the folder exist, and may this user read and write it?)";
        break;
    default: break;
    }
    StoreFault fault = (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED ? StoreFault::busy
                                                                                  : StoreFault::io;
    throw StoreError(fault, "the call database " + path + ": " + doing + ": " + why);
}

void Connection::exec(const char *sql, const char *doing) {
    char *message = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    if (rc != SQLITE_OK)
        fail(doing, rc);
}

Statement::Statement(Connection &connection, const std::string &sql, Keep keep)
    : connection_(connection) {
    if (keep == Keep::yes) {
        auto found = connection.cache.find(sql);
        if (found != connection.cache.end()) {
            s_ = found->second;
            kept_ = true;
            return;
        }
    }
    int rc = sqlite3_prepare_v3(connection.db, sql.c_str(), static_cast<int>(sql.size()),
                                keep == Keep::yes ? SQLITE_PREPARE_PERSISTENT : 0, &s_, nullptr);
    if (rc != SQLITE_OK)
        connection.fail("preparing a query", rc);
    if (keep == Keep::yes) {
        connection.cache.emplace(sql, s_);
        kept_ = true;
    }
}

Statement::~Statement() {
    if (kept_) {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    } else {
        sqlite3_finalize(s_);
    }
}

Statement &Statement::bind(int index, std::int64_t value) {
    sqlite3_bind_int64(s_, index, value);
    return *this;
}

Statement &Statement::bind(int index, std::string_view value) {
    sqlite3_bind_text(s_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement &Statement::bindAll(const std::vector<Value> &values) {
    for (std::size_t i = 0; i < values.size(); ++i)
        std::visit([&](const auto &v) { bind(static_cast<int>(i + 1), v); }, values[i]);
    return *this;
}

bool Statement::step(const char *doing) {
    int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    connection_.fail(doing, rc);
}

void Statement::reset() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
}

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(s_, column); }

std::string Statement::text(int column) const {
    const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(s_, column));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, column))) : "";
}

Transaction::Transaction(Connection &connection) : connection_(connection) {
    connection_.exec("BEGIN IMMEDIATE", "starting a transaction");
}

Transaction::~Transaction() {
    if (!done_)
        sqlite3_exec(connection_.db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
    connection_.exec("COMMIT", "committing");
    done_ = true;
}

} // namespace kalvix3d::sqlite
