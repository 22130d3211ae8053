#include "platform/utilities/WDLMutableDictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(WDLMutableDictionaryTest, KeyedReadWriteAndReset) {
    WDLMutableDictionary<> dictionary;
    dictionary.setObject("granted", "ad_storage");
    dictionary.setObject(3, "count");
    dictionary.setObject("denied", "ad_storage");
    EXPECT_EQ(dictionary.objectForKey("ad_storage"), Object("denied"));
    EXPECT_EQ(dictionary.objectForKey("missing"), std::nullopt);
    dictionary.removeObjectForKey("count");

    EXPECT_EQ(dictionary.dictionary(), (Dictionary{{"ad_storage", "denied"}}));
    dictionary.reset();
    EXPECT_EQ(dictionary.count(), 0u);
}

TEST(WDLMutableDictionaryTest, SeveralThreadsAtOnce) {
    WDLMutableDictionary<int> dictionary;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&dictionary, t] {
            for (int i = 0; i < 500; ++i) {
                dictionary.setObject(i, std::to_string(t) + ":" + std::to_string(i));
                (void)dictionary.objectForKey(std::to_string(t) + ":" + std::to_string(i / 2));
                (void)dictionary.dictionary();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(dictionary.count(), 2000u);
}

}  // namespace
}  // namespace platform
