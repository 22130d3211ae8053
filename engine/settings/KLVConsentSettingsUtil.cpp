#include "engine/settings/KLVConsentSettingsUtil.h"

#include <atomic>
#include <map>
#include <utility>

#include "engine/base/KLVBoolValue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace {

constexpr char kQueueLabel[] = "KLVConsentSettingsUtilQueue";

using DiagnosticTable = std::map<std::string, std::int64_t, std::less<>>;

struct ConsentState {
    std::optional<platform::Dictionary> consentSettings;
    std::optional<platform::Dictionary> defaultSettings;
    std::optional<platform::Dictionary> delegatedSettings;
    std::optional<platform::Dictionary> regionalDefaults;
    std::int64_t consentSource = kKLVConsentSourceNone;
    std::int64_t version = 1;
    std::optional<DiagnosticTable> diagnosticSources;
};

// The state and the queue that guards it. The queue is declared last so that it is destroyed
// first: blocks still queued run while the state lives.
// Process-wide, so that a state made anew never repeats a count an older one answered.
std::atomic<std::uint64_t> gChangeCount{0};

struct ConsentCenter {
    ConsentCenter() { gChangeCount.fetch_add(1, std::memory_order_acq_rel); }
    ConsentState state;
    // Whether analytics storage is denied, as of the last change applied on the queue, and how
    // many changes are queued and not applied yet.
    std::atomic<bool> analyticsStorageDenied{false};
    std::atomic<std::int64_t> consentSource{kKLVConsentSourceNone};
    std::atomic<int> pendingChanges{0};
    platform::SerialQueue queue{kQueueLabel};
};

ConsentCenter& center() {
    return platform::SharedInstance<ConsentCenter>::get();
}

template <typename F>
auto onQueue(F&& read) {
    auto& c = center();
    return c.queue.syncResult([&] { return read(c.state); });
}

bool analyticsStorageDeniedIn(const ConsentState& state);

// On the queue, after every change of the state, whoever made it: the values read without
// waiting follow it, and the change count moves, so that a reader keeping what it made of the
// state (the metadata record of stored events) makes it again. Counted after the write: a reader
// that took the count before and the state after merely makes its record once more.
void publish(ConsentCenter& c) {
    c.analyticsStorageDenied.store(analyticsStorageDeniedIn(c.state));
    c.consentSource.store(c.state.consentSource);
    gChangeCount.fetch_add(1, std::memory_order_acq_rel);
}

template <typename F>
void queued(F&& write) {
    auto& c = center();
    // Counted when queued and again once applied, so that whatever was read in between is
    // taken for stale.
    gChangeCount.fetch_add(1, std::memory_order_acq_rel);
    c.pendingChanges.fetch_add(1);
    c.queue.async([&c, write = std::forward<F>(write)]() mutable {
        write(c.state);
        publish(c);
        c.pendingChanges.fetch_sub(1);
    });
}

// --- Values -------------------------------------------------------------------------------

const platform::Object* valueFor(const std::optional<platform::Dictionary>& settings,
                                 std::string_view type) {
    if (!settings) return nullptr;
    const auto it = settings->find(type);
    return it == settings->end() ? nullptr : &it->second;
}

bool hasValue(const std::optional<platform::Dictionary>& settings, std::string_view type) {
    return valueFor(settings, type) != nullptr;
}

bool isValue(const platform::Object* value, std::string_view expected) {
    const auto* text = value ? value->getString() : nullptr;
    return text && platform::asciiLowercase(*text) == expected;
}

bool isDenied(const platform::Object* value) {
    return isValue(value, kKLVConsentDenied);
}

bool analyticsStorageDeniedIn(const ConsentState& state) {
    return isDenied(valueFor(state.consentSettings, kKLVConsentTypeAnalyticsStorage));
}
bool isGranted(const platform::Object* value) {
    return isValue(value, kKLVConsentGranted);
}

bool isPolicyMarker(std::string_view type, const platform::Object* value) {
    return (type == kKLVConsentTypeAdUserData || type == kKLVConsentTypeAdPersonalization) &&
           isValue(value, kKLVConsentEUConsentPolicy);
}

// What "eu_consent_policy" stands for: the regional default of the type, else denied for the two
// types that honour the marker.
platform::Object resolvedPolicyValue(const ConsentState& state, std::string_view type) {
    if (const auto* regional = valueFor(state.regionalDefaults, type)) return *regional;
    const bool honoured =
        type == kKLVConsentTypeAdUserData || type == kKLVConsentTypeAdPersonalization;
    return platform::Object(honoured ? kKLVConsentDenied : kKLVConsentGranted);
}

