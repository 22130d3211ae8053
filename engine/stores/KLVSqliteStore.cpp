#include "engine/stores/KLVSqliteStore.h"

#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <filesystem>
#include <system_error>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVMonitor.h"
#include "engine/stores/KLVSqliteStoreStatement.h"
#include "platform/foundation/FileAttributes.h"

static_assert(SQLITE_VERSION_NUMBER >= 3037000, "the store needs sqlite3_prepare_v3 and changes64");

namespace engine {

using namespace sqlite_store_detail;
using platform::Error;
using platform::Object;

namespace fs = std::filesystem;

namespace {

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
// How long a statement waits for another connection's lock before failing with SQLITE_BUSY: a
// brief write by another connection (a tool, a second process) must not fail the engine's start.
constexpr int kBusyTimeoutMilliseconds = 3000;
// Files SQLite keeps beside the database; a stale one must never meet a new database.
constexpr std::array<std::string_view, 4> kDatabaseFileSuffixes = {"", "-journal", "-wal", "-shm"};

bool isCorruptionCode(int resultCode) {
    const int primary = resultCode & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool containsWhere(std::string_view sql) {
    return platform::asciiLowercase(sql).find("where") != std::string::npos;
}

// Binds one row value; SQLITE_MISMATCH for a kind the store does not write. Text and bytes are
// copied by SQLite, so a statement never points into memory the caller may free.
int bindValue(sqlite3_stmt* statement, int index, const Object& value) {
    switch (value.type()) {
        case Object::Type::Null:
            return sqlite3_bind_null(statement, index);
        case Object::Type::Bool:
            return sqlite3_bind_int64(statement, index, value.asBool() ? 1 : 0);
        case Object::Type::Integer:
            return sqlite3_bind_int64(statement, index, value.asInteger());
        case Object::Type::Double:
            return sqlite3_bind_double(statement, index, value.asDouble());
        case Object::Type::String: {
            const auto& text = value.asString();
            return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                       SQLITE_UTF8);
        }
        case Object::Type::Data: {
            const auto& bytes = value.asData();
            // An empty vector may have no buffer; a null pointer would bind NULL, not empty bytes.
            static const std::uint8_t kEmpty = 0;
            return sqlite3_bind_blob64(statement, index, bytes.empty() ? &kEmpty : bytes.data(),
                                       bytes.size(), SQLITE_TRANSIENT);
        }
        default:
            return SQLITE_MISMATCH;
    }
}

}  // namespace

// --- Life cycle ----------------------------------------------------------------------------------

KLVSqliteStore::KLVSqliteStore(Key, std::string path) : databasePath_(std::move(path)) {}

KLVSqliteStore::~KLVSqliteStore() {
    closeDatabase();
}

std::unique_ptr<KLVSqliteStore> KLVSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     Error* error) {
    if (!KLVCheckNonZero(path.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty database path on init")) {
        return nullptr;
    }
    auto store = std::make_unique<KLVSqliteStore>(Key{}, path);
    switch (store->openAndValidateDatabase(error)) {
        case OpenOutcome::Opened:
            return store;
        case OpenOutcome::Failed:
            return nullptr;
        case OpenOutcome::Corrupt:
            break;
    }
    // Only a file shown to be corrupt is given up; it is recreated empty, once. Its events go
    // with it, so the loss is an error of its own, not a silent fresh start.
    if (!store->closeAndDeleteDatabase()) return nullptr;
    const int code = store->corruptionCode_;
    monitor().logWithLevel(kKLVLogErrorMonitored, 34006,
                           "Database file is corrupt and was deleted with everything stored in "
                           "it. File, SQLite code, reason",
                           Object(path), Object(std::int64_t{code}), Object(sqlite3_errstr(code)));
    if (store->openAndValidateDatabase(error) != OpenOutcome::Opened) return nullptr;
    return store;
}

KLVSqliteStore::OpenOutcome KLVSqliteStore::corrupt(int resultCode) {
    corruptionCode_ = resultCode;
    return OpenOutcome::Corrupt;
}

KLVSqliteStore::OpenOutcome KLVSqliteStore::openAndValidateDatabase(Error* error) {
    if (!prepareFileForOpening(error)) return OpenOutcome::Failed;

    const int rc = sqlite3_open_v2(databasePath_.c_str(), &sqliteHandle_, kOpenFlags, nullptr);
    if (rc != SQLITE_OK) {
        setDatabaseError(error, "initialize sqlite handle");
        closeDatabase();
        return isCorruptionCode(rc) ? corrupt(rc) : OpenOutcome::Failed;
    }
    sqlite3_busy_timeout(sqliteHandle_, kBusyTimeoutMilliseconds);

    Error backupError;
    if (!platform::FileAttributes::current()->setExcludedFromBackup(databasePath_, true,
                                                                    &backupError)) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 34017,
                               "Failed to exclude database file from backup", backupError);
    }

    const OpenOutcome validation = validateDatabase(error);
    if (validation != OpenOutcome::Opened) {
        closeDatabase();
        return validation;
    }
    if (!configureJournal(error)) {
        const int rc = sqliteHandle_ ? sqlite3_extended_errcode(sqliteHandle_) : SQLITE_OK;
        closeDatabase();
        return isCorruptionCode(rc) ? corrupt(rc) : OpenOutcome::Failed;
    }
    return OpenOutcome::Opened;
}

