#include <gtest/gtest.h>

#include <future>

#include "app/core/JsonDecoding.h"
#include "app/services/RemoteConfigManager.h"
#include "app/services/RemoteConfigModels.h"
#include "app/services/ServicesTestSupport.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "testkit/LoopbackServer.h"

namespace app {
namespace {

using platform::TRWRemoteConfig;
using platform::TRWRemoteConfigFetchStatus;

// One app entry; `extra` replaces or adds members.
std::string appJSON(const std::string& ids, const std::string& extra = "") {
    return R"({"appIdentifiers": )" + ids +
           R"(, "appName": {"en": "Name"}, "appURL": "a://", "appURLPro": "ap://",
              "ratingURL": "https://r/free", "ratingURLPro": "https://r/pro",
              "storeURL": "https://s", "storeURLPro": "https://sp", "shouldShow": true,
              "calculationsUntilInterstitial": 5)" +
           extra + "}";
}

TEST(RemoteConfigModelsTest, StrictDecoding) {
    const struct {
        const char* name;
        std::string json;
        bool decodes;
    } cases[] = {
        {"plain", appJSON(R"(["a"])"), true},
        {"extra key", appJSON(R"(["a"])", R"(, "futureField": [1])"), true},
        {"integral double", appJSON(R"(["a"])", R"(, "calculationsUntilInterstitial": 5.0)"), true},
        {"fraction", appJSON(R"(["a"])", R"(, "calculationsUntilInterstitial": 5.5)"), false},
        {"boolean as number", appJSON(R"(["a"])", R"(, "shouldShow": 1)"), false},
        {"identifier not text", appJSON(R"(["a", 3])"), false},
        {"required null", appJSON(R"(["a"])", R"(, "appURL": null)"), false},
        {"not an object", "[]", false},
        {"not JSON", "{", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeDocument<AppMetaData>(c.json).has_value(), c.decodes);
    }
}

TEST(RemoteConfigModelsTest, ADocumentThatWouldTakeTooMuchMemoryIsRefusedWhileItIsRead) {
    // 2^20 values of about 64 bytes each: more than the budget, from two megabytes of text.
    std::string text = "{\"en\": [0";
    for (int i = 1; i < (1 << 20); ++i) {
        text += ",0";
    }
    text += "]}";
    platform::Error error;
    EXPECT_FALSE(decodeDocument<QuroAdsDocument>(text, &error));
    EXPECT_EQ(error.code, static_cast<std::int64_t>(DecodingErrorCode::dataCorrupted));
    EXPECT_EQ(error.description, "The JSON text would take more than 67108864 bytes in memory.");
}

TEST(RemoteConfigModelsTest, OptionalBooleanStaysAbsent) {
    const auto absent = decodeDocument<AppMetaData>(appJSON(R"(["a"])")).value();
    const auto null = decodeDocument<AppMetaData>(appJSON(R"(["a"])", R"(, "isMultiApp": null)"));
    const auto no = decodeDocument<AppMetaData>(appJSON(R"(["a"])", R"(, "isMultiApp": false)"));
    EXPECT_FALSE(absent.isMultiApp);
    EXPECT_EQ(null, absent);
    EXPECT_NE(no, absent);
    EXPECT_FALSE(nlohmann::json(absent).contains("isMultiApp"));
    EXPECT_EQ(nlohmann::json(*no)["isMultiApp"], false);
    // A document fails as a whole when one entry lacks a required member.
    const auto missing = appJSON(R"(["b"])", R"(, "shouldShow": null)");
    EXPECT_FALSE(decodeDocument<AllAppMetaData>(R"({"apps": [)" + appJSON(R"(["a"])") + ", " +
                                                missing + "]}"));
    EXPECT_TRUE(decodeDocument<ZirReferenceData>(
        R"({"purposeConsents": "1", "purposeLegitimateInterests": "2", "vendorConsents": "3",
            "vendorLegitimateInterests": "4", "isConsentOrPayActivated": null})"));
}

class RemoteConfigManagerTest : public testing::ServicesTest {
  protected:
    RemoteConfigManagerTest() {
        for (const char* name :
             {kDidLoadMenuNotification, kDidLoadQuroAdsNotification, kDidLoadOffersNotification,
              kDidLoadZirReferenceDataNotification, kDidLoadVideoTutorialsNotification}) {
            observers_.push_back(platform::NotificationCenter::defaultCenter().addObserverForName(
                name, nullptr,
                [this](const platform::Notification& n) { posted_.push_back(n.name); }));
        }
    }
    // Serves `entries` as the remote configuration, fetches and activates it.
    void serve(const std::map<std::string, std::string>& documents) {
        // A path of its own: the server repeats a path's last answer.
        const auto path = "/rc" + std::to_string(++served_);
        server_.answer("GET", path, {200, {}, nlohmann::json{{"entries", documents}}.dump()});
        useBundle({{"TESSALINE_REMOTE_CONFIG_URL", server_.baseURL() + path}});
        auto& config = TRWRemoteConfig::remoteConfig();
        std::promise<void> fetched, activated;
        config.fetchWithExpirationDuration(0, [&](auto status, auto) {
            EXPECT_EQ(status, TRWRemoteConfigFetchStatus::success);
            fetched.set_value();
        });
        fetched.get_future().wait();
        config.activateWithCompletion([&](auto, auto) { activated.set_value(); });
        activated.get_future().wait();
    }
    static void setLanguage(const std::string& language) {
        platform::ProcessInfo::processInfo().setEnvironment({{"LANGUAGE", language}});
    }

