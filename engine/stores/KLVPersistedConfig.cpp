#include "engine/stores/KLVPersistedConfig.h"

#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/base/KLVMonitor.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVPersistentDictionary.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/security/Random.h"

namespace engine {

using platform::Object;

namespace {

constexpr double kSynchronizeDelaySeconds = 1.0;
constexpr std::uint32_t kMillisecondsPerDay = 86'400'000;

// A uniformly drawn whole number of milliseconds in [0, 86,400,000), in seconds. Draws that would
// bias the modulo are thrown back; a failing random source gives what it wrote, as the phone's
// generator would.
double drawMidnightOffset() {
    constexpr std::uint32_t kLimit =
        std::numeric_limits<std::uint32_t>::max() / kMillisecondsPerDay * kMillisecondsPerDay;
    std::uint32_t draw = 0;
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::array<std::uint8_t, sizeof draw> bytes{};
        platform::randomBytes(bytes);
        std::memcpy(&draw, bytes.data(), sizeof draw);
        if (draw < kLimit) break;
    }
    return static_cast<double>(draw % kMillisecondsPerDay) / 1000.0;
}

std::shared_ptr<KLVPersistedConfig>& sharedSlot() {
    static std::shared_ptr<KLVPersistedConfig> slot;
    return slot;
}

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::string KLVPersistedConfigKey(std::string_view name) {
    return std::string(kKLVPersistedConfigKeyPrefix) + std::string(name);
}

std::shared_ptr<KLVPersistedConfig> KLVPersistedConfig::sharedInstance() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        platform::registerSharedReset("KLVPersistedConfig", [] {
            std::shared_ptr<KLVPersistedConfig> dropped;
            std::lock_guard lock(sharedMutex());
            dropped.swap(sharedSlot());
        });
    });
    std::shared_ptr<KLVPersistedConfig> shared;
    {
        std::lock_guard lock(sharedMutex());
        if (!sharedSlot()) sharedSlot() = initWithSuiteName(kKLVPersistedConfigName);
        shared = sharedSlot();
    }
    if (!shared) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 27001,
                               "PersistedConfig's shared instance is nil");
    }
    return shared;
}

std::shared_ptr<KLVPersistedConfig> KLVPersistedConfig::initWithSuiteName(std::string_view name) {
    if (name.empty()) return nullptr;
    KLVMigratePreferencesFile(name);
    return std::make_shared<KLVPersistedConfig>(Key{}, std::string(name),
                                                KLVPersistentDictionary::initWithFileName(name));
}

KLVPersistedConfig::KLVPersistedConfig(Key, std::string name,
                                       std::shared_ptr<KLVPersistentDictionary> store)
    : name_(std::move(name)),
      userDefaults_(std::move(store)),
      serialQueue_(std::make_unique<platform::SerialQueue>(kKLVPersistedConfigQueueLabel)),
      diskQueue_(std::make_unique<platform::SerialQueue>(kKLVPersistedConfigDiskQueueLabel)) {}

KLVPersistedConfig::~KLVPersistedConfig() {
    cancelScheduledSynchronize();
}

// --- Typed values --------------------------------------------------------------------------------

#define KLV_DEFINE_DOUBLE(getter, setter, key)           \
    double KLVPersistedConfig::getter() const {          \
        return doubleForKey(KLVPersistedConfigKey(key)); \
    }                                                    \
    void KLVPersistedConfig::setter(double value) {      \
        setDouble(value, KLVPersistedConfigKey(key));    \
    }
#define KLV_DEFINE_INT64(getter, setter, key)             \
    std::int64_t KLVPersistedConfig::getter() const {     \
        return int64ForKey(KLVPersistedConfigKey(key));   \
    }                                                     \
    void KLVPersistedConfig::setter(std::int64_t value) { \
        setInt64(value, KLVPersistedConfigKey(key));      \
    }
#define KLV_DEFINE_STRING(getter, setter, key)                                 \
    std::optional<std::string> KLVPersistedConfig::getter() const {            \
        return stringForKey(KLVPersistedConfigKey(key));                       \
    }                                                                          \
    void KLVPersistedConfig::setter(const std::optional<std::string>& value) { \
        setString(value, KLVPersistedConfigKey(key));                          \
    }
#define KLV_DEFINE_BOOL(getter, setter, key)                 \
    bool KLVPersistedConfig::getter() const {                \
        return int64ForKey(KLVPersistedConfigKey(key)) != 0; \
    }                                                        \
    void KLVPersistedConfig::setter(bool value) {            \
        setInt64(value ? 1 : 0, KLVPersistedConfigKey(key)); \
    }