// The consent settings' value of the type with the policy marker resolved; null when unset.
platform::Object ownValue(const ConsentState& state, std::string_view type) {
    const auto* value = valueFor(state.consentSettings, type);
    if (!value) return {};
    if (isPolicyMarker(type, value)) return resolvedPolicyValue(state, type);
    return *value;
}

bool adUserDataDenied(const ConsentState& state) {
    platform::Object value = ownValue(state, kKLVConsentTypeAdUserData);
    if (value.isNull()) {
        const auto* delegate = valueFor(state.delegatedSettings, kKLVConsentTypeAdUserData);
        const auto* delegateType = delegate ? delegate->getString() : nullptr;
        if (delegateType) {
            if (const auto* delegated = valueFor(state.consentSettings, *delegateType)) {
                return isDenied(delegated);
            }
        }
    }
    if (value.isNull()) {
        if (const auto* fallback = valueFor(state.defaultSettings, kKLVConsentTypeAdUserData)) {
            value = *fallback;
        }
    }
    return isDenied(&value);
}

std::optional<std::int64_t> adPersonalizationValue(const ConsentState& state) {
    platform::Object value = ownValue(state, kKLVConsentTypeAdPersonalization);
    if (value.isNull()) {
        if (const auto* fallback =
                valueFor(state.defaultSettings, kKLVConsentTypeAdPersonalization)) {
            value = *fallback;
        }
    }
    if (isDenied(&value)) return 0;
    if (isGranted(&value)) return 1;
    return std::nullopt;
}

// --- Diagnostics --------------------------------------------------------------------------

struct SourceCode {
    std::int64_t source;
    std::int64_t code;
};
constexpr SourceCode kSourceCodes[] = {
    {kKLVConsentSourceTCF, kKLVConsentDiagnosticTCF},
    {kKLVConsentSourcePublicAPI, kKLVConsentDiagnosticConsentCall},
    {kKLVConsentSourceInfoPlist, kKLVConsentDiagnosticInfoPlist},
    {kKLVConsentSourceInternalAPI, kKLVConsentDiagnosticConsentCall},
    {kKLVConsentSourceStartOptions, kKLVConsentDiagnosticStartOptions},
};

std::int64_t diagnosticCodeForSource(std::int64_t source) {
    for (const auto& entry : kSourceCodes) {
        if (entry.source == source) return entry.code;
    }
    return kKLVConsentDiagnosticNone;
}

void resetDiagnosticSources(ConsentState& state) {
    DiagnosticTable table;
    for (const auto type : kKLVConsentTypes)
        table.emplace(type, kKLVConsentDiagnosticNone);
    state.diagnosticSources = std::move(table);
}

DiagnosticTable& diagnosticTable(ConsentState& state) {
    if (!state.diagnosticSources) resetDiagnosticSources(state);
    return *state.diagnosticSources;
}

bool endsWithStorage(std::string_view type) {
    constexpr std::string_view kSuffix = "_storage";
    return type.size() >= kSuffix.size() && type.substr(type.size() - kSuffix.size()) == kSuffix;
}

void refreshDiagnosticSources(ConsentState& state, bool useCurrentSource) {
    auto& table = diagnosticTable(state);
    for (const auto type : kKLVConsentTypes) {
        auto& code = table[std::string(type)];
        if (const auto* value = valueFor(state.consentSettings, type)) {
            if (useCurrentSource) code = diagnosticCodeForSource(state.consentSource);
            if (isPolicyMarker(type, value)) code = kKLVConsentDiagnosticEUConsentPolicy;
        } else if (type == kKLVConsentTypeAdUserData &&
                   hasValue(state.delegatedSettings, kKLVConsentTypeAdUserData)) {
            code = kKLVConsentDiagnosticDelegated;
        } else if (hasValue(state.defaultSettings, type) && !endsWithStorage(type)) {
            code = kKLVConsentDiagnosticConfigDefault;
        } else {
            code = kKLVConsentDiagnosticNotSet;
        }
    }
}

void merge(ConsentState& state, const platform::Dictionary& settings) {
    auto merged = state.consentSettings.value_or(platform::Dictionary{});
    for (const auto& [type, value] : settings)
        merged.insert_or_assign(type, value);
    state.consentSettings = std::move(merged);
}