    testkit::LoopbackServer server_;
    std::vector<platform::NotificationObserver> observers_;
    std::vector<std::string> posted_;
    int served_ = 0;
};

TEST_F(RemoteConfigManagerTest, OfflineLaunchLoadsTheDefaultApps) {
    auto& manager = RemoteConfigManager::shared();
    manager.reloadAll(manager.remoteConfig());
    EXPECT_EQ(posted_, std::vector<std::string>{"didLoadMenu"});
    ASSERT_EQ(manager.apps().size(), 3u);
    EXPECT_EQ(manager.currentApp()->ratingURL, "https://apps.example/tessaline/review");
    ASSERT_EQ(manager.multiApps().size(), 1u);
    EXPECT_EQ(manager.multiApps()[0].appName.at("en"), "Pelmora All in One");
    ASSERT_EQ(manager.singleApps().size(), 1u);  // this app left out
    EXPECT_EQ(manager.singleApps()[0].appName.at("en"), "PQ Formula");
}

TEST_F(RemoteConfigManagerTest, MissingDocumentsGiveOneWarningAndBadOnesTheirError) {
    auto& manager = RemoteConfigManager::shared();
    ::testing::internal::CaptureStdout();
    manager.reloadAll(manager.remoteConfig());
    manager.reloadAll(manager.remoteConfig());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "warning: no remote configuration (apps, ads, offers, zirReferenceData, "
              "videoTutorials): not fetched yet, or the service cannot be reached; the built-in "
              "defaults stand in\n");
    serve({{"ads", "{"}});
    ::testing::internal::CaptureStdout();
    manager.reloadAll(manager.remoteConfig());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "The given data was not valid JSON.\n");
}

TEST_F(RemoteConfigManagerTest, MenuListsAndCurrentApp) {
    serve({{"apps",
            R"({"apps": [)" + appJSON(R"(["x", "org.tessaline.app"])", R"(, "isMultiApp": true)") +
                ", " + appJSON("[]") + ", " + appJSON(R"(["hidden"])", R"(, "shouldShow": false)") +
                ", " + appJSON(R"(["multi"])", R"(, "isMultiApp": true)") + "]}"}});
    auto& manager = RemoteConfigManager::shared();
    manager.loadApps(manager.remoteConfig());
    ASSERT_EQ(manager.apps().size(), 4u);
    EXPECT_EQ(manager.multiApps().size(), 1u);
    EXPECT_EQ(manager.multiApps()[0].appIdentifiers, std::vector<std::string>{"multi"});
    ASSERT_EQ(manager.singleApps().size(), 1u);
    EXPECT_TRUE(manager.singleApps()[0].appIdentifiers.empty());
    EXPECT_EQ(manager.currentApp()->appIdentifiers[0], "x");

    // Kept for the process, even when the list no longer has it.
    serve({{"apps", R"({"apps": []})"}});
    manager.loadApps(manager.remoteConfig());
    EXPECT_TRUE(manager.apps().empty());
    EXPECT_EQ(manager.currentApp()->appIdentifiers[0], "x");
}

