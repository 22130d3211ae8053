#include "app/services/VideoLink.h"

#include <gtest/gtest.h>

namespace app {
namespace {

using platform::Dictionary;

TEST(VideoLinkTest, LinkRules) {
    const std::string watch(kWatchLinkPrefix);
    const Dictionary plain{{"iv_load_policy", 1}};
    const auto from = [](const char* start) {
        return Dictionary{{"iv_load_policy", 1}, {"start", start}};
    };
    const struct {
        std::string link;
        std::optional<VideoLink> expected;
    } cases[] = {
        {watch + "abcdefghijk", VideoLink{"abcdefghijk", plain}},
        {watch + "abcdefghijk&t=90s", VideoLink{"abcdefghijk", from("90")}},
        {watch + "abcdefghijk&t=1m30s", VideoLink{"abcdefghijk", plain}},
        {watch + "abcdefghijk&list=PL1&t=42s", VideoLink{"abcdefghijk", from("42")}},
        {watch + "abcdefghijk&t=42s&list=PL1", VideoLink{"abcdefghijk", plain}},
        {watch + "abcdefghijk&&t=7s&", VideoLink{"abcdefghijk", from("7")}},
        {watch + "abcdefghij", std::nullopt},
        {watch + "abcdefghijkl", std::nullopt},
        {"https:www.vidmora.com/shorts/abcdefghijk", VideoLink{"abcdefghijk", plain}},
        {"https://www.vidmora.com/shorts/abcdefghijk", VideoLink{"abcdefghijk", plain}},
        {"https://www.vidmora.com/shorts/abcdefghijk?feature=share", std::nullopt},
        {"https://other.example/watch?v=abcdefghijk", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        EXPECT_EQ(parseVideoLink(c.link), c.expected);
    }
}

}  // namespace
}  // namespace app
