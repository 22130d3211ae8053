#pragma once

// The experiments database "nexory_experimentation_database.sql": per SDK one row in each of
// three tables, holding the encoded Snapshot message, a time and, for the pending table, whether
// the SDK's client activates it (1) or the next start does (0).
//
//   pending_snapshot_table     fetched, not yet in force
//   activated_snapshot_table   the experiments with non-zero IDs of the last activation
//   launched_snapshot_table    the experiment 0 of the last activation that had one
//
// Only the experiments worker queue uses it; it takes no lock of its own. After a failed open or
// reset it has no store and every operation fails.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/experiments/KLVESnapshot.h"
#include "engine/stores/KLVSqliteStore.h"

namespace engine {

inline constexpr char kKLVEDatabaseFileName[] = "nexory_experimentation_database.sql";
inline constexpr char kKLVEPendingSnapshotTable[] = "pending_snapshot_table";
inline constexpr char kKLVEActivatedSnapshotTable[] = "activated_snapshot_table";
inline constexpr char kKLVELaunchedSnapshotTable[] = "launched_snapshot_table";
// An activated snapshot this old at start is deleted (the cutoff is inclusive).
inline constexpr double kKLVEStaleSnapshotInterval = 259200;

class KLVEDatabase {
  public:
    using Snapshots = std::vector<std::shared_ptr<KLVESnapshot>>;

    // Opens (creating when needed) the file and ensures the three tables; null for an empty path
    // (810000), a file that cannot be opened (810001) or tables that cannot be ensured (810002;
    // the file is then deleted, so that the next start builds a fresh one).
    static std::unique_ptr<KLVEDatabase> initWithPath(const std::string& path);
    KLVEDatabase() = default;
    KLVEDatabase(const KLVEDatabase&) = delete;
    KLVEDatabase& operator=(const KLVEDatabase&) = delete;

    // `context` ("Init" or "Reset") only names the occasion in the log lines.
    bool initializeDatabaseResourcesWithContext(std::string_view context, const std::string& path);
    bool ensureAllTables();
    // Closes and deletes the file (810005 on failure).
    void closeAndDelete();
    // Deletes the file and builds it anew, empty, also after closeAndDelete() (810006 on
    // failure).
    void reset();
    // Runs `block` in one exclusive transaction: true commits, false rolls back (810007).
    bool performTransaction(const std::function<bool()>& block);

    // Every row of the table in rowid order as a snapshot with the row's time (and, in the pending
    // table, its manual flag). Nullopt with the store's error for a failed read, nullopt without
    // an error when one row gives no snapshot.
    std::optional<Snapshots> fetchAllActivatedSnapshots(platform::Error* error = nullptr);
    std::optional<Snapshots> fetchAllPendingSnapshots(platform::Error* error = nullptr);
    std::optional<Snapshots> fetchAllLaunchedSnapshots(platform::Error* error = nullptr);

    // Puts the snapshot in force at time `t`: its experiment 0 (the last one met) replaces the
    // launched row, its other experiments the activated row (an empty activated row when there
    // are none), and the SDK's pending row is deleted unless it is newer than `t`.
    [[nodiscard]] bool activateSnapshot(const std::shared_ptr<KLVESnapshot>& snapshot, double t,
                                        platform::Error* error = nullptr);
    [[nodiscard]] bool deleteActivatedExperimentsOfSDKName(std::string_view SDKName,
                                                           platform::Error* error = nullptr);
    [[nodiscard]] bool deletePendingExperimentsOfSDKName(std::string_view SDKName,
                                                         platform::Error* error = nullptr);
    [[nodiscard]] bool deleteLaunchedExperimentSDKName(std::string_view SDKName,
                                                       platform::Error* error = nullptr);
    // Deletes the activated rows made at or before now minus three days.
    [[nodiscard]] bool deleteStaleActivatedSnapshots(platform::Error* error = nullptr);
    // One pending row per snapshot with its own time and manual flag, in order; stops at the
    // first failure (earlier rows stay written).
    [[nodiscard]] bool upsertPendingExperimentSnapshots(const Snapshots& snapshots,
                                                        platform::Error* error = nullptr);
    // Activates, in rowid order, each pending row with the manual flag 0, at the row's own time.
    [[nodiscard]] bool activatePendingSnapshotsAutomatically(platform::Error* error = nullptr);

    [[nodiscard]] bool upsertSnapshot(const KLVPBSnapshot& snapshot, const std::string& tableName,
                                      double timestamp, std::optional<bool> manuallyActivated,
                                      platform::Error* error = nullptr);
    std::optional<std::vector<KLVSqliteStore::Row>> allDataTypesFromTableWithName(
        const std::string& tableName, std::int64_t tableLimit, platform::Error* error = nullptr);
    [[nodiscard]] bool deleteExperimentsOfSDKName(std::string_view SDKName,
                                                  const std::string& tableName,
                                                  platform::Error* error = nullptr);

    // The open store, or null; for tests.
    KLVSqliteStore* sqliteStore() const { return sqliteStore_.get(); }

  private:
    std::optional<Snapshots> fetchAllSnapshotsFromTable(const std::string& tableName,
                                                        platform::Error* error);
    [[nodiscard]] bool hasStore(platform::Error* error) const;

    std::unique_ptr<KLVSqliteStore> sqliteStore_;
    // Kept past closeAndDelete(), so that a later reset() builds the file again.
    std::string databasePath_;
};

}  // namespace engine
