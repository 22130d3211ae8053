#pragma once

// The engine's one access layer to SQLite. A store owns one connection to one file: it creates and
// validates the file, brings tables to a declared shape, prepares, caches and binds statements,
// turns result rows into dictionaries and runs blocks of work in exclusive transactions. It knows
// nothing of events or bundles; the measurement and experiments databases each own one store.
//
// The store takes no lock of its own: each owner uses it from one serial queue. Every operation
// that can fail returns false, an empty optional or a null pointer and fills the error (when one is
// asked for) with an engine error carrying one of the codes below.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/KLVScheduler.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

struct sqlite3;
struct sqlite3_stmt;

namespace engine {

// The codes of the store's errors. Callers tell a table that does not match its declaration apart
// from a file that could not be read or written just now by them, so the values never change.
// An empty, missing or malformed argument.
inline constexpr std::int64_t kKLVSqliteStoreErrorBadArgument = 1;
// A closed database, a file that could not be prepared or deleted, or a table missing or unlike
// its declaration.
inline constexpr std::int64_t kKLVSqliteStoreErrorUnusable = 2;
// A failed SQLite call, or a transaction that could not begin, end or stay intact.
inline constexpr std::int64_t kKLVSqliteStoreErrorSQLite = 3;

class KLVSqliteStore {
  public:
    // Column name to row value: Integer, Double, String, Data or Null. Writes take a record, reads
    // give rows (the implicit rowid included when the query selects it).
    using Record = platform::Dictionary;
    using Row = platform::Dictionary;
    // Values bound to the `?` markers of a query, the first to marker 1.
    using ParameterValues = platform::Array;
    // Ordered [column name, column type] pairs. One pair may be {"PRIMARY KEY", "(a, b)"}: a
    // table-level key, written into the create statement and never treated as a column.
    using ColumnInfoList = std::vector<std::pair<std::string, std::string>>;
    // Ordered [column name, complete ALTER TABLE statement] pairs: missing columns are added in
    // this order.
    using AddOnStatementList = std::vector<std::pair<std::string, std::string>>;
    // Column name to its new declared type.
    using ModifyColumnInfo = std::map<std::string, std::string>;
    // Column name to the declared type "PRAGMA table_info" reports.
    using LiveColumnInfo = std::map<std::string, std::string>;
    // Asked for every row with the number of rows accepted so far: true accepts the row and reads
    // on, false stops reading without it.
    using RowFilter = std::function<bool(std::size_t acceptedCount, const Row& row)>;
    // Sees each row of a SELECT on its statement, for reads that take the columns they need
    // directly instead of a Row: true reads on, false stops reading.
    using StatementRowReader = std::function<bool(sqlite3_stmt* statement)>;

    // Opens (creating when needed) and validates the file at `path`. A file proven corrupt is
    // deleted with its companions and created anew once; any other failure (a lock held by another
    // connection, a permission problem, a full disk) fails without touching the file.
    static std::unique_ptr<KLVSqliteStore> initWithDatabasePath(const std::string& path,
                                                                platform::Error* error = nullptr);
    ~KLVSqliteStore();
    KLVSqliteStore(const KLVSqliteStore&) = delete;
    KLVSqliteStore& operator=(const KLVSqliteStore&) = delete;

    // Closes the connection and deletes the file with its -journal, -wal and -shm companions;
    // true when they are all gone (a missing file counts as deleted).
    bool closeAndDeleteDatabase();
    // Deletes a closed database file with its companions (a leftover log would be replayed into
    // a new file at the path); true when they are all gone. The first failure goes to `error`.
    [[nodiscard]] static bool deleteDatabaseFilesAtPath(const std::string& databasePath,
                                                        platform::Error* error = nullptr);
    sqlite3* sqliteHandle() const { return sqliteHandle_; }
    // The row ID of the last row inserted on this connection (0 before any).
    std::int64_t lastInsertRowID() const;
    // Changes when another connection (another process, a tool) committed to the file since the
    // last call; nothing when it cannot be read.
    std::optional<std::int64_t> dataVersion();
    // Told of every row this connection inserts, updates or deletes (SQLITE_INSERT, _UPDATE or
    // _DELETE, and the table), as the statement changes it: whatever mirrors table contents
    // learns of every write, also of writes made by code that does not know of the mirror. A
    // DELETE without a WHERE clause empties the table without telling. One handler at a time.
    using RowChangeHandler = std::function<void(int operation, std::string_view table)>;
    void setRowChangeHandler(RowChangeHandler handler);
    const std::string& databasePath() const { return databasePath_; }

