#include "engine/base/KLVMonitor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVErrors.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/utilities/WDLLogger.h"

namespace engine {

namespace {

// From this level up every level is silent and monitorable.
constexpr std::int64_t kFirstUnnamedLevel = 9;
constexpr unsigned kSilentLevels = 0x24;       // 2 and 5
constexpr unsigned kMonitorableLevels = 0x36;  // 1, 2, 4 and 5

constexpr std::array<std::string_view, 8> kLevelDescriptions = {
    "ERROR", "ERROR", "ERROR", "WARNING", "WARNING", "WARNING", "NOTICE", "DEBUG"};

// Launch arguments of the switches. The first rule that applies decides: an "off" argument, then
// the stored flag or an "on" argument; with none the switch is left alone.
struct SwitchArguments {
    std::span<const std::string_view> off;
    std::span<const std::string_view> on;
};
constexpr std::string_view kDebugOff[] = {"-noKLVAnalyticsDebugEnabled",
                                          "-noTRWAnalyticsDebugEnabled", "-TRWDebugDisabled"};
constexpr std::string_view kDebugOn[] = {"-KLVAnalyticsDebugEnabled", "-TRWAnalyticsDebugEnabled",
                                         "-TRWDebugEnabled"};
constexpr std::string_view kVerboseOff[] = {"-KLVAnalyticsVerboseLoggingDisabled",
                                            "-TRWAnalyticsVerboseLoggingDisabled"};
constexpr std::string_view kVerboseOn[] = {"-KLVAnalyticsVerboseLoggingEnabled",
                                           "-TRWAnalyticsVerboseLoggingEnabled"};
constexpr SwitchArguments kDebugArguments = {kDebugOff, kDebugOn};
constexpr SwitchArguments kVerboseArguments = {kVerboseOff, kVerboseOn};
// The host's own debug arguments: with them the host sets the utilities logger's level.
constexpr std::string_view kHostDebugArguments[] = {"-TRWDebugDisabled", "-TRWDebugEnabled"};

bool containsAny(const std::vector<std::string>& arguments,
                 std::span<const std::string_view> wanted) {
    return std::any_of(arguments.begin(), arguments.end(), [&](const std::string& argument) {
        return std::find(wanted.begin(), wanted.end(), argument) != wanted.end();
    });
}

std::optional<bool> switchDecision(const std::vector<std::string>& arguments,
                                   const SwitchArguments& names, bool storedFlag) {
    if (containsAny(arguments, names.off)) return false;
    if (storedFlag || containsAny(arguments, names.on)) return true;
    return std::nullopt;
}

bool storedFlag(platform::UserDefaults& defaults, std::string_view key) {
    const platform::Object value = defaults.objectForKey(key);
    return value.numberAsInteger().value_or(0) != 0;
}

// longLongValue of a number object: doubles truncated toward zero and saturated, NaN as 0.
std::int64_t integerValue(const platform::Object& number) {
    if (const auto* d = number.getDouble()) {
        if (std::isnan(*d)) return 0;
        if (*d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
        if (*d < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(*d);
    }
    return number.numberAsInteger().value_or(0);
}

// The decade that holds v ("100...999", "-999...-100"), v itself within -99 to 99. Worked on the
// unsigned magnitude so that the decade of 10^18 and above, and of the most negative number,
// neither overflows nor loses a digit to floating-point rounding.
std::string encodedNumber(std::int64_t v) {
    const bool negative = v < 0;
    const auto bits = static_cast<std::uint64_t>(v);
    const std::uint64_t magnitude = negative ? ~bits + 1 : bits;
    if (magnitude <= 99) return platform::formatString("%lld", v);
    std::uint64_t low = 1;
    while (magnitude / low >= 10)
        low *= 10;
    const std::uint64_t high = low * 10 - 1;
    if (negative) return platform::formatString("-%llu...-%llu", high, low);
    return platform::formatString("%llu...%llu", low, high);
}

// The first engine symbol in the call stack, without the fallback to the exception's name.
std::optional<std::string> klvSymbolInCallStack(const CaughtException& exception) {
    const auto& lines = exception.callStackSymbols;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        std::vector<std::string_view> parts;
        std::string_view line = lines[i];
        while (!line.empty()) {
            const std::size_t start = line.find_first_not_of(" \t");
            if (start == std::string_view::npos) break;
            line.remove_prefix(start);
            const std::size_t end = std::min(line.find_first_of(" \t"), line.size());
            parts.push_back(line.substr(0, end));
            line.remove_prefix(end);
        }
        if (parts.size() < 5) continue;
        std::string symbol(parts[3]);
        if (parts[4] != "+") symbol.append(" ").append(parts[4]);
        if (platform::asciiLowercase(symbol).find("klv") != std::string::npos) return symbol;
    }
    return std::nullopt;
}

std::string describeContext(const MonitorContext& context) {
    if (context.isNull()) return "(nil)";
    if (const auto* object = context.object()) return platform::displayText(*object);
    if (const auto* error = context.error()) return describeError(*error);
    // The engine symbol (else the exception's name) and what the exception says, when it says
    // anything: "std::runtime_error: boom", or "int" for a thrown number.
    const auto& exception = *context.exception();
    const std::string symbol = KLVMonitor::lastKLVSymbolFromException(&exception).value_or("");
    if (exception.reason.empty()) return symbol;
    if (symbol.empty()) return exception.reason;
    return platform::formatString("%@: %@", symbol, exception.reason);
}

char severityLetter(std::int64_t level) {
    if (level >= 0 && level <= 2) return 'E';
    if (level >= 3 && level <= 5) return 'W';
    return '?';
}

}  // namespace

KLVMonitor::Environment KLVMonitor::Environment::current() {
    Environment environment;
    environment.launchArguments = platform::ProcessInfo::processInfo().arguments();
    environment.isFromAppStore = KLVAEU::isFAS();
    // The host framework is part of every build of this process.
    environment.hasHostConfiguration = true;
    return environment;
}

KLVMonitor::KLVMonitor(std::int64_t libraryVersion)
    : KLVMonitor(kKLVLogNotice, std::make_shared<KLVASLLogger>(), libraryVersion) {}

KLVMonitor::KLVMonitor(std::int64_t logLevel, std::shared_ptr<KLVASLLogger> logger,
                       std::int64_t libraryVersion, Environment environment)
    : logLevel_(logLevel),
      logger_(std::move(logger)),
      libraryVersion_(libraryVersion),
      isFromAppStore_(environment.isFromAppStore) {
    monitorQueue_ = std::make_unique<platform::SerialQueue>(kKLVMonitorQueueLabel);
    monitorUserDefaults_ = std::make_unique<platform::UserDefaults>(kKLVMonitorSuiteName);
    standardUserDefaults_ = std::make_unique<platform::UserDefaults>();
    monitorQueue_->async([this] {
        migrateMonitorDataOnMonitorQueue();
        loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    });
    if (isFromAppStore_) return;
    deferToTRWLogger_ = environment.hasHostConfiguration &&
                        containsAny(environment.launchArguments, kHostDebugArguments);
    applyLaunchSwitches(environment);
}

KLVMonitor::~KLVMonitor() {
    monitorQueue_->sync([this] {
        if (pendingSave_) saveMonitoringDataToUserDefaultsOnMonitorQueue();
    });
}

namespace {
constexpr double kSaveDelaySeconds = 1;
}  // namespace

void KLVMonitor::scheduleSaveOnMonitorQueue() {
    if (pendingSave_) return;
    pendingSave_ = monitorQueue_->after(kSaveDelaySeconds, [this] {
        pendingSave_.reset();
        saveMonitoringDataToUserDefaultsOnMonitorQueue();
    });
}

void KLVMonitor::applyLaunchSwitches(const Environment& environment) {
    auto& standard = *standardUserDefaults_;
    const auto debug = switchDecision(environment.launchArguments, kDebugArguments,
                                      storedFlag(standard, kKLVDebugModeKey));
    if (debug) setDebugModeEnabled(*debug);
    const auto verbose = switchDecision(environment.launchArguments, kVerboseArguments,
                                        storedFlag(standard, kKLVVerboseLoggingKey));
    if (verbose) setVerboseLoggingEnabled(*verbose);
}

void KLVMonitor::setDebugModeEnabled(bool enabled) {
    auto& standard = *standardUserDefaults_;
    if (enabled && !isFromAppStore_) {
        setLogLevel(kKLVLogDebug);
        if (!deferToTRWLogger_) platform::WDLSetLoggerLevel(platform::kWDLLoggerLevelDebug);
        standard.setObject(true, kKLVDebugModeKey);
        logWithLevel(kKLVLogDebug, 24000, "Debug mode is on");
        debugModeEnabled_.store(true);
        return;
    }
    setLogLevel(kKLVLogNotice);
    if (!deferToTRWLogger_) platform::WDLSetLoggerLevel(platform::kWDLLoggerLevelNotice);
    standard.removeObjectForKey(kKLVDebugModeKey);
    logWithLevel(kKLVLogDebug, 24001, "Debug mode is off");
    debugModeEnabled_.store(false);
}

void KLVMonitor::setVerboseLoggingEnabled(bool enabled) {
    auto& standard = *standardUserDefaults_;
    if (enabled && !isFromAppStore_) {
        setLogLevel(kKLVLogVerbose);
        if (!deferToTRWLogger_) platform::WDLSetLoggerLevel(platform::kWDLLoggerLevelDebug);
        standard.setObject(true, kKLVVerboseLoggingKey);
        // On before the line, which verbose logging alone lets through.
        verboseLoggingEnabled_.store(true);
        logWithLevel(kKLVLogVerbose, 24003, "Verbose logging is on");
        return;
    }
    const std::int64_t level = isDebugModeEnabled() ? kKLVLogDebug : kKLVLogNotice;
    setLogLevel(level);
    if (!deferToTRWLogger_) {
        platform::WDLSetLoggerLevel(KLVASLLogger::WDLLoggerLevelFromLogLevel(level));
    }
    standard.removeObjectForKey(kKLVVerboseLoggingKey);
    logWithLevel(kKLVLogVerbose, 24004, "Verbose logging is off");
    verboseLoggingEnabled_.store(false);
}

std::string KLVMonitor::logTag() const {
    std::lock_guard lock(logTagMutex_);
    return logTag_;
}

void KLVMonitor::setLogTag(std::string logTag) {
    std::lock_guard lock(logTagMutex_);
    logTag_ = std::move(logTag);
}

void KLVMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                              std::string_view message) {
    if (!isLoggableLevel(level) && !isMonitorableLevel(level)) return;
    logWithLevel(level, messageCode, message, MonitorContexts{});
}

void KLVMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                              std::string_view message, MonitorContext context) {
    if (!isLoggableLevel(level) && !isMonitorableLevel(level)) return;
    logWithLevel(level, messageCode, message, MonitorContexts{std::move(context)});
}

void KLVMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                              std::string_view message, MonitorContext context1,
                              MonitorContext context2) {
    if (!isLoggableLevel(level) && !isMonitorableLevel(level)) return;
    logWithLevel(level, messageCode, message,
                 MonitorContexts{std::move(context1), std::move(context2)});
}

void KLVMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                              std::string_view message, MonitorContext context1,
                              MonitorContext context2, MonitorContext context3) {
    if (!isLoggableLevel(level) && !isMonitorableLevel(level)) return;
    logWithLevel(level, messageCode, message,
                 MonitorContexts{std::move(context1), std::move(context2), std::move(context3)});
}

void KLVMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                              std::string_view message, const MonitorContexts& contexts) {
    const bool loggable = isLoggableLevel(level);
    const bool monitorable = isMonitorableLevel(level);
    if (!loggable && !monitorable) return;
    if (level >= kKLVLogVerbose && !isVerboseLoggingEnabled()) return;
    if (loggable) {
        logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encodeContexts()),
                     level);
    }
    if (monitorable) {
        std::string encoded = encodedStringWithContextArray(contexts, false);
        const std::string monitorContexts = KLVMonitorContextsFromErrors(contexts);
        if (!monitorContexts.empty()) encoded.append(",").append(monitorContexts);
        insertOrUpdateMonitoringDataWithMessage(message, std::move(encoded), level);
    }
}

