#pragma once

// The engine's one logger. Every component reports with a level, a numeric message code (one per
// call site) and a fixed message text, optionally followed by context objects. A report is
// written to the system log when its level is loggable and fed into the sampled health record
// when it is monitorable. The monitor also owns the debug-mode and verbose-logging switches.
//
// Levels: 0 to 2 "ERROR", 3 to 5 "WARNING", 6 "NOTICE", 7 "DEBUG", 8 verbose (handled only while
// verbose logging is on). Levels 2 and 5 are silent (never printed) and 1, 2, 4 and 5 are
// monitorable; from 9 up a level is both.
//
// A message with a placeholder ("Analytics v.%@ started") is formatted by the caller with
// platform::formatString; the monitor prints the text it gets as it stands.
//
// There is one monitor per process, reached through engine::monitor() from every layer. Any thread
// may log; console writes and all health-record work run in order on the monitor's queue
// "KLVMonitorQueue".

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/KLVASLLogger.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitoringSampledData.h"
#include "engine/base/MonitorContext.h"
#include "platform/dispatch/SerialQueue.h"

namespace platform {
class UserDefaults;
}

namespace engine {

inline constexpr char kKLVMonitorQueueLabel[] = "KLVMonitorQueue";
inline constexpr char kKLVMonitorSuiteName[] = "com.nexory.zkt.measurement.monitor";
// In the app's standard preferences: the switches, YES while on.
inline constexpr char kKLVDebugModeKey[] = "/nexory/measurement/debug_mode";
inline constexpr char kKLVVerboseLoggingKey[] = "/nexory/measurement/verbose_logging";
// The health record, in the monitor's suite (and, from older versions, the standard preferences).
inline constexpr char kKLVHealthMonitorKey[] = "/nexory/measurement/health_monitor";
inline constexpr char kKLVMonitorMigrationStateKey[] =
    "/nexory/measurement/monitor_migration_state";

class KLVMonitor {
  public:
    // What creation reads of the process.
    struct Environment {
        std::vector<std::string> launchArguments;
        // Installed from the App Store: the switches then stay off whatever the arguments say.
        bool isFromAppStore = false;
        // The host framework's configuration class is present (it then sets the utilities
        // logger's level itself for its own debug arguments).
        bool hasHostConfiguration = true;

        // The process's launch arguments and installation.
        static Environment current();
    };

    // Level 6 and a new console backend.
    explicit KLVMonitor(std::int64_t libraryVersion);
    KLVMonitor(std::int64_t logLevel, std::shared_ptr<KLVASLLogger> logger,
               std::int64_t libraryVersion, Environment environment = Environment::current());
    // Runs the console writes and health-record work already queued, and saves a health record
    // whose delayed save is still pending.
    ~KLVMonitor();
    KLVMonitor(const KLVMonitor&) = delete;
    KLVMonitor& operator=(const KLVMonitor&) = delete;

    std::int64_t logLevel() const { return logLevel_.load(); }
    void setLogLevel(std::int64_t logLevel) { logLevel_.store(logLevel); }

    void setDebugModeEnabled(bool enabled);
    void setVerboseLoggingEnabled(bool enabled);
    bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
    bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_.load(); }

