#include "engine/purchases/KLVInAppPurchaseProductCache.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "platform/dispatch/SerialQueue.h"

namespace engine {
namespace {

using platform::SKProduct;
using platform::SKStoreFixture;

struct Answer {
    std::optional<KLVProducts> products;
    std::optional<std::set<std::string>> invalid;
    std::optional<platform::Error> error;
    bool onCallerQueue = false;
};

class ProductCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fixture_ = std::make_shared<SKStoreFixture>();
        SKStoreFixture::install(fixture_);
    }
    void TearDown() override { SKStoreFixture::install(nullptr); }

    static SKProduct product(const std::string& id) {
        return SKProduct{id, "1.99", "EUR", "Title " + id, std::nullopt};
    }
    std::future<Answer> ask(const std::set<std::string>& ids) {
        auto promise = std::make_shared<std::promise<Answer>>();
        auto future = promise->get_future();
        cache_->requestProductsWithProductIdentifiers(
            ids, &queue_, [this, promise](auto products, auto invalid, auto error) {
                promise->set_value(Answer{products, invalid, error, queue_.isCurrent()});
            });
        return future;
    }
    static std::set<std::string> keys(const std::optional<KLVProducts>& products) {
        std::set<std::string> out;
        for (const auto& entry : products.value_or(KLVProducts{}))
            out.insert(entry.first);
        return out;
    }

    std::shared_ptr<SKStoreFixture> fixture_;
    platform::SerialQueue queue_{"test.iap"};
    std::shared_ptr<KLVInAppPurchaseProductCache> cache_ = KLVInAppPurchaseProductCache::create();
};

TEST_F(ProductCacheTest, InvalidIdentifiersEvictCachedProducts) {
    fixture_->catalogue = {product("a"), product("b"), product("")};
    auto first = ask({"a", "b", "c"}).get();
    EXPECT_TRUE(first.onCallerQueue);
    EXPECT_EQ(keys(first.products), (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(first.invalid, (std::set<std::string>{"c"}));
    EXPECT_FALSE(first.error);
    EXPECT_TRUE(cache_->isInvalidProductIdentifier("c"));

    fixture_->invalidIdentifiers = {"a"};
    fixture_->catalogue.push_back(product("c"));
    const auto second = ask({"a", "c"}).get();
    EXPECT_EQ(second.invalid, (std::set<std::string>{"a"}));
    EXPECT_FALSE(cache_->cachedProductForProductIdentifier("a"));
    EXPECT_TRUE(cache_->isInvalidProductIdentifier("a"));
    EXPECT_TRUE(cache_->cachedProductForProductIdentifier("b"));
    EXPECT_FALSE(cache_->isInvalidProductIdentifier("c"));
}

TEST_F(ProductCacheTest, AnAnswerThatFillsTheCacheReplacesIt) {
    std::set<std::string> old, fresh;
    for (int i = 0; i < 50; ++i)
        old.insert("old" + std::to_string(i));
    for (int i = 0; i < 60; ++i) {
        fresh.insert("new" + std::to_string(i));
        fixture_->catalogue.push_back(product("new" + std::to_string(i)));
    }
    ask(old).get();
    EXPECT_TRUE(cache_->isInvalidProductIdentifier("old0"));
    ask(fresh).get();
    EXPECT_FALSE(cache_->isInvalidProductIdentifier("old0"));
    for (const auto& id : fresh)
        EXPECT_TRUE(cache_->cachedProductForProductIdentifier(id)) << id;
}

TEST_F(ProductCacheTest, FailuresAndHeldAnswers) {
    fixture_->failCreation = true;
    auto refused = ask({"a"}).get();
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, 1);
    EXPECT_EQ(refused.error->domain, "com.nexory.zkt.measurement.ErrorDomain");
    EXPECT_EQ(refused.error->description, "Invalid product identifiers.");
    EXPECT_FALSE(refused.products);

    fixture_->failCreation = false;
    fixture_->error = platform::Error{"store", 7, "offline", {}};
    auto failed = ask({"a"}).get();
    EXPECT_EQ(failed.error, fixture_->error);

    fixture_->error.reset();
    fixture_->catalogue = {product("a")};
    fixture_->hold = true;
    auto held = ask({"a"});
    EXPECT_FALSE(cache_->cachedProductForProductIdentifier("a"));
    fixture_->deliver();
    EXPECT_EQ(keys(held.get().products), (std::set<std::string>{"a"}));

    // Without a queue or a handler nothing starts.
    fixture_->hold = false;
    cache_->requestProductsWithProductIdentifiers({"a"}, nullptr, [](auto, auto, auto) { FAIL(); });
    cache_->requestProductsWithProductIdentifiers({"a"}, &queue_, nullptr);
}

}  // namespace
}  // namespace engine
