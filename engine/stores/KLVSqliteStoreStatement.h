#pragma once

// Internal to the SQLite store, shared by its source files: the statement on loan and the small
// text helpers. Not for other callers.

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include "engine/stores/KLVSqliteStore.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace sqlite_store_detail {

inline constexpr std::string_view kPrimaryKey = "PRIMARY KEY";

inline bool containsMarker(std::string_view sql) {
    return sql.find('?') != std::string_view::npos;
}

// Joins `items` formatted by `format` with ", ".
template <typename Items, typename Format>
std::string joined(const Items& items, Format format) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += ", ";
        out += format(item);
    }
    return out;
}

inline bool beginsWithSelect(std::string_view query) {
    return query.size() >= 6 && platform::equalsIgnoringASCIICase(query.substr(0, 6), "select");
}

// The kinds a record may hold: what SQLite stores.
inline bool isRowValue(const platform::Object& value) {
    switch (value.type()) {
        case platform::Object::Type::Null:
        case platform::Object::Type::Bool:
        case platform::Object::Type::Integer:
        case platform::Object::Type::Double:
        case platform::Object::Type::String:
        case platform::Object::Type::Data:
            return true;
        default:
            return false;
    }
}

struct Finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPointer = std::unique_ptr<sqlite3_stmt, Finalizer>;

}  // namespace sqlite_store_detail

// A prepared statement kept for its SQL text. `inUse` keeps a nested use of the same text (a
// filter that queries again) from stepping the statement under a running read.
struct KLVSqliteStore::CachedStatement {
    sqlite_store_detail::StatementPointer statement;
    bool inUse = false;
};

// A statement on loan for one operation: a cached statement goes back to the cache reset and with
// its bindings cleared; any other statement is finalized. Either way nothing is leaked.
class KLVSqliteStore::Statement {
  public:
    Statement() = default;
    static Statement owned(sqlite3_stmt* statement) {
        Statement s;
        s.owned_.reset(statement);
        return s;
    }
    static Statement borrowed(std::shared_ptr<CachedStatement> cached) {
        Statement s;
        cached->inUse = true;
        s.cached_ = std::move(cached);
        return s;
    }
    Statement(Statement&&) noexcept = default;
    Statement& operator=(Statement&& other) noexcept {
        if (this != &other) {
            giveBack();
            owned_ = std::move(other.owned_);
            cached_ = std::move(other.cached_);
        }
        return *this;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { giveBack(); }

    sqlite3_stmt* get() const { return cached_ ? cached_->statement.get() : owned_.get(); }
    // Hands over an owned statement (to the cache); null for a borrowed one.
    sqlite3_stmt* release() { return owned_.release(); }
    explicit operator bool() const { return get() != nullptr; }

  private:
    void giveBack() {
        if (!cached_) return;
        sqlite3_stmt* statement = cached_->statement.get();
        if (statement) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
        }
        cached_->inUse = false;
        cached_.reset();
    }

    sqlite_store_detail::StatementPointer owned_;
    std::shared_ptr<CachedStatement> cached_;
};

}  // namespace engine