bool KLVSqliteStore::prepareFileForOpening(Error* error) const {
    std::error_code ec;
    const fs::path file(databasePath_);
    if (fs::exists(file, ec)) {
        // A file marked immutable could be read but never written; clear the mark first.
        const auto attributes = platform::FileAttributes::current();
        const auto immutable = attributes->isImmutable(databasePath_, error);
        if (!immutable) return false;
        return !*immutable || attributes->setImmutable(databasePath_, false, error);
    }
    if (ec) {
        return platform::fail(
            error, klv_errorWithCode(kKLVSqliteStoreErrorUnusable,
                                     "Failed to read database file attributes", ec.message()));
    }
    if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
    if (ec) {
        return platform::fail(
            error, klv_errorWithCode(kKLVSqliteStoreErrorUnusable,
                                     "Failed to create database directory", ec.message()));
    }
    return true;
}

KLVSqliteStore::OpenOutcome KLVSqliteStore::validateDatabase(Error* error) {
    Statement statement = prepareSQL("PRAGMA integrity_check", false, error);
    if (!statement) {
        const int rc = sqlite3_extended_errcode(sqliteHandle_);
        setDatabaseError(error, "validate database");
        return isCorruptionCode(rc) ? corrupt(rc) : OpenOutcome::Failed;
    }
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0));
        if (sqlite3_column_count(statement.get()) == 1 && text && std::string_view(text) == "ok") {
            return OpenOutcome::Opened;
        }
        // The check read the whole file and listed what is wrong with it.
        setDatabaseError(error, "validate database");
        return corrupt(SQLITE_CORRUPT);
    }
    setDatabaseError(error, "validate database");
    const int code = sqlite3_extended_errcode(sqliteHandle_);
    return isCorruptionCode(code) ? corrupt(code) : OpenOutcome::Failed;
}

// Write-ahead logging with NORMAL sync: a committed transaction survives a crash of the process
// (only a power loss may take the last ones back), at a small fraction of the cost of syncing the
// rollback journal on every commit.
bool KLVSqliteStore::configureJournal(Error* error) {
    Statement journal = prepareSQL("PRAGMA journal_mode=WAL", false, error);
    if (!journal) return false;
    if (sqlite3_step(journal.get()) != SQLITE_ROW) {
        return setDatabaseError(error, "set journal mode");
    }
    journal = Statement();
    if (!executeSQL("PRAGMA synchronous=NORMAL", error)) return false;
    // Replaces the automatic checkpoint every 1000 log frames: see checkpoint().
    sqlite3_wal_hook(sqliteHandle_, &walHook, this);
    return true;
}