bool isConsentType(std::string_view key) {
    for (const auto type : kKLVConsentTypes) {
        if (type == key) return true;
    }
    return false;
}

bool equalPriority(std::int64_t current, std::int64_t candidate) {
    const auto isTCFOrPublic = [](std::int64_t source) {
        return source == kKLVConsentSourceTCF || source == kKLVConsentSourcePublicAPI;
    };
    return candidate == current || (isTCFOrPublic(candidate) && isTCFOrPublic(current));
}

void mergeFromSource(ConsentState& s, const platform::Dictionary& settings,
                     std::int64_t consentSource) {
    merge(s, settings);
    s.consentSource = consentSource;
    auto& table = diagnosticTable(s);
    for (const auto& [type, value] : settings) {
        if (isConsentType(type)) table[type] = diagnosticCodeForSource(consentSource);
    }
}

// --- Info.plist ---------------------------------------------------------------------------

std::optional<std::string> consentValueFromInfoPlistValue(std::string_view type,
                                                          const platform::Object& value) {
    const auto* text = value.getString();
    const bool honoursPolicy =
        type == kKLVConsentTypeAdUserData || type == kKLVConsentTypeAdPersonalization;
    if (text && honoursPolicy && platform::asciiLowercase(*text) == kKLVConsentEUConsentPolicy) {
        return std::string(kKLVConsentEUConsentPolicy);
    }
    const auto granted = KLVBoolValue(value);
    if (!granted) return std::nullopt;
    return std::string(*granted ? kKLVConsentGranted : kKLVConsentDenied);
}

struct PlistDefault {
    const char* type;
    const char* key;
    bool onlyStrings;  // a Boolean under this key means something else
};
constexpr PlistDefault kPlistDefaults[] = {
    {kKLVConsentTypeAdStorage, kKLVInfoPlistDefaultAllowAdStorage, false},
    {kKLVConsentTypeAnalyticsStorage, kKLVInfoPlistDefaultAllowAnalyticsStorage, false},
    {kKLVConsentTypeAdUserData, kKLVInfoPlistDefaultAllowAdUserData, false},
    {kKLVConsentTypeAdPersonalization, kKLVInfoPlistDefaultAllowAdPersonalizationSignals, true},
};

// --- Texts --------------------------------------------------------------------------------

char signalCharacter(const platform::Object* value) {
    if (isDenied(value)) return '0';
    if (isGranted(value)) return '1';
    return '-';
}

std::string displayValue(const ConsentState& state, std::string_view type,
                         const platform::Object* value) {
    if (!value) return kKLVConsentGranted;
    if (isPolicyMarker(type, value)) {
        return platform::formatString("%@ (eu_consent_policy)", resolvedPolicyValue(state, type));
    }
    return platform::formatString("%@", *value);
}

std::string describeState(const ConsentState& s) {
    const auto display = [&](std::string_view type) {
        return displayValue(s, type, valueFor(s.consentSettings, type));
    };
    std::string text = platform::formatString(
        "%@ is %@. %@ is %@.", kKLVConsentTypeAdStorage, display(kKLVConsentTypeAdStorage),
        kKLVConsentTypeAnalyticsStorage, display(kKLVConsentTypeAnalyticsStorage));
    for (const auto type : {kKLVConsentTypeAdUserData, kKLVConsentTypeAdPersonalization}) {
        if (hasValue(s.consentSettings, type)) {
            text += platform::formatString(" %@ is %@.", type, display(type));
        }
    }
    return text;
}

}  // namespace

std::optional<std::string> KLVConsentTypeName(std::int64_t type) {
    if (type < 1 || type > static_cast<std::int64_t>(kKLVConsentTypes.size())) return std::nullopt;
    return std::string(kKLVConsentTypes[static_cast<std::size_t>(type - 1)]);
}

std::optional<std::string> KLVConsentStatusString(std::int64_t status) {
    if (status == 1) return std::string(kKLVConsentGranted);
    if (status == 2) return std::string(kKLVConsentDenied);
    return std::nullopt;
}

platform::DispatchQueue& KLVConsentSettingsUtil::serialQueue() {
    return center().queue;
}