#define KLV_DEFINE_OBJECT(getter, setter, key)                 \
    Object KLVPersistedConfig::getter() const {                \
        return objectForKey(KLVPersistedConfigKey(key));       \
    }                                                          \
    void KLVPersistedConfig::setter(const Object& value) {     \
        writeObject(value, KLVPersistedConfigKey(key), false); \
    }
KLV_PERSISTED_DOUBLES(KLV_DEFINE_DOUBLE)
KLV_PERSISTED_INT64S(KLV_DEFINE_INT64)
KLV_PERSISTED_STRINGS(KLV_DEFINE_STRING)
KLV_PERSISTED_BOOLS(KLV_DEFINE_BOOL)
KLV_PERSISTED_OBJECTS(KLV_DEFINE_OBJECT)
#undef KLV_DEFINE_DOUBLE
#undef KLV_DEFINE_INT64
#undef KLV_DEFINE_STRING
#undef KLV_DEFINE_BOOL
#undef KLV_DEFINE_OBJECT

// Read and written on the store directly, not on the queue.
Object KLVPersistedConfig::searchAdCampaignValue() const {
    if (!userDefaults_) return Object();
    return userDefaults_->numberForKey(KLVPersistedConfigKey(kKLVSearchAdCampaignKeyName));
}

void KLVPersistedConfig::setSearchAdCampaignValue(const Object& value) {
    if (!userDefaults_ || !value.isNumber()) return;
    userDefaults_->setObject(value, KLVPersistedConfigKey(kKLVSearchAdCampaignKeyName));
    scheduleSynchronizeToDisk();
}

Object KLVPersistedConfig::previousFirstOpenCount() const {
    return numberForKey(KLVPersistedConfigKey(kKLVPreviousFirstOpenCountKeyName));
}

void KLVPersistedConfig::setPreviousFirstOpenCount(const Object& value) {
    setNumber(value, KLVPersistedConfigKey(kKLVPreviousFirstOpenCountKeyName));
}

Object KLVPersistedConfig::configServerLastModifiedString() const {
    return objectForKey(KLVPersistedConfigKey(kKLVConfigServerLastModifiedKeyName));
}

void KLVPersistedConfig::setConfigServerLastModifiedString(
    const std::optional<std::string>& value) {
    setString(value, KLVPersistedConfigKey(kKLVConfigServerLastModifiedKeyName));
}

Object KLVPersistedConfig::adCampaignInfoBuffer() const {
    return objectForKey(KLVPersistedConfigKey(kKLVAdCampaignInfoBufferKeyName));
}

void KLVPersistedConfig::setAdCampaignInfoBuffer(const Object& value) {
    writeObject(value, KLVPersistedConfigKey(kKLVAdCampaignInfoBufferKeyName), true);
}

std::optional<platform::Dictionary> KLVPersistedConfig::defaultEventParameters() const {
    return dictionaryForKey(KLVPersistedConfigKey(kKLVDefaultEventParametersKeyName));
}

void KLVPersistedConfig::setDefaultEventParameters(
    const std::optional<platform::Dictionary>& value) {
    setDictionary(value, KLVPersistedConfigKey(kKLVDefaultEventParametersKeyName));
}

std::int64_t KLVPersistedConfig::measurementEnabledState() const {
    return int64ForKey(KLVPersistedConfigKey(kKLVMeasurementEnabledStateKeyName),
                       KLVUserDefaults::sharedUserDefaults());
}

void KLVPersistedConfig::setMeasurementEnabledState(std::int64_t state) {
    serialQueue_->sync([&] {
        auto& userDefaults = KLVUserDefaults::sharedUserDefaults();
        userDefaults.setInteger(state, KLVPersistedConfigKey(kKLVMeasurementEnabledStateKeyName));
        userDefaults.synchronize();
    });
}

double KLVPersistedConfig::midnightOffset() {
    const std::string key = KLVPersistedConfigKey(kKLVMidnightOffsetKeyName);
    return serialQueue_->syncResult([&] {
        if (!userDefaults_) {
            if (!volatileMidnightOffset_) volatileMidnightOffset_ = drawMidnightOffset();
            return *volatileMidnightOffset_;
        }
        if (const auto stored = userDefaults_->numberForKey(key).numberAsDouble()) return *stored;
        const double offset = drawMidnightOffset();
        userDefaults_->setDouble(offset, key);
        return offset;
    });
}