int KLVSqliteStore::walHook(void*, sqlite3* handle, const char* database, int frames) {
    if (frames >= kCheckpointFrames) {
        sqlite3_wal_checkpoint_v2(handle, database, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    return SQLITE_OK;
}

void KLVSqliteStore::setRowChangeHandler(RowChangeHandler handler) {
    rowChangeHandler_ = std::move(handler);
    if (!sqliteHandle_) return;
    sqlite3_update_hook(sqliteHandle_, rowChangeHandler_ ? &updateHook : nullptr, this);
}

void KLVSqliteStore::updateHook(void* store, int operation, const char*, const char* table,
                                sqlite3_int64) {
    auto& self = *static_cast<KLVSqliteStore*>(store);
    if (self.rowChangeHandler_ && table) self.rowChangeHandler_(operation, table);
}

std::int64_t KLVSqliteStore::lastInsertRowID() const {
    return sqliteHandle_ ? sqlite3_last_insert_rowid(sqliteHandle_) : 0;
}

std::optional<std::int64_t> KLVSqliteStore::dataVersion() {
    Statement statement = statementForQuery("PRAGMA data_version", nullptr, nullptr);
    if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
    return sqlite3_column_int64(statement.get(), 0);
}

bool KLVSqliteStore::checkpoint() {
    sequence_.check("checkpoint");
    if (!sqliteHandle_ || group_) return false;
    return sqlite3_wal_checkpoint_v2(sqliteHandle_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                     nullptr) == SQLITE_OK;
}

void KLVSqliteStore::closeDatabase() {
    if (!sqliteHandle_) return;
    statementCache_.clear();
    const int rc = sqlite3_close(sqliteHandle_);
    if (rc != SQLITE_OK) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 34018,
                               "Failed to close database. Got error code", Object(rc));
        // A statement still on loan keeps the connection busy; let SQLite close it with that
        // statement instead of leaking the connection.
        sqlite3_close_v2(sqliteHandle_);
    }
    sqliteHandle_ = nullptr;
}

bool KLVSqliteStore::closeAndDeleteDatabase() {
    closeDatabase();
    Error error;
    if (deleteDatabaseFilesAtPath(databasePath_, &error)) return true;
    monitor().logWithLevel(kKLVLogErrorMonitored, 34019, "Failed to delete database. Error", error);
    return false;
}

bool KLVSqliteStore::deleteDatabaseFilesAtPath(const std::string& databasePath, Error* error) {
    bool deleted = true;
    for (const auto suffix : kDatabaseFileSuffixes) {
        const std::string path = databasePath + std::string(suffix);
        std::error_code ec;
        const auto status = fs::symlink_status(path, ec);
        if (!fs::exists(status)) continue;
        if (suffix.empty()) {
            // A file still marked immutable is reported by the removal below, with its reason.
            (void)platform::FileAttributes::current()->setImmutable(path, false, nullptr);
        }
        if (fs::is_directory(status)) {
            ec = std::make_error_code(std::errc::is_a_directory);
        } else {
            fs::remove(path, ec);
        }
        if (ec) {
            // The first failure is the one reported; the other files are still tried.
            if (deleted) KLVSetError(error, kKLVSqliteStoreErrorUnusable, ec.message());
            deleted = false;
        }
    }
    return deleted;
}

// --- Statements ----------------------------------------------------------------------------------

