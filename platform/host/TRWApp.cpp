#include "platform/host/TRWApp.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/NoDestructor.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/utilities/WDLLogger.h"

namespace platform {

namespace {

constexpr char kDefaultAppName[] = "__TRWAPP_DEFAULT";
constexpr char kCoreSubsystem[] = "com.nexory.tarnwell.core";
constexpr char kCoreCategory[] = "[TarnwellCore]";
constexpr char kAppIDKey[] = "NEXORY_APP_ID";
constexpr char kCollectionEnabledKey[] = "TARNWELL_ANALYTICS_COLLECTION_ENABLED";
constexpr char kCollectionDeactivatedKey[] = "TARNWELL_ANALYTICS_COLLECTION_DEACTIVATED";

struct RegisteredLibrary {
    std::shared_ptr<TRWLibrary> library;
    std::string name;
    std::string version;
};

// Libraries register once for the process; the configured app is dropped by a test reset.
struct HostState {
    std::mutex mutex;
    std::vector<RegisteredLibrary> libraries;
    std::shared_ptr<TRWApp> defaultApp;
};

HostState& hostState() {
    static NoDestructor<HostState> state;
    static std::once_flag registered;
    std::call_once(registered, [] {
        registerSharedReset("TRWApp.defaultApp", [] {
            std::shared_ptr<TRWApp> dropped;
            std::lock_guard lock(state->mutex);
            dropped = std::move(state->defaultApp);
        });
    });
    return state.get();
}

bool switchValue(const Object& value, bool fallback) {
    if (!value.isNumber()) return fallback;
    return value.numberAsDouble().value_or(0) != 0;
}

// The host's own debug arguments set the utilities logger's level.
void applyDebugArguments() {
    const auto arguments = ProcessInfo::processInfo().arguments();
    const auto has = [&](std::string_view wanted) {
        return std::find(arguments.begin(), arguments.end(), wanted) != arguments.end();
    };
    if (has("-TRWDebugDisabled")) {
        WDLSetLoggerLevel(kWDLLoggerLevelNotice);
    } else if (has("-TRWDebugEnabled")) {
        WDLSetLoggerLevel(kWDLLoggerLevelDebug);
    }
}

void logCoreError(std::string_view code, std::string_view message) {
    WDLOSLogError(kCoreSubsystem, kCoreCategory, false, code, "%@", message);
}

}  // namespace

std::string TRWTarnwellVersion() {
    return "11.1.0";
}

std::optional<TRWOptions> TRWOptions::defaultOptions() {
    const Bundle bundle = Bundle::mainBundle();
    const auto path = bundle.pathForResource(kTRWServiceInfoPlistName, "plist");
    if (!path) return std::nullopt;
    const auto contents = readPropertyListFile(*path);
    if (!contents || !contents->isDictionary()) return std::nullopt;
    TRWOptions options;
    if (const auto* appID = (*contents)[kAppIDKey].getString()) options.nexoryAppID = *appID;
    options.isAnalyticsCollectionEnabled =
        switchValue(bundle.objectForInfoDictionaryKey(kCollectionEnabledKey), true);
    options.isAnalyticsCollectionDeactivated =
        switchValue(bundle.objectForInfoDictionaryKey(kCollectionDeactivatedKey), false);
    return options;
}

TRWApp::TRWApp(std::string name, TRWOptions options, std::vector<TRWComponent> components)
    : name_(std::move(name)), options_(std::move(options)), components_(std::move(components)) {}

void TRWApp::configure() {
    auto options = TRWOptions::defaultOptions();
    if (!options) {
        logCoreError("I-COR000012",
                     "Could not locate configuration file: 'NexoryService-Info.plist'.");
        return;
    }
    configure(std::move(*options));
}

void TRWApp::configure(TRWOptions options) {
    auto& state = hostState();
    std::shared_ptr<TRWApp> app;
    std::vector<RegisteredLibrary> libraries;
    {
        std::lock_guard lock(state.mutex);
        if (state.defaultApp) {
            logCoreError("I-COR000003", "Default app has already been configured.");
            return;
        }
        libraries = state.libraries;
        std::vector<TRWComponent> components;
        for (const auto& entry : libraries) {
            auto offered = entry.library->componentsToRegister();
            components.insert(components.end(), offered.begin(), offered.end());
        }
        app = std::make_shared<TRWApp>(kDefaultAppName, std::move(options), std::move(components));
        state.defaultApp = app;
    }
    applyDebugArguments();
    for (const auto& entry : libraries)
        entry.library->configureWithApp(*app);
}

bool TRWApp::isDefaultAppConfigured() {
    return defaultApp() != nullptr;
}

std::shared_ptr<TRWApp> TRWApp::defaultApp() {
    auto& state = hostState();
    std::lock_guard lock(state.mutex);
    return state.defaultApp;
}

void TRWApp::registerInternalLibrary(std::shared_ptr<TRWLibrary> library, std::string name,
                                     std::string version) {
    if (!library || name.empty()) {
        logCoreError("I-COR000031", "Refused a library without a class or a name.");
        return;
    }
    auto& state = hostState();
    std::lock_guard lock(state.mutex);
    // One registration per library name: registering again replaces the earlier one.
    std::erase_if(state.libraries,
                  [&](const RegisteredLibrary& entry) { return entry.name == name; });
    state.libraries.push_back({std::move(library), std::move(name), std::move(version)});
}

std::shared_ptr<void> TRWApp::instanceForProtocol(std::type_index protocol) const {
    for (const auto& component : components_) {
        if (component.protocol() == protocol) return component.makeInstance();
    }
    return nullptr;
}

}  // namespace platform