std::optional<std::string> KLVMonitor::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
    std::optional<std::string> data;
    monitorQueue_->sync([&] {
        const bool hadSlot = monitoringSampledData_.sampledData().has_value();
        data = monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(
            samplePeriod, lastSampledTimestamp);
        if (hadSlot && !monitoringSampledData_.sampledData()) {
            saveMonitoringDataToUserDefaultsOnMonitorQueue();
        }
    });
    return data;
}

void KLVMonitor::clearMonitoringData() {
    monitorQueue_->sync([this] {
        auto& standard = *standardUserDefaults_;
        standard.removeObjectForKey(kKLVDebugModeKey);
        standard.removeObjectForKey(kKLVHealthMonitorKey);
        monitorUserDefaults_->removeObjectForKey(kKLVHealthMonitorKey);
        loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    });
}

bool KLVMonitor::isLoggableLevel(std::int64_t level) const {
    return platform::WDLIsLoggableLevel(KLVASLLogger::WDLLoggerLevelFromLogLevel(level)) &&
           !isSilentLevel(level);
}

std::optional<std::string> KLVMonitor::logLevelDescriptionFromLogLevel(std::int64_t level) {
    if (level < 0 || level >= static_cast<std::int64_t>(kLevelDescriptions.size())) {
        return std::nullopt;
    }
    return std::string(kLevelDescriptions[static_cast<std::size_t>(level)]);
}

bool KLVMonitor::isSilentLevel(std::int64_t level) {
    if (level >= kFirstUnnamedLevel) return true;
    return level >= 0 && ((kSilentLevels >> level) & 1u) != 0;
}

bool KLVMonitor::isMonitorableLevel(std::int64_t level) {
    if (level >= kFirstUnnamedLevel) return true;
    return level >= 0 && ((kMonitorableLevels >> level) & 1u) != 0;
}