KLVSqliteStore::Statement KLVSqliteStore::prepareSQL(const std::string& sql, bool persistent,
                                                     Error* error) {
    sequence_.check("prepareSQL");
    if (!KLVCheckNonZero(sql.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty SQL string to prepare") ||
        !isOpen(error, "Prepare SQL failed. Database not open.") || !isTransactionIntact(error) ||
        !KLVCheckCondition(!(sql.size() > INT_MAX), error, kKLVSqliteStoreErrorBadArgument,
                           "Received SQL string that is too long")) {
        return {};
    }
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v3(sqliteHandle_, sql.data(), static_cast<int>(sql.size()),
                                      persistent ? SQLITE_PREPARE_PERSISTENT : 0, &raw, &tail);
    Statement statement = Statement::owned(raw);
    if (raw && raw == lastBoundStatement_) lastBoundStatement_ = nullptr;
    if (rc != SQLITE_OK) {
        setDatabaseError(error, "prepare statement");
        return {};
    }
    if (!statement) {
        // Only blanks or comments: nothing to run.
        return platform::failWith<Statement>(
            error, klv_errorWithCode(kKLVSqliteStoreErrorBadArgument,
                                     "Received empty SQL string to prepare"));
    }
    if (!KLVCheckCondition(!(tail && tail != sql.data() + sql.size()), error,
                           kKLVSqliteStoreErrorBadArgument,
                           "Query contained more than one SQL statement.")) {
        return {};
    }
    return statement;
}

KLVSqliteStore::Statement KLVSqliteStore::statementForQuery(const std::string& query,
                                                            const ParameterValues* parameterValues,
                                                            Error* error) {
    sequence_.check("statementForQuery");
    if (!isOpen(error, "Statement for query failed. Database not open.") ||
        !isTransactionIntact(error)) {
        return {};
    }
    const bool hasValues = parameterValues && !parameterValues->empty();
    if (!KLVCheckCondition(!(containsMarker(query) && !hasValues), error,
                           kKLVSqliteStoreErrorBadArgument, "Received empty parameters")) {
        return {};
    }

    Statement statement;
    const auto cached = statementCache_.find(query);
    if (cached != statementCache_.end() && !cached->second->inUse) {
        statement = Statement::borrowed(cached->second);
    } else {
        // Statements with literal conditions are used once; the cache stays bounded.
        const bool cacheable = cached == statementCache_.end() &&
                               (containsMarker(query) || !containsWhere(query)) &&
                               statementCache_.size() < kStatementCacheLimit;
        statement = prepareSQL(query, cacheable, error);
        if (!statement) return {};
        if (cacheable) {
            auto entry = std::make_shared<CachedStatement>();
            entry->statement.reset(statement.release());
            statementCache_.emplace(query, entry);
            statement = Statement::borrowed(std::move(entry));
        }
    }
    if (hasValues && !bindValues(*parameterValues, statement.get(), error)) return {};
    return statement;
}

bool KLVSqliteStore::bindValues(const ParameterValues& values, sqlite3_stmt* statement,
                                Error* error) {
    if (!KLVCheckCondition(static_cast<bool>(statement), error, kKLVSqliteStoreErrorBadArgument,
                           "Failed to bind to NULL statement")) {
        return false;
    }
    sqlite3_clear_bindings(statement);
    bool bound = true;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i >= INT_MAX || bindValue(statement, static_cast<int>(i + 1), values[i]) != SQLITE_OK) {
            bound = setDatabaseError(error, "bind values");
        }
    }
    if (group_ && !restoringGroup_ && !sqlite3_stmt_readonly(statement)) {
        lastBoundStatement_ = statement;
        lastBoundValues_ = values;
    }
    return bound;
}

std::optional<Object> KLVSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
    if (!statement) return std::nullopt;
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return Object(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
        case SQLITE_FLOAT:
            return Object(sqlite3_column_double(statement, column));
        case SQLITE_TEXT: {
            const auto* text = sqlite3_column_text(statement, column);
            if (!text) return std::nullopt;
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
            return Object(std::string(reinterpret_cast<const char*>(text), size));
        }
        case SQLITE_BLOB: {
            // A zero-length blob has no buffer and reads as no value.
            const auto* bytes =
                static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
            if (!bytes) return std::nullopt;
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
            return Object(platform::Data(bytes, bytes + size));
        }
        case SQLITE_NULL:
            return Object();
        default:
            return std::nullopt;
    }
}

bool KLVSqliteStore::executeSQL(const std::string& sql, Error* error) {
    if (!checkArguments({{!sql.empty(), "Received empty SQL string to execute"}},
                        "Execute SQL failed. Database not open.", error)) {
        return false;
    }
    Statement statement = prepareSQL(sql, false, error);
    if (!statement) return false;
    return executeSQLStatement(std::move(statement), error);
}

bool KLVSqliteStore::executeSQLStatement(Statement statement, Error* error) {
    if (!checkArguments(
            {{static_cast<bool>(statement), "Execute SQL statement failed. Statement is NULL."}},
            "Execute SQL statement failed. Database not open.", error)) {
        return false;
    }
    return stepToDone(statement.get(), "execute statement", error);
}

int KLVSqliteStore::stepStatement(sqlite3_stmt* statement) {
    if (!group_ || restoringGroup_) return sqlite3_step(statement);
    // SQLite may have dropped the transaction under an earlier statement that failed.
    if (sqlite3_get_autocommit(sqliteHandle_) && !restoreGroup()) loseGroupWrites();
    const int rc = sqlite3_step(statement);
    if (group_ && rc == SQLITE_DONE && !sqlite3_stmt_readonly(statement)) {
        KeptWrite write{sqlite3_sql(statement), {}};
        if (statement == lastBoundStatement_) {
            write.values = std::move(lastBoundValues_);
            lastBoundStatement_ = nullptr;
        }
        group_->writes.push_back(std::move(write));
    }
    return rc;
}

bool KLVSqliteStore::stepToDone(sqlite3_stmt* statement, std::string_view operation, Error* error) {
    if (stepStatement(statement) == SQLITE_DONE) return true;
    return setDatabaseError(error, operation);
}