    // --- Schema --------------------------------------------------------------------------------

    // Creates the table when missing, adds missing add-on columns, and rebuilds it (keeping every
    // row) when a column of `modifyColumnInfo` has a different live type.
    [[nodiscard]] bool ensureTableWithName(const std::string& tableName,
                                           const ColumnInfoList& elementaryColumnInfo,
                                           const ColumnInfoList& addOnColumnInfo,
                                           const ModifyColumnInfo& modifyColumnInfo,
                                           platform::Error* error = nullptr);
    [[nodiscard]] bool ensureTableWithName(const std::string& tableName,
                                           const ColumnInfoList& elementaryColumnInfo,
                                           const ColumnInfoList& addOnColumnInfo,
                                           platform::Error* error = nullptr);
    [[nodiscard]] bool ensureTableWithName(const std::string& tableName,
                                           const std::string& createSQL,
                                           const std::vector<std::string>& requiredColumnNames,
                                           const AddOnStatementList& addOnColumns,
                                           platform::Error* error = nullptr);
    // Rebuilds the table in one transaction when its live column types differ from the lists.
    [[nodiscard]] bool ensureSchemaOfTableWithName(const std::string& tableName,
                                                   const ColumnInfoList& elementaryColumnInfo,
                                                   const ColumnInfoList& addOnColumnInfo,
                                                   platform::Error* error = nullptr);
    // Whether the table has the required columns (adding missing add-on columns on the way) and
    // no unknown NOT NULL column; nullopt on failure.
    std::optional<bool> validateTableWithName(const std::string& tableName,
                                              const std::vector<std::string>& requiredColumnNames,
                                              const AddOnStatementList& addOnColumns,
                                              platform::Error* error = nullptr);
    // Creates the index when missing; files made before it gain it on their next open. A
    // non-empty `whereClause` makes it a partial index. `columns` and `whereClause` are SQL.
    [[nodiscard]] bool ensureIndexWithName(const std::string& indexName,
                                           const std::string& tableName, const std::string& columns,
                                           const std::string& whereClause,
                                           platform::Error* error = nullptr);
    std::optional<bool> tableExists(const std::string& tableName, platform::Error* error = nullptr);
    [[nodiscard]] bool dropTableWithName(const std::string& tableName,
                                         platform::Error* error = nullptr);
    [[nodiscard]] bool renameTable(const std::string& oldName, const std::string& newName,
                                   platform::Error* error = nullptr);
    // Copies every row positionally; the two tables must have the same columns in the same order.
    [[nodiscard]] bool copyContentsFromTable(const std::string& sourceName,
                                             const std::string& destinationName,
                                             platform::Error* error = nullptr);
    [[nodiscard]] bool createEmptyTable(const std::string& newName, const std::string& sourceName,
                                        platform::Error* error = nullptr);
    std::optional<std::vector<std::string>> columnsForTableWithName(
        const std::string& tableName, platform::Error* error = nullptr);
    std::optional<LiveColumnInfo> columnInfoForTableWithName(const std::string& tableName,
                                                             platform::Error* error = nullptr);

    // --- Rows ----------------------------------------------------------------------------------