    // Print contexts in their privacy-reduced encoding (the measurement service sets it for App
    // Store installs).
    bool encodeContexts() const { return encodeContexts_.load(); }
    void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }

    // Category of the console lines; "<Brackenfold>" until the front door sets the host's tag.
    std::string logTag() const;
    void setLogTag(std::string logTag);

    // One report. The forms with one to three contexts wrap them into a list; a null context is
    // kept as null.
    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message);
    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                      MonitorContext context);
    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                      MonitorContext context1, MonitorContext context2);
    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                      MonitorContext context1, MonitorContext context2, MonitorContext context3);
    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                      const MonitorContexts& contexts);

    // The health record due for sending (see KLVMonitoringSampledData); waits for every report
    // queued before it.
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(
        double samplePeriod, double lastSampledTimestamp);
    // Forgets the health record and the stored debug flag (the measurement service's wipe).
    void clearMonitoringData();

    // The queue on which console writes and the health record run (tests wait on it).
    platform::DispatchQueue& monitorQueue() { return *monitorQueue_; }

    bool isLoggableLevel(std::int64_t level) const;

    // "ERROR", "WARNING", "NOTICE" or "DEBUG" for levels 0 to 7; nullopt for others.
    static std::optional<std::string> logLevelDescriptionFromLogLevel(std::int64_t level);
    static bool isSilentLevel(std::int64_t level);
    static bool isMonitorableLevel(std::int64_t level);
    // The contexts encoded and joined by ", " (or "," without spaces); "" for none.
    static std::string encodedStringWithContextArray(const MonitorContexts& contexts,
                                                     bool insertSpaces);
    // The console line: the message ("(Message was empty)" for an empty one), followed by ": "
    // and the contexts joined by ", ", encoded or described.
    static std::string stringWithLogMessage(std::string_view message, std::int64_t level,
                                            const MonitorContexts& contexts, bool encodeContexts);
    // "" for null, "-" for a text, the decade of a number ("42", "1000...9999",
    // "-999...-100"), the symbol of an exception or "-", the domain of an error or "-", "?" for
    // anything else.
    static std::string encodedStringWithContextObject(const MonitorContext& context);
    // The first engine symbol (containing "KLV", any case) in the exception's call stack, else
    // its name; nullopt for no exception.
    static std::optional<std::string> lastKLVSymbolFromException(const CaughtException* exception);
    // "1", the severity letter (E, W or ?), "_", the library version, ":" and the message.
    static std::string monitoringDataKeyWithMessage(std::string_view message, std::int64_t level,
                                                    std::int64_t libraryVersion);

  private:
    void logToConsole(std::int64_t messageCode, std::string line, std::int64_t level);
    void insertOrUpdateMonitoringDataWithMessage(std::string_view message,
                                                 std::string encodedContext, std::int64_t level);
    void applyLaunchSwitches(const Environment& environment);

    // On the monitor queue.
    void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    void saveMonitoringDataToUserDefaultsOnMonitorQueue();
    // A changed record is saved a second after the change that found none pending: a report per
    // event rewrites (and syncs) the file at most once a second.
    void scheduleSaveOnMonitorQueue();
    void migrateMonitorDataOnMonitorQueue();
    void synchronizeToDiskOnMonitorQueue();

    std::atomic<std::int64_t> logLevel_;
    const std::shared_ptr<KLVASLLogger> logger_;
    const std::int64_t libraryVersion_;
    const bool isFromAppStore_;
    bool deferToTRWLogger_ = false;
    std::atomic<bool> debugModeEnabled_{false};
    std::atomic<bool> verboseLoggingEnabled_{false};
    std::atomic<bool> encodeContexts_{false};

    mutable std::mutex logTagMutex_;
    std::string logTag_ = kKLVDefaultLogTag;
    // Touched only on the monitor queue.
    KLVMonitoringSampledData monitoringSampledData_;
    std::unique_ptr<platform::UserDefaults> monitorUserDefaults_;
    // The app's standard preferences, held by the monitor itself so that the queue never reaches
    // for a shared object that a test reset may be dropping.
    std::unique_ptr<platform::UserDefaults> standardUserDefaults_;
    // The delayed save, while one is pending (monitor queue only).
    std::shared_ptr<platform::Cancelable> pendingSave_;
    // Last, so that it is destroyed first: blocks still queued run while everything else lives.
    std::unique_ptr<platform::SerialQueue> monitorQueue_;
};

// The process's monitor, created on first use (once, thread-safe) with the library version and
// kept for the process; never fails. A test reset replaces it after the service has gone.
KLVMonitor& monitor();

}  // namespace engine