std::optional<platform::Dictionary> KLVConsentSettingsUtil::consentSettings() {
    return onQueue([](const ConsentState& s) { return s.consentSettings; });
}
std::optional<platform::Dictionary> KLVConsentSettingsUtil::defaultSettings() {
    return onQueue([](const ConsentState& s) { return s.defaultSettings; });
}
std::optional<platform::Dictionary> KLVConsentSettingsUtil::delegatedSettings() {
    return onQueue([](const ConsentState& s) { return s.delegatedSettings; });
}
std::optional<platform::Dictionary> KLVConsentSettingsUtil::regionalDefaults() {
    return onQueue([](const ConsentState& s) { return s.regionalDefaults; });
}
std::int64_t KLVConsentSettingsUtil::consentSource() {
    return onQueue([](const ConsentState& s) { return s.consentSource; });
}
std::int64_t KLVConsentSettingsUtil::version() {
    return onQueue([](const ConsentState& s) { return s.version; });
}

void KLVConsentSettingsUtil::setConsentSource(std::int64_t source) {
    queued([source](ConsentState& s) {
        s.consentSource = source;
        refreshDiagnosticSources(s, true);
    });
}

std::uint64_t KLVConsentSettingsUtil::changeCount() {
    center();
    return gChangeCount.load(std::memory_order_acquire);
}

void KLVConsentSettingsUtil::setVersion(std::int64_t version) {
    if (version != 1 && version != 2) return;
    queued([version](ConsentState& s) { s.version = version; });
}

void KLVConsentSettingsUtil::setConsentSettings(std::optional<platform::Dictionary> settings) {
    queued([settings = std::move(settings)](ConsentState& s) {
        s.consentSettings = settings;
        if (!settings) {
            s.consentSource = kKLVConsentSourceNone;
            refreshDiagnosticSources(s, true);
        }
    });
}

void KLVConsentSettingsUtil::setDefaultSettings(std::optional<platform::Dictionary> settings) {
    queued([settings = std::move(settings)](ConsentState& s) { s.defaultSettings = settings; });
}
void KLVConsentSettingsUtil::setDelegatedSettings(std::optional<platform::Dictionary> settings) {
    queued([settings = std::move(settings)](ConsentState& s) { s.delegatedSettings = settings; });
}
void KLVConsentSettingsUtil::setRegionalDefaults(std::optional<platform::Dictionary> settings) {
    queued([settings = std::move(settings)](ConsentState& s) { s.regionalDefaults = settings; });
}

void KLVConsentSettingsUtil::updateSettings(platform::Dictionary settings) {
    queued([settings = std::move(settings)](ConsentState& s) { merge(s, settings); });
}

void KLVConsentSettingsUtil::updateSettings(platform::Dictionary settings,
                                            std::int64_t consentSource) {
    queued([settings = std::move(settings), consentSource](ConsentState& s) {
        mergeFromSource(s, settings, consentSource);
    });
}

KLVConsentSettingsUtil::SourceUpdate KLVConsentSettingsUtil::updateSettingsFromSource(
    platform::Dictionary settings, std::int64_t consentSource, bool describe) {
    auto& c = center();
    c.pendingChanges.fetch_add(1);
    auto update = c.queue.syncResult([&] {
        SourceUpdate result;
        auto& s = c.state;
        if (!equalPriority(s.consentSource, consentSource) && s.consentSource < consentSource) {
            return result;
        }
        const bool wasAdUserDataDenied = adUserDataDenied(s);
        mergeFromSource(s, settings, consentSource);
        publish(c);
        result.accepted = true;
        result.consentSettings = s.consentSettings.value_or(platform::Dictionary{});
        result.adUserDataChanged = adUserDataDenied(s) != wasAdUserDataDenied;
        if (describe) result.description = describeState(s);
        return result;
    });
    c.pendingChanges.fetch_sub(1);
    return update;
}

bool KLVConsentSettingsUtil::isAdStorageDenied() {
    return onQueue([](const ConsentState& s) {
        return isDenied(valueFor(s.consentSettings, kKLVConsentTypeAdStorage));
    });
}

bool KLVConsentSettingsUtil::isAnalyticsStorageDenied() {
    return onQueue(analyticsStorageDeniedIn);
}

std::int64_t KLVConsentSettingsUtil::appliedConsentSource() {
    auto& c = center();
    if (c.pendingChanges.load() != 0) return consentSource();
    return c.consentSource.load();
}