bool KLVSqliteStore::readRows(sqlite3_stmt* statement, std::string_view operation,
                              const std::function<bool(sqlite3_stmt*)>& onRow, Error* error) {
    for (;;) {
        const int rc = stepStatement(statement);
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) return setDatabaseError(error, operation);
        if (!onRow(statement)) return true;
    }
}

KLVSqliteStore::Row KLVSqliteStore::rowFromStatement(sqlite3_stmt* statement) const {
    Row row;
    const int count = sqlite3_column_count(statement);
    for (int column = 0; column < count; ++column) {
        const char* name = sqlite3_column_name(statement, column);
        if (!name) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 34003, "Failed to get column name");
            continue;
        }
        auto value = valueAtColumn(column, statement);
        if (!value) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 34004, "Value is nil for column",
                                   Object(name));
            continue;
        }
        row.insert_or_assign(name, std::move(*value));
    }
    return row;
}

// --- Transactions --------------------------------------------------------------------------------

bool KLVSqliteStore::performTransactionWithError(Error* error, const std::function<bool()>& block) {
    sequence_.check("performTransactionWithError");
    if (!checkArguments({{block != nullptr, "Received nil transaction block"}}, "Database not open",
                        error)) {
        return false;
    }
    // Inside a grouped transaction the block gets a savepoint of its own.
    const bool inGroup = group_.has_value();
    if (inGroup ? !beginGroupBlock() : !beginTransaction()) {
        return platform::fail(
            error, klv_errorWithCode(kKLVSqliteStoreErrorSQLite, "Failed to begin transaction",
                                     monitorContextForDatabaseOperation("begin")));
    }
    // A block that fails may say why through the same error; its cause is kept, and only a block
    // that set nothing gets the generic text.
    Error ownError;
    Error& outcome = error ? *error : ownError;
    const Error before = outcome;
    outcome = Error{};
    bool committed = false;
    // Outside a group, the block's later statements are refused once SQLite has rolled its
    // transaction back (a group puts its kept writes back instead).
    inTransactionBlock_ = !inGroup;
    try {
        committed = block();
    } catch (...) {
        inTransactionBlock_ = false;
        if (inGroup) {
            rollbackGroupSavepoint();
            throw;
        }
        ++rollbackCount_;
        if (!sqlite3_get_autocommit(sqliteHandle_) && !rollbackTransaction()) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 34009,
                                   "Failed to rollback transaction after exception");
        }
        throw;
    }
    inTransactionBlock_ = false;
    // Rolled back under the block: what it did before is gone, whatever it answered.
    const bool rolledBack = !inGroup && sqlite3_get_autocommit(sqliteHandle_) != 0;
    if (rolledBack && committed) {
        committed = false;
        outcome = klv_errorWithCode(kKLVSqliteStoreErrorSQLite,
                                    "Transaction was rolled back after an earlier error");
    }
    if (!committed) {
        if (outcome.code == 0 && outcome.domain.empty())
            outcome = klv_errorWithCode(kKLVSqliteStoreErrorSQLite, "Transaction failed");
        if (inGroup) {
            rollbackGroupSavepoint();
            return false;
        }
        ++rollbackCount_;
        if (!rolledBack && !rollbackTransaction())
            monitor().logWithLevel(kKLVLogErrorMonitored, 34011, "Failed to rollback transaction");
        return false;
    }
    if (inGroup) {
        releaseGroupBlock();
        outcome = before;
        return true;
    }
    if (endTransaction()) {
        outcome = before;
        return true;
    }
    platform::fail(error, klv_errorWithCode(kKLVSqliteStoreErrorSQLite, "Failed to end transaction",
                                            monitorContextForDatabaseOperation("end transaction")));
    // A failed COMMIT (a deferred constraint, a busy file) leaves the transaction open; without
    // a rollback every later BEGIN would fail.
    ++rollbackCount_;
    if (!sqlite3_get_autocommit(sqliteHandle_) && !rollbackTransaction()) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 34011, "Failed to rollback transaction");
    }
    return false;
}

// The three transaction statements run with every write, so they stay prepared.
bool KLVSqliteStore::beginTransaction() {
    return stepCachedStatement("BEGIN EXCLUSIVE TRANSACTION");
}

bool KLVSqliteStore::endTransaction() {
    return stepCachedStatement("END TRANSACTION");
}

