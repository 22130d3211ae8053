#include "platform/foundation/SystemLocale.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/SharedInstance.h"

namespace platform {
namespace {

class SystemLocaleTest : public ::testing::Test {
  protected:
    void SetUp() override { resetSharedInstances(); }
    void TearDown() override { resetSharedInstances(); }
};

TEST_F(SystemLocaleTest, LanguageTagsFromLocaleNames) {
    const struct {
        const char* name;
        const char* tag;
    } cases[] = {
        {"en_US.UTF-8", "en-US"}, {"de_AT@euro", "de-AT"}, {"fr", "fr"}, {"C", ""},

        {"C.UTF-8", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(languageTagFromLocaleName(c.name), c.tag) << c.name;
}

TEST_F(SystemLocaleTest, PreferredLanguagesFollowTheEnvironment) {
    const struct {
        ProcessInfo::Environment environment;
        std::vector<std::string> languages;
    } cases[] = {
        {{{"LANGUAGE", "de_AT:en"}, {"LANG", "fr_FR.UTF-8"}}, {"de-AT", "en"}},
        {{{"LANGUAGE", ""}, {"LC_ALL", "pt_BR.UTF-8"}, {"LANG", "fr_FR"}}, {"pt-BR"}},
        {{{"LC_MESSAGES", "sv_SE"}, {"LANG", "fr_FR"}}, {"sv-SE"}},
        // The C locale and an empty environment name no language: the phone's default.
        {{{"LANG", "C.UTF-8"}}, {"en"}},
        {{{"LANGUAGE", "C"}, {"LC_ALL", "POSIX"}}, {"en"}},
        {{}, {"en"}},
    };
    for (const auto& c : cases) {
        ProcessInfo::processInfo().setEnvironment(c.environment);
        EXPECT_EQ(preferredLanguages(), c.languages);
    }
}

TEST_F(SystemLocaleTest, OffsetIsWholeSeconds) {
    // The machine's zone is whatever it is; the offset is within a day and NaN gives 0.
    const auto offset = secondsFromGMT(1'700'000'000.0);
    EXPECT_LE(std::abs(offset), 86400);
    EXPECT_EQ(secondsFromGMT(std::nan("")), 0);
    EXPECT_EQ(secondsFromGMT(1e300), 0);
    EXPECT_EQ(secondsFromGMT(-1e19), 0);
}

}  // namespace
}  // namespace platform