std::string KLVMonitor::encodedStringWithContextArray(const MonitorContexts& contexts,
                                                      bool insertSpaces) {
    std::string joined;
    const std::string_view separator = insertSpaces ? ", " : ",";
    for (std::size_t i = 0; i < contexts.size(); ++i) {
        if (i > 0) joined += separator;
        joined += encodedStringWithContextObject(contexts[i]);
    }
    return joined;
}

std::string KLVMonitor::stringWithLogMessage(std::string_view message, std::int64_t /*level*/,
                                             const MonitorContexts& contexts, bool encodeContexts) {
    std::string line = message.empty() ? "(Message was empty)" : std::string(message);
    if (contexts.empty()) return line;
    line += ": ";
    if (encodeContexts) return line + encodedStringWithContextArray(contexts, true);
    for (std::size_t i = 0; i < contexts.size(); ++i) {
        if (i > 0) line += ", ";
        line += describeContext(contexts[i]);
    }
    return line;
}

std::string KLVMonitor::encodedStringWithContextObject(const MonitorContext& context) {
    if (context.isNull()) return "";
    if (const auto* error = context.error()) return error->domain.empty() ? "-" : error->domain;
    if (const auto* exception = context.exception()) {
        return klvSymbolInCallStack(*exception).value_or("-");
    }
    const auto& object = *context.object();
    if (object.isString()) return "-";
    if (object.isNumber()) return encodedNumber(integerValue(object));
    return "?";
}

std::optional<std::string> KLVMonitor::lastKLVSymbolFromException(
    const CaughtException* exception) {
    if (!exception) return std::nullopt;
    if (exception->callStackSymbols.size() < 2) return exception->name;
    return klvSymbolInCallStack(*exception).value_or(exception->name);
}

std::string KLVMonitor::monitoringDataKeyWithMessage(std::string_view message, std::int64_t level,
                                                     std::int64_t libraryVersion) {
    return platform::formatString("%@%c_%lld:%@", "1", severityLetter(level), libraryVersion,
                                  message);
}

void KLVMonitor::logToConsole(std::int64_t messageCode, std::string line, std::int64_t level) {
    monitorQueue_->async([this, messageCode, line = std::move(line), level] {
        logger_->logMessage(line, logTag(), messageCode, level);
    });
}

void KLVMonitor::insertOrUpdateMonitoringDataWithMessage(std::string_view message,
                                                         std::string encodedContext,
                                                         std::int64_t level) {
    // The time is the report's, not the moment the queue gets to it.
    monitorQueue_->async([this, key = monitoringDataKeyWithMessage(message, level, libraryVersion_),
                          encodedContext = std::move(encodedContext),
                          reportedAt = platform::Date{platform::Clock::current().now()}] {
        monitoringSampledData_.insertOrUpdateSampledDataWithKey(key, encodedContext, reportedAt);
        scheduleSaveOnMonitorQueue();
    });
}

void KLVMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
    monitoringSampledData_ =
        KLVMonitoringSampledData(monitorUserDefaults_->objectForKey(kKLVHealthMonitorKey));
}

void KLVMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
    if (pendingSave_) {
        pendingSave_->cancel();
        pendingSave_.reset();
    }
    if (const auto slot = monitoringSampledData_.sampledData()) {
        monitorUserDefaults_->setObject(*slot, kKLVHealthMonitorKey);
    } else {
        monitorUserDefaults_->removeObjectForKey(kKLVHealthMonitorKey);
    }
    synchronizeToDiskOnMonitorQueue();
}

void KLVMonitor::migrateMonitorDataOnMonitorQueue() {
    auto& standard = *standardUserDefaults_;
    auto& suite = *monitorUserDefaults_;
    const auto state = suite.objectForKey(kKLVMonitorMigrationStateKey).numberAsInteger();
    const std::int64_t current = state.value_or(0);
    if (current != 0 && current != 1) return;  // 2 is done; anything else is not ours to touch
    if (current == 0) {
        const platform::Object old = standard.objectForKey(kKLVHealthMonitorKey);
        if (old.isArray() && suite.objectForKey(kKLVHealthMonitorKey).isNull()) {
            suite.setObject(old, kKLVHealthMonitorKey);
        }
        suite.setObject(1, kKLVMonitorMigrationStateKey);
        synchronizeToDiskOnMonitorQueue();
    }
    standard.removeObjectForKey(kKLVHealthMonitorKey);
    standard.synchronize();
    suite.setObject(2, kKLVMonitorMigrationStateKey);
    synchronizeToDiskOnMonitorQueue();
}

void KLVMonitor::synchronizeToDiskOnMonitorQueue() {
    monitorUserDefaults_->synchronize();
}

}  // namespace engine