bool KLVSqliteStore::rollbackTransaction() {
    return stepCachedStatement("ROLLBACK");
}

bool KLVSqliteStore::beginGroupedTransaction(Error* error) {
    sequence_.check("beginGroupedTransaction");
    if (!isOpen(error, "Database not open")) return false;
    if (group_ || !beginTransaction()) {
        return platform::fail(
            error, klv_errorWithCode(kKLVSqliteStoreErrorSQLite, "Failed to begin transaction",
                                     monitorContextForDatabaseOperation("begin")));
    }
    group_.emplace();
    return true;
}

void KLVSqliteStore::beginGroupUnit() {
    if (group_) group_->unitStarts.push_back(group_->writes.size());
}

bool KLVSqliteStore::endGroupedTransaction(Error* error, std::size_t* lostUnits) {
    sequence_.check("endGroupedTransaction");
    if (lostUnits) *lostUnits = 0;
    if (!group_) return true;
    if (!sqlite3_get_autocommit(sqliteHandle_) && endTransaction()) {
        group_.reset();
        lastBoundStatement_ = nullptr;
        return true;
    }
    // The commit failed to write the log, or SQLite dropped the transaction before it: the
    // units once more, each committed on its own.
    ++rollbackCount_;
    if (!sqlite3_get_autocommit(sqliteHandle_)) rollbackTransaction();
    Error cause;
    const std::size_t lost = writeGroupUnitsOneByOne(&cause);
    group_.reset();
    lastBoundStatement_ = nullptr;
    if (lostUnits) *lostUnits = lost;
    if (lost == 0) return true;
    ++lostGroupCount_;
    return platform::fail(error, cause);
}

std::size_t KLVSqliteStore::writeGroupUnitsOneByOne(Error* error) {
    const auto& writes = group_->writes;
    std::vector<std::size_t> starts{0};
    for (const std::size_t start : group_->unitStarts)
        starts.push_back(std::min(start, writes.size()));
    starts.push_back(writes.size());
    restoringGroup_ = true;
    std::size_t failed = starts.size() - 1;
    for (std::size_t unit = 0; unit + 1 < starts.size(); ++unit) {
        const std::size_t begin = starts[unit];
        const std::size_t end = starts[unit + 1];
        if (begin >= end) continue;
        bool written = beginTransaction();
        for (std::size_t i = begin; written && i < end; ++i)
            written = stepKeptWrite(writes[i]);
        if (written && endTransaction()) continue;
        platform::fail(error,
                       klv_errorWithCode(kKLVSqliteStoreErrorSQLite, "Failed to end transaction",
                                         monitorContextForDatabaseOperation("end transaction")));
        ++rollbackCount_;
        if (!sqlite3_get_autocommit(sqliteHandle_)) rollbackTransaction();
        failed = unit;
        break;
    }
    restoringGroup_ = false;
    std::size_t lost = 0;
    for (std::size_t unit = failed; unit + 1 < starts.size(); ++unit) {
        if (starts[unit] < starts[unit + 1]) ++lost;
    }
    return lost;
}

bool KLVSqliteStore::stepKeptWrite(const KeptWrite& write) {
    Statement statement = statementForQuery(write.sql, &write.values, nullptr);
    return statement && sqlite3_step(statement.get()) == SQLITE_DONE;
}

bool KLVSqliteStore::restoreGroup() {
    ++rollbackCount_;
    if (!sqlite3_get_autocommit(sqliteHandle_)) rollbackTransaction();
    restoringGroup_ = true;
    bool restored = beginTransaction();
    const auto& writes = group_->writes;
    for (std::size_t i = 0; restored && i <= writes.size(); ++i) {
        if (group_->savepointStart == i) restored = stepCachedStatement("SAVEPOINT klv_block");
        if (!restored || i == writes.size()) break;
        restored = stepKeptWrite(writes[i]);
    }
    restoringGroup_ = false;
    if (!restored && !sqlite3_get_autocommit(sqliteHandle_)) rollbackTransaction();
    return restored;
}

void KLVSqliteStore::loseGroupWrites() {
    ++lostGroupCount_;
    const bool inBlock = group_->savepointStart.has_value();
    group_->writes.clear();
    group_->savepointStart.reset();
    // The unit under way goes on as the first of what is left.
    group_->unitStarts.clear();
    if (!beginTransaction()) {
        group_.reset();
        return;
    }
    if (inBlock && stepCachedStatement("SAVEPOINT klv_block")) group_->savepointStart = 0;
}