    std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName,
                                                         platform::Error* error = nullptr);
    std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName,
                                                         const std::string& columnName,
                                                         const platform::Object& columnValue,
                                                         platform::Error* error = nullptr);
    // INSERT OR REPLACE of the record's columns.
    [[nodiscard]] bool upsertRecord(const Record& record, const std::string& tableName,
                                    platform::Error* error = nullptr);
    // One INSERT, UPDATE or DELETE statement with its `?` values, kept prepared: for the writes
    // that recur with every event, whose text is fixed.
    [[nodiscard]] bool executeWrite(const std::string& sql, const ParameterValues& parameterValues,
                                    platform::Error* error = nullptr);
    // Sets the record's columns in the rows whose `columnName` equals `columnValue`.
    [[nodiscard]] bool updateRecord(const Record& record, const std::string& tableName,
                                    const std::string& columnName,
                                    const platform::Object& columnValue,
                                    platform::Error* error = nullptr);
    [[nodiscard]] bool updateAllRecordsInTableWithName(const std::string& tableName,
                                                       const std::string& columnName,
                                                       const platform::Object& columnValue,
                                                       platform::Error* error = nullptr);
    // Adds `value` to an INTEGER column in the rows matching `condition` (which may hold markers).
    [[nodiscard]] bool increaseColumn(const std::string& columnName, std::int64_t value,
                                      const std::string& tableName, const std::string& condition,
                                      const ParameterValues& parameterValues,
                                      platform::Error* error = nullptr);
    [[nodiscard]] bool deleteRecordFromTableWithName(const std::string& tableName,
                                                     const std::string& columnName,
                                                     const platform::Object& columnValue,
                                                     platform::Error* error = nullptr);
    // The number of deleted rows, or nullopt on failure.
    std::optional<std::int64_t> deleteRecordsFromTableWithName(
        const std::string& tableName, const std::string& condition,
        const ParameterValues& parameterValues, platform::Error* error = nullptr);
    [[nodiscard]] bool deleteAllRecordsFromTableWithName(const std::string& tableName,
                                                         platform::Error* error = nullptr);
    // Rows of a SELECT, empty when nothing matched. A read succeeds only when SQLite reports the
    // end of the rows: an error part-way fails the whole read rather than answering fewer rows.
    std::optional<std::vector<Row>> recordsForQuery(const std::string& query,
                                                    const ParameterValues& parameterValues,
                                                    platform::Error* error = nullptr);
    std::optional<std::vector<Row>> recordsForQuery(const std::string& query,
                                                    const ParameterValues& parameterValues,
                                                    platform::Error* error,
                                                    const RowFilter& filter);
    // The rows of a SELECT handed one by one to `onRow`, on a cached prepared statement; the same
    // checks and failures as recordsForQuery.
    [[nodiscard]] bool readRowsForQuery(const std::string& query,
                                        const ParameterValues& parameterValues,
                                        platform::Error* error, const StatementRowReader& onRow);
    // The first column of the first row: an Integer or Double object. A NULL value answers
    // nullopt without an error.
    std::optional<platform::Object> numberForQuery(const std::string& query,
                                                   const ParameterValues& parameterValues,
                                                   platform::Error* error = nullptr);

    // --- Transactions --------------------------------------------------------------------------

    // Runs `block` inside "BEGIN EXCLUSIVE TRANSACTION": true commits, false rolls back. A block
    // that fails may set `error` itself (its cause is then kept); else it reads "Transaction
    // failed". An exception from the block rolls back and propagates. When the commit itself fails
    // the transaction is rolled back, so that the next one can begin. Transactions do not nest.
    // SQLite rolls a transaction back by itself after some errors (an I/O error, a full disk):
    // every later statement of the block then fails instead of committing on its own, and the
    // block's transaction fails.
    [[nodiscard]] bool performTransactionWithError(platform::Error* error,
                                                   const std::function<bool()>& block);
    bool beginTransaction();
    bool endTransaction();
    bool rollbackTransaction();

    // --- Grouped transactions ------------------------------------------------------------------

    // One exclusive transaction for a run of blocks that would each have been a transaction of
    // their own (events that arrived together): until endGroupedTransaction(),
    // performTransactionWithError() runs its block in a savepoint, so that a block that fails
    // rolls back its own writes and nothing else, and a nested call fails as a nested BEGIN would.
    // Every write made meanwhile is also kept (its text and values): when SQLite itself drops
    // the whole transaction (an I/O error, a full disk), the writes of the blocks that went
    // through are made again in a new transaction before the next statement runs.
    [[nodiscard]] bool beginGroupedTransaction(platform::Error* error = nullptr);
    // The writes made from here on, up to the next mark, are one unit of the group: what one
    // transaction would have held had the group not been (one event's writes). Writes before the
    // first mark form a unit of their own.
    void beginGroupUnit();
    // Commits the group. When the commit fails (a full disk, an I/O error), the units are
    // written again in order, each in a transaction of its own, as they would have been without
    // the group: those before the first unit that cannot be written are kept; that unit and all
    // after it are lost, for their writes were made on top of its own. False (with the error of
    // the failure) when any unit was lost; `lostUnits` counts the lost units that held writes.
    [[nodiscard]] bool endGroupedTransaction(platform::Error* error = nullptr,
                                             std::size_t* lostUnits = nullptr);
    bool isInGroupedTransaction() const { return group_.has_value(); }
    // Counts every roll-back: of a transaction, of a block's savepoint, of a transaction SQLite
    // dropped itself. An owner that mirrors table contents in memory drops them when it changed.
    std::uint64_t rollbackCount() const { return rollbackCount_; }
    // Counts the times the writes of a grouped transaction could not be made again and were lost
    // (the group then goes on in a new transaction).
    std::uint64_t lostGroupCount() const { return lostGroupCount_; }
    // Copies the write-ahead log into the database file as far as no reader holds it back. The
    // log is otherwise copied only when it passes kCheckpointFrames, so that a commit stays one
    // append to the log and its owner chooses when the copying and its syncs happen.
    bool checkpoint();
    static constexpr int kCheckpointFrames = 10000;

    // Statements kept prepared at most; texts beyond it are prepared for one use.
    static constexpr std::size_t kStatementCacheLimit = 64;
    std::size_t cachedStatementCount() const { return statementCache_.size(); }

    // The connection and its statement cache belong to one serial queue: debug builds stop at a
    // statement or transaction from another. detachFromSequence() hands the store over (to the
    // worker queue, after it was opened elsewhere).
    void detachFromSequence() { sequence_.detach(); }

  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    // Use initWithDatabasePath(); the key keeps a store from existing without its connection.
    KLVSqliteStore(Key, std::string path);

  private:
    class Statement;
    struct CachedStatement;
    struct KeptWrite;
    struct ColumnDescription {
        std::string name;
        std::string type;
        bool notNull = false;
    };
    enum class OpenOutcome { Opened, Failed, Corrupt };

    OpenOutcome openAndValidateDatabase(platform::Error* error);
    // Notes SQLite's code for a file shown to be corrupt, for the line that reports its deletion.
    OpenOutcome corrupt(int resultCode);
    [[nodiscard]] bool prepareFileForOpening(platform::Error* error) const;
    OpenOutcome validateDatabase(platform::Error* error);
    [[nodiscard]] bool configureJournal(platform::Error* error);
    void closeDatabase();

    Statement prepareSQL(const std::string& sql, bool persistent, platform::Error* error);
    Statement statementForQuery(const std::string& query, const ParameterValues* parameterValues,
                                platform::Error* error);
    [[nodiscard]] bool bindValues(const ParameterValues& values, sqlite3_stmt* statement,
                                  platform::Error* error);
    static std::optional<platform::Object> valueAtColumn(int column, sqlite3_stmt* statement);
    [[nodiscard]] bool executeSQL(const std::string& sql, platform::Error* error);
    [[nodiscard]] bool executeSQLStatement(Statement statement, platform::Error* error);
    // Steps a statement without values that is kept prepared; true when it ran to its end.
    bool stepCachedStatement(const std::string& sql);
    // Steps once and expects the end of the statement; records `operation` otherwise.
    [[nodiscard]] bool stepToDone(sqlite3_stmt* statement, std::string_view operation,
                                  platform::Error* error);
    // Steps through every row; false (with the error) unless the rows end cleanly or `onRow`
    // stops the reading by answering false.
    [[nodiscard]] bool readRows(sqlite3_stmt* statement, std::string_view operation,
                                const std::function<bool(sqlite3_stmt*)>& onRow,
                                platform::Error* error);
    Row rowFromStatement(sqlite3_stmt* statement) const;
    // sqlite3_step, keeping a grouped transaction's writes (and restoring the transaction first
    // when SQLite dropped it).
    int stepStatement(sqlite3_stmt* statement);
    // The group's transaction anew with its kept writes; false (nothing open) when that failed.
    bool restoreGroup();
    // After a failed commit: each unit in a transaction of its own, in order, up to the first
    // that fails; the number of units from that one on that held writes, and its failure.
    std::size_t writeGroupUnitsOneByOne(platform::Error* error);
    // Runs one kept write again; false when it did not run to its end.
    bool stepKeptWrite(const KeptWrite& write);
    // After a failed restore: the kept writes are given up and the group goes on in a new
    // transaction (or ends when none can begin).
    void loseGroupWrites();
    // A block's savepoint: begun (false when one is open or it cannot begin), released into the
    // group, or rolled back, its writes undone and forgotten.
    bool beginGroupBlock();
    void releaseGroupBlock();
    void rollbackGroupSavepoint();
    static int walHook(void* store, sqlite3* handle, const char* database, int frames);
    static void updateHook(void* store, int operation, const char* database, const char* table,
                           long long rowID);  // sqlite3_int64
    std::optional<std::vector<ColumnDescription>> tableInfo(const std::string& tableName,
                                                            platform::Error* error);
    [[nodiscard]] bool rebuildTable(const std::string& tableName,
                                    const ColumnInfoList& elementaryColumnInfo,
                                    const ColumnInfoList& addOnColumnInfo, platform::Error* error);
    [[nodiscard]] bool copySharedColumns(const std::string& sourceName,
                                         const std::string& destinationName,
                                         platform::Error* error);

    [[nodiscard]] bool isOpen(platform::Error* error, std::string_view description) const;
    // One argument of a call: whether it was given (a name not empty, a value not null, a block
    // set) and the description of the error when it was not.
    struct Argument {
        bool given;
        std::string_view missing;
    };
    // The guards at the top of a call: the first argument not given fails with its description as
    // a bad argument; with all given, the database must be open.
    [[nodiscard]] bool checkArguments(std::initializer_list<Argument> arguments,
                                      std::string_view notOpen, platform::Error* error) const;
    // False (with an error) inside a transaction block whose transaction SQLite has rolled back.
    [[nodiscard]] bool isTransactionIntact(platform::Error* error) const;
    bool setDatabaseError(platform::Error* error, std::string_view operation) const;
    std::string lastErrorMessage() const;
    std::string errorDescriptionForDatabaseOperation(std::string_view operation) const;
    std::string monitorContextForDatabaseOperation(std::string_view operation) const;

    // A write of a grouped transaction: its text and the values bound to it.
    struct KeptWrite {
        std::string sql;
        ParameterValues values;
    };
    struct Group {
        std::vector<KeptWrite> writes;
        // Where the open block's savepoint began in `writes`.
        std::optional<std::size_t> savepointStart;
        // Where each unit after the first begins in `writes`, in order.
        std::vector<std::size_t> unitStarts;
    };

    sqlite3* sqliteHandle_ = nullptr;
    // SQLite's result code that showed the file corrupt at the last open.
    int corruptionCode_ = 0;
    std::optional<Group> group_;
    bool restoringGroup_ = false;
    // The values last bound, for the write they belong to.
    sqlite3_stmt* lastBoundStatement_ = nullptr;
    ParameterValues lastBoundValues_;
    std::uint64_t rollbackCount_ = 0;
    std::uint64_t lostGroupCount_ = 0;
    RowChangeHandler rowChangeHandler_;
    // While a transaction block runs outside a group.
    bool inTransactionBlock_ = false;
    KLVSequenceChecker sequence_;
    std::map<std::string, std::shared_ptr<CachedStatement>, std::less<>> statementCache_;
    const std::string databasePath_;
};

}  // namespace engine