void KLVPersistedConfig::clearValues() {
    serialQueue_->sync([&] {
        if (userDefaults_) userDefaults_->clearAllData();
    });
}

// --- Generic access ------------------------------------------------------------------------------

// Reads and writes go to the store under its own lock, not through the queue: the main thread
// reads values here (the app instance ID, the session's last activity) that the worker keeps
// current, and must not wait behind the worker's turn on a queue.
Object KLVPersistedConfig::objectForKey(std::string_view key) const {
    if (key.empty() || !userDefaults_) return Object();
    return userDefaults_->objectForKey(key);
}

bool KLVPersistedConfig::boolForKey(std::string_view key) const {
    const auto number = numberForKey(key).numberAsDouble();
    return number && *number != 0;
}

std::int64_t KLVPersistedConfig::int64ForKey(std::string_view key) const {
    return numberForKey(key).numberAsInteger().value_or(0);
}

std::int64_t KLVPersistedConfig::int64ForKey(std::string_view key,
                                             const KLVConfigStore& userDefault) const {
    if (key.empty()) return 0;
    return userDefault.integerForKey(key);
}

double KLVPersistedConfig::doubleForKey(std::string_view key) const {
    return numberForKey(key).numberAsDouble().value_or(0.0);
}

std::optional<std::string> KLVPersistedConfig::stringForKey(std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* text = value.getString()) return *text;
    return std::nullopt;
}

std::optional<platform::Dictionary> KLVPersistedConfig::dictionaryForKey(
    std::string_view key) const {
    const Object value = objectForKey(key);
    if (const auto* dictionary = value.getDictionary()) return *dictionary;
    return std::nullopt;
}

Object KLVPersistedConfig::numberForKey(std::string_view key) const {
    Object value = objectForKey(key);
    return value.isNumber() ? value : Object();
}

void KLVPersistedConfig::setBool(bool value, std::string_view key) {
    writeObject(Object(value), key, true);
}

void KLVPersistedConfig::setInt64(std::int64_t value, std::string_view key) {
    writeObject(Object(value), key, true);
}

void KLVPersistedConfig::setDouble(double value, std::string_view key) {
    writeObject(Object(value), key, true);
}

void KLVPersistedConfig::setString(const std::optional<std::string>& value, std::string_view key) {
    writeObject(value ? Object(*value) : Object(), key, true);
}

void KLVPersistedConfig::setDictionary(const std::optional<platform::Dictionary>& value,
                                       std::string_view key) {
    const Object object = value ? Object(*value) : Object();
    if (!object.isNull() && !platform::isValidPropertyList(object)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 27002,
                               "Unsupported value passed in dictionary");
        return;
    }
    writeObject(object, key, true);
}

void KLVPersistedConfig::setNumber(const Object& value, std::string_view key) {
    writeObject(value.isNumber() ? value : Object(), key, true);
}

void KLVPersistedConfig::writeObject(const Object& value, std::string_view key, bool synchronize) {
    if (key.empty() || !userDefaults_) return;
    userDefaults_->setObject(value, key);
    if (synchronize) scheduleSynchronizeToDisk();
}

// --- Synchronizing -------------------------------------------------------------------------------

void KLVPersistedConfig::scheduleSynchronizeToDisk() {
    std::lock_guard lock(lock_);
    if (synchronizeBlock_) synchronizeBlock_->cancel();
    std::weak_ptr<KLVPersistedConfig> weakSelf = weak_from_this();
    // Not on the store's queue: every read waits there, and a write can take a while.
    synchronizeBlock_ = diskQueue_->after(kSynchronizeDelaySeconds, [weakSelf] {
        if (auto self = weakSelf.lock()) self->synchronizeToDisk();
    });
}

void KLVPersistedConfig::cancelScheduledSynchronize() {
    std::lock_guard lock(lock_);
    if (synchronizeBlock_) synchronizeBlock_->cancel();
    synchronizeBlock_.reset();
}

void KLVPersistedConfig::synchronizeToDisk() {
    cancelScheduledSynchronize();
    if (userDefaults_) userDefaults_->synchronize();
}

void KLVPersistedConfig::synchronizeToDiskInBackground(std::function<void()> done) {
    std::weak_ptr<KLVPersistedConfig> weakSelf = weak_from_this();
    diskQueue_->async([weakSelf, done = std::move(done)] {
        if (auto self = weakSelf.lock()) self->synchronizeToDisk();
        if (done) done();
    });
}

}  // namespace engine