bool KLVSqliteStore::beginGroupBlock() {
    // Blocks do not nest here either.
    if (sqlite3_get_autocommit(sqliteHandle_) && !restoreGroup()) loseGroupWrites();
    if (!group_ || group_->savepointStart || !stepCachedStatement("SAVEPOINT klv_block")) {
        return false;
    }
    group_->savepointStart = group_->writes.size();
    return true;
}

void KLVSqliteStore::releaseGroupBlock() {
    if (!group_) return;
    group_->savepointStart.reset();
    // Released into the group; a transaction SQLite dropped meanwhile comes back with the
    // block's writes.
    if (sqlite3_get_autocommit(sqliteHandle_) || !stepCachedStatement("RELEASE klv_block")) {
        if (!restoreGroup()) loseGroupWrites();
    }
}

void KLVSqliteStore::rollbackGroupSavepoint() {
    ++rollbackCount_;
    if (!group_ || !group_->savepointStart) return;
    group_->writes.resize(*group_->savepointStart);
    group_->savepointStart.reset();
    while (!group_->unitStarts.empty() && group_->unitStarts.back() > group_->writes.size())
        group_->unitStarts.pop_back();
    if (sqlite3_get_autocommit(sqliteHandle_) || !stepCachedStatement("ROLLBACK TO klv_block") ||
        !stepCachedStatement("RELEASE klv_block")) {
        // The transaction is gone (or in doubt): back to where the block began.
        if (!restoreGroup()) loseGroupWrites();
    }
}

bool KLVSqliteStore::stepCachedStatement(const std::string& sql) {
    if (!sqliteHandle_) return false;
    Statement statement = statementForQuery(sql, nullptr, nullptr);
    return statement && sqlite3_step(statement.get()) == SQLITE_DONE;
}

// --- Errors --------------------------------------------------------------------------------------

bool KLVSqliteStore::isOpen(Error* error, std::string_view description) const {
    if (sqliteHandle_) return true;
    return platform::fail(
        error, klv_errorWithCode(kKLVSqliteStoreErrorUnusable, std::string(description)));
}

bool KLVSqliteStore::checkArguments(std::initializer_list<Argument> arguments,
                                    std::string_view notOpen, Error* error) const {
    for (const Argument& argument : arguments) {
        if (!KLVCheckCondition(argument.given, error, kKLVSqliteStoreErrorBadArgument,
                               argument.missing)) {
            return false;
        }
    }
    return isOpen(error, notOpen);
}

bool KLVSqliteStore::isTransactionIntact(Error* error) const {
    if (!inTransactionBlock_ || !sqlite3_get_autocommit(sqliteHandle_)) return true;
    return platform::fail(error,
                          klv_errorWithCode(kKLVSqliteStoreErrorSQLite,
                                            "Transaction was rolled back after an earlier error"));
}

bool KLVSqliteStore::setDatabaseError(Error* error, std::string_view operation) const {
    if (!error) return false;
    const std::string description =
        sqliteHandle_ ? errorDescriptionForDatabaseOperation(operation) : std::string();
    *error = klv_errorWithCode(kKLVSqliteStoreErrorSQLite, description,
                               monitorContextForDatabaseOperation(operation));
    return false;
}

std::string KLVSqliteStore::lastErrorMessage() const {
    if (!sqliteHandle_) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 34022,
                               "Failed to get last error message. Database not open");
        return {};
    }
    return sqlite3_errmsg(sqliteHandle_);
}

std::string KLVSqliteStore::errorDescriptionForDatabaseOperation(std::string_view operation) const {
    return "Database operation \"" + std::string(operation) + "\" failed with sqlite code " +
           std::to_string(sqlite3_errcode(sqliteHandle_)) + " and error message \"" +
           lastErrorMessage() + "\"";
}

std::string KLVSqliteStore::monitorContextForDatabaseOperation(std::string_view operation) const {
    const int code = sqliteHandle_ ? sqlite3_errcode(sqliteHandle_) : 0;
    const bool writable = ::access(databasePath_.c_str(), W_OK) == 0;
    return (operation.empty() ? std::string("Unknown operation") : std::string(operation)) + "," +
           std::to_string(code) + "," + (writable ? "A" : "NA");
}

}  // namespace engine
