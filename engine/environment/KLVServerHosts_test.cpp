#include "engine/environment/KLVServerHosts.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/foundation/PropertyList.h"

namespace engine {
namespace {

TEST(KLVServerHostsTest, HostValues) {
    const struct {
        const char* host;
        bool valid;
    } cases[] = {
        {"config.measurement.example", true},
        {"127.0.0.1:8443", true},
        {"", false},
        {"x.test:", false},
        {"x.test:0", false},
        {"x.test:65536", false},
        {"https://x.test", false},
        {"x.test/a", false},
        {"user@x.test", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KLVServerHosts::isValidHost(c.host), c.valid) << c.host;
}

TEST(KLVServerHostsTest, SubdomainValues) {
    const struct {
        const char* subdomain;
        bool valid;
    } cases[] = {
        {"eu", true},        {"eu-west.1", true}, {"", false},
        {"eu:80", false},    {"x.test/#", false}, {"x.test?", false},
        {"u@x.test", false}, {"e u", false},      {"\xc3\xa9u", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KLVServerHosts::isValidSubdomain(c.subdomain), c.valid) << c.subdomain;
}

TEST(KLVServerHostsTest, TheAppsInfoPlistNamesEveryHost) {
    const auto root = std::filesystem::path(TESSALINE_SOURCE_DIR);
    const auto info = platform::readPropertyListFile(root / "app/resources/Info.plist");
    ASSERT_TRUE(info && info->isDictionary());
    const auto hosts = KLVServerHosts::fromInfoDictionary(info->asDictionary());
    EXPECT_TRUE(hosts.configHost);
    EXPECT_TRUE(hosts.uploadHost);
    EXPECT_TRUE(hosts.alternativeUploadHost);
}

}  // namespace
}  // namespace engine