TEST_F(RemoteConfigManagerTest, BadDocumentsKeepTheOldValues) {
    serve({{"ads", R"({"k": [{"imageName": "pq", "linkingString": "https://l",
                              "discountNumber": "30"}]})"},
           {"videoTutorials", R"({"QZ": {"en": ["v"]}})"}});
    auto& manager = RemoteConfigManager::shared();
    manager.reloadAll(manager.remoteConfig());
    EXPECT_EQ(posted_, (std::vector<std::string>{"didLoadMenu", "didLoadQuroAds",
                                                 "didLoadVideoTutorialsData"}));
    serve({{"ads", R"({"k": [{"imageName": "pq"}]})"}, {"videoTutorials", "[]"}});
    posted_.clear();
    manager.reloadAll(manager.remoteConfig());
    EXPECT_EQ(posted_, std::vector<std::string>{"didLoadMenu"});
    EXPECT_EQ(manager.ads().at("k").at(0).discountNumber, "30");
    // An app list with one incomplete entry fails as a whole: the default list stands in.
    serve({{"apps", R"({"apps": [)" + appJSON(R"(["a"])") + ", " +
                        appJSON(R"(["b"])", R"(, "shouldShow": null)") + "]}"}});
    manager.loadApps(manager.remoteConfig());
    EXPECT_EQ(manager.apps().size(), 3u);
    EXPECT_EQ(manager.videoTutorialLinks(CalculationType::QZ), std::vector<std::string>{"v"});
}

TEST_F(RemoteConfigManagerTest, VideoLinksByLanguage) {
    serve({{"videoTutorials", R"({"QZ": {"fr": ["a"], "en": ["b", "c"]}, "PY": {"fr": ["a"]}})"}});
    auto& manager = RemoteConfigManager::shared();
    manager.loadVideoTutorials(manager.remoteConfig());
    using Links = std::vector<std::string>;
    const struct {
        const char* language;
        std::optional<CalculationType> type;
        Links links;
    } cases[] = {
        {"fr_FR.UTF-8", CalculationType::QZ, {"a", "b", "c"}},
        {"en", CalculationType::QZ, {"b", "c"}},
        {"en", CalculationType::PY, {}},
        {"fr", CalculationType::PY, {"a"}},
        {"fr", std::nullopt, {}},
        {"fr", CalculationType::LE, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        setLanguage(c.language);
        EXPECT_EQ(manager.videoTutorialLinks(c.type), c.links);
    }
    setLanguage("");
    EXPECT_EQ(supportedLanguageCode(), "en");
    EXPECT_FALSE(calculationTypeFromNumber(kCalculationTypeNone));
    EXPECT_EQ(calculationShortCode(*calculationTypeFromNumber(33)), "HTTIE");
    EXPECT_EQ(calculationShortCode(kAppCalculationType), "QZ");
}

TEST_F(RemoteConfigManagerTest, FetchResults) {
    auto& manager = RemoteConfigManager::shared();
    EXPECT_EQ(manager.remoteConfig().configSettings().minimumFetchInterval, 0);
    server_.answer("GET", "/rc", {200, {}, R"({"entries": {"videoTutorials": "{}"}})"});
    useBundle({{"TESSALINE_REMOTE_CONFIG_URL", server_.baseURL() + "/rc"}});
    std::promise<std::pair<TRWRemoteConfigFetchStatus, std::optional<platform::Error>>> result;
    manager.remoteConfig().fetchWithExpirationDuration(21600, [&](auto status, auto error) {
        result.set_value({status, error});
    });
    const auto [status, error] = result.get_future().get();
    ASSERT_EQ(status, TRWRemoteConfigFetchStatus::success);

    // Another status without an error only prints.
    manager.handleFetchResult(TRWRemoteConfigFetchStatus::failure, std::nullopt);
    platform::runUntilIdle();
    EXPECT_TRUE(posted_.empty());
    // An error reloads the values active before, without activating.
    manager.handleFetchResult(TRWRemoteConfigFetchStatus::failure, platform::Error{});
    platform::runUntilIdle();
    EXPECT_EQ(posted_, std::vector<std::string>{"didLoadMenu"});
    // Success activates, then reloads on the main queue.
    posted_.clear();
    manager.handleFetchResult(status, error);
    ASSERT_TRUE(pumpUntil([&] { return posted_.size() == 2; }));
    EXPECT_EQ(posted_, (std::vector<std::string>{"didLoadMenu", "didLoadVideoTutorialsData"}));
}

}  // namespace
}  // namespace app
