#include "platform/host/TRWRemoteConfig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <string>

#include "platform/foundation/Bundle.h"
#include "testkit/LoopbackServer.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

struct FetchOutcome {
    TRWRemoteConfigFetchStatus status;
    std::optional<Error> error;
};

class TRWRemoteConfigTest : public testkit::TempHomeTest {
  protected:
    // A main bundle whose Info.plist names `url` (none when empty).
    void useConfigURL(const std::string& url) {
        const auto dir = homePath() / "bundle";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
            << (url.empty() ? ""
                            : "<key>TESSALINE_REMOTE_CONFIG_URL</key><string>" + url + "</string>")
            << "</dict></plist>";
        Bundle::setMainBundleDirectory(dir);
    }
    FetchOutcome fetch(TRWRemoteConfig& config, double expiration) {
        std::promise<FetchOutcome> done;
        config.fetchWithExpirationDuration(
            expiration, [&](TRWRemoteConfigFetchStatus status, std::optional<Error> error) {
                done.set_value({status, std::move(error)});
            });
        return done.get_future().get();
    }
    bool activate(TRWRemoteConfig& config) {
        std::promise<bool> done;
        config.activateWithCompletion(
            [&](bool changed, std::optional<Error>) { done.set_value(changed); });
        return done.get_future().get();
    }
    static std::string text(const TRWRemoteConfig& config, const std::string& key) {
        return config.configValueForKey(key).stringValue();
    }

    testkit::ScopedManualClock clock_;
    testkit::LoopbackServer server_;
};

TEST_F(TRWRemoteConfigTest, FetchedValuesReadOnlyAfterActivationAndPersist) {
    server_.answer("GET", "/config", {200, {}, R"({"entries": {"apps": "{\"apps\": []}"}})"});
    useConfigURL(server_.baseURL() + "/config");
    {
        TRWRemoteConfig config;
        EXPECT_EQ(config.configValueForKey("apps").dataValue().size(), 0u);
        const auto outcome = fetch(config, 0);
        EXPECT_EQ(outcome.status, TRWRemoteConfigFetchStatus::success);
        EXPECT_FALSE(outcome.error);
        EXPECT_EQ(text(config, "apps"), "");
        EXPECT_TRUE(activate(config));
        EXPECT_EQ(text(config, "apps"), R"({"apps": []})");
        EXPECT_FALSE(activate(config));
    }
    TRWRemoteConfig later;
    EXPECT_EQ(text(later, "apps"), R"({"apps": []})");
}

TEST_F(TRWRemoteConfigTest, FailuresKeepWhatWasFetchedBefore) {
    struct Case {
        const char* name;
        testkit::ScriptedAnswer answer;
        TRWRemoteConfigError code;
    };
    const Case cases[] = {
        {"server error",
         {500, {}, R"({"entries": {"k": "new"}})"},
         TRWRemoteConfigError::badResponse},
        {"not JSON", {200, {}, "entries"}, TRWRemoteConfigError::badDocument},
        {"no entries", {200, {}, R"({"k": "new"})"}, TRWRemoteConfigError::badDocument},
        {"number entry", {200, {}, R"({"entries": {"k": 5}})"}, TRWRemoteConfigError::badDocument},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testkit::LoopbackServer server;
        server.answer("GET", "/c", {200, {}, R"({"entries": {"k": "old"}})"});
        server.answer("GET", "/c", c.answer);
        useConfigURL(server.baseURL() + "/c");
        TRWRemoteConfig config;
        ASSERT_EQ(fetch(config, 0).status, TRWRemoteConfigFetchStatus::success);
        const auto outcome = fetch(config, 0);
        EXPECT_EQ(outcome.status, TRWRemoteConfigFetchStatus::failure);
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->domain, kTRWRemoteConfigErrorDomain);
        EXPECT_EQ(outcome.error->code, static_cast<std::int64_t>(c.code));
        activate(config);
        EXPECT_EQ(text(config, "k"), "old");
    }
}

TEST_F(TRWRemoteConfigTest, NoURLAndNoAnswerAreErrors) {
    useConfigURL("");
    TRWRemoteConfig config;
    auto outcome = fetch(config, 0);
    EXPECT_EQ(outcome.status, TRWRemoteConfigFetchStatus::failure);
    EXPECT_EQ(outcome.error->code, static_cast<std::int64_t>(TRWRemoteConfigError::noConfigURL));

    testkit::LoopbackServer gone;
    const auto url = gone.baseURL() + "/config";
    gone.stop();
    useConfigURL(url);
    outcome = fetch(config, 0);
    EXPECT_EQ(outcome.status, TRWRemoteConfigFetchStatus::failure);
    EXPECT_EQ(outcome.error->domain, kURLErrorDomain);
}

TEST_F(TRWRemoteConfigTest, FetchWithinExpirationSendsNothing) {
    server_.answer("GET", "/config", {200, {}, R"({"entries": {}})"});
    useConfigURL(server_.baseURL() + "/config");
    TRWRemoteConfig config;
    ASSERT_EQ(fetch(config, 21600).status, TRWRemoteConfigFetchStatus::success);
    clock_.advance(21599);
    EXPECT_EQ(fetch(config, 21600).status, TRWRemoteConfigFetchStatus::success);
    EXPECT_EQ(server_.requests().size(), 1u);
    clock_.advance(1);
    EXPECT_EQ(fetch(config, 21600).status, TRWRemoteConfigFetchStatus::success);
    EXPECT_EQ(server_.requests().size(), 2u);
}

}  // namespace
}  // namespace platform