bool KLVConsentSettingsUtil::appliedAnalyticsStorageDenied() {
    // A change still queued (one this thread may just have made) is waited for; otherwise the
    // flag the queue keeps answers.
    auto& c = center();
    if (c.pendingChanges.load() != 0) return isAnalyticsStorageDenied();
    return c.analyticsStorageDenied.load();
}

bool KLVConsentSettingsUtil::isAdUserDataDenied() {
    return onQueue([](const ConsentState& s) { return adUserDataDenied(s); });
}

std::optional<std::int64_t> KLVConsentSettingsUtil::adPersonalization() {
    return onQueue([](const ConsentState& s) { return adPersonalizationValue(s); });
}

bool KLVConsentSettingsUtil::didAdUserDataConsentChange(bool previousIsAdUserDataDenied) {
    return isAdUserDataDenied() != previousIsAdUserDataDenied;
}

platform::Dictionary KLVConsentSettingsUtil::consentSettingsFromDictionary(
    const platform::Dictionary& dictionary) {
    platform::Dictionary settings;
    for (const auto type : kKLVConsentTypes) {
        if (const auto it = dictionary.find(type); it != dictionary.end()) {
            settings.emplace(it->first, it->second);
        }
    }
    return settings;
}

platform::Dictionary KLVConsentSettingsUtil::consentSettingsFromPlist() {
    return consentSettingsFromInfoDictionary(platform::Bundle::mainBundle().infoDictionary());
}

platform::Dictionary KLVConsentSettingsUtil::consentSettingsFromInfoDictionary(
    const platform::Dictionary& info) {
    platform::Dictionary settings;
    for (const auto& entry : kPlistDefaults) {
        const auto it = info.find(entry.key);
        if (it == info.end()) continue;
        if (entry.onlyStrings && !it->second.isString()) continue;
        if (auto value = consentValueFromInfoPlistValue(entry.type, it->second)) {
            settings.emplace(entry.type, std::move(*value));
        }
    }
    return settings;
}

bool KLVConsentSettingsUtil::isConsentSourceHigherPriority(std::int64_t candidate) {
    const std::int64_t current = consentSource();
    return equalPriority(current, candidate) || current >= candidate;
}

bool KLVConsentSettingsUtil::isConsentSourceEqualPriority(std::int64_t candidate) {
    return equalPriority(consentSource(), candidate);
}

std::string KLVConsentSettingsUtil::consentSignals() {
    return onQueue([](const ConsentState& s) {
        std::string signals = "G1";
        signals.push_back(signalCharacter(valueFor(s.consentSettings, kKLVConsentTypeAdStorage)));
        signals.push_back(
            signalCharacter(valueFor(s.consentSettings, kKLVConsentTypeAnalyticsStorage)));
        return signals;
    });
}

std::string KLVConsentSettingsUtil::consentDiagnostics() {
    auto& c = center();
    return c.queue.syncResult([&s = c.state] {
        refreshDiagnosticSources(s, false);
        const bool noConfiguration = !s.defaultSettings && !s.delegatedSettings;
        std::string text = "1";
        for (const auto type : kKLVConsentTypes) {
            std::int64_t code = diagnosticTable(s).find(type)->second;
            if (noConfiguration && !hasValue(s.consentSettings, type)) {
                code = kKLVConsentDiagnosticNotSet;
            }
            text += platform::formatString("%d", code);
        }
        return text;
    });
}

std::string KLVConsentSettingsUtil::description() {
    return onQueue(describeState);
}

void KLVConsentSettingsUtil::setDiagnosticSource(std::int64_t code, std::string_view consentType) {
    queued([code, type = std::string(consentType)](ConsentState& s) {
        diagnosticTable(s)[type] = code;
    });
}

void KLVConsentSettingsUtil::unsetAdPersonalization() {
    queued([](ConsentState& s) {
        if (!hasValue(s.consentSettings, kKLVConsentTypeAdPersonalization)) return;
        s.consentSettings->erase(std::string(kKLVConsentTypeAdPersonalization));
        diagnosticTable(s)[kKLVConsentTypeAdPersonalization] = kKLVConsentDiagnosticNone;
    });
}

void KLVConsentSettingsUtil::clearAllSettings() {
    queued([](ConsentState& s) {
        s.consentSource = kKLVConsentSourceNone;
        s.consentSettings.reset();
        s.defaultSettings.reset();
        s.delegatedSettings.reset();
        s.regionalDefaults.reset();
        resetDiagnosticSources(s);
    });
}

}  // namespace engine
