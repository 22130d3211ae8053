#include <string>

#include "engine/database/DatabaseTestSupport.h"
#include "engine/database/KLVDatabase.h"

namespace engine {
namespace {

using platform::Error;

class KLVDatabaseUserAttributesTest : public testing::DatabaseEventTest {
  protected:
    static KLVUserAttribute attribute(const std::string& name, KLVValue value, double lastSet = 10,
                                      const std::string& origin = "app") {
        return *KLVUserAttribute::initWithOrigin(origin, name, std::move(value), lastSet);
    }
    void update(const KLVUserAttribute& value) {
        Error error;
        ASSERT_TRUE(database_->updateUserAttribute(value, &error)) << error.description;
    }
    static std::vector<std::string> names(
        const std::optional<std::vector<KLVUserAttribute>>& list) {
        std::vector<std::string> result;
        for (const auto& entry : list.value_or(std::vector<KLVUserAttribute>{})) {
            result.push_back(entry.name());
        }
        return result;
    }
};

TEST_F(KLVDatabaseUserAttributesTest, ValuesKeepTheirKind) {
    const KLVValue values[] = {KLVValue::initWithInt64(3), KLVValue::initWithDouble(3.0),
                               KLVValue::initWithString("3")};
    for (const auto& value : values) {
        update(attribute("level", value, 12.5, "auto"));
        const auto stored = database_->userAttributeWithName("level");
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->value(), value) << value.description();
        EXPECT_EQ(stored->origin(), "auto");
        EXPECT_EQ(stored->lastSetTimestamp(), 12.5);
    }
    Error error;
    EXPECT_EQ(database_->userAttributeWithName("absent", &error), std::nullopt);
    EXPECT_EQ(error.code, 0);
    ASSERT_TRUE(database_->deleteUserAttributeWithName("level"));
    EXPECT_EQ(database_->containsUserAttributeWithName("level"), false);
}

TEST_F(KLVDatabaseUserAttributesTest, Refusals) {
    const struct {
        const char* label;
        KLVUserAttribute attribute;
        std::int64_t code;
        const char* description;
    } cases[] = {
        {"empty origin", attribute("level", KLVValue::initWithInt64(1), 1, ""), 3,
         "Received user property with empty origin for getting dictionary representation"},
        {"array", attribute("level", KLVValue::initWithArray(platform::Array{1})), 1,
         "Received array value for user property"},
    };
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(database_->updateUserAttribute(c.attribute, &error)) << c.label;
        EXPECT_EQ(error.code, c.code) << c.label;
        EXPECT_EQ(error.description, c.description) << c.label;
    }
    EXPECT_EQ(database_->containsUserAttributeWithName("level"), false);

    Error error;
    EXPECT_EQ(database_->containsUserAttributeWithName("", &error), std::nullopt);
    EXPECT_EQ(error.description, "Received empty user property name for exists query");
    EXPECT_EQ(database_->userAttributeCountForOrigin("", &error), std::nullopt);
    EXPECT_EQ(error.description, "Received empty user property origin for count query");
}

TEST_F(KLVDatabaseUserAttributesTest, PublicAndInternalProperties) {
    update(attribute("_fot", KLVValue::initWithInt64(1)));
    update(attribute("nexory_x", KLVValue::initWithInt64(1)));
    update(attribute("first_open_time", KLVValue::initWithInt64(1)));
    update(attribute("level", KLVValue::initWithInt64(1), 10, "auto"));
    EXPECT_EQ(names(database_->userAttributesIncludingInternal(false)),
              std::vector<std::string>{"level"});
    EXPECT_EQ(names(database_->userAttributesIncludingInternal(true)).size(), 4u);
    EXPECT_EQ(database_->publicUserAttributeCount(), 3);
    EXPECT_EQ(database_->userAttributeCountForOrigin("app"), 3);
}

TEST_F(KLVDatabaseUserAttributesTest, LifetimeValuesMatchThePrefixLiterally) {
    update(attribute("_ltv_USD", KLVValue::initWithDouble(5), 10));
    update(attribute("_ltv_EUR", KLVValue::initWithDouble(6), 30));
    update(attribute("altv_GBP", KLVValue::initWithDouble(7), 40));
    update(attribute("_ltvxJPY", KLVValue::initWithDouble(8), 50));
    update(attribute("_LTV_CHF", KLVValue::initWithDouble(9), 60));
    EXPECT_EQ(names(database_->allLifetimeValueUserAttributes()),
              (std::vector<std::string>{"_ltv_EUR", "_ltv_USD"}));
}

TEST_F(KLVDatabaseUserAttributesTest, TableHoldsAThousandNames) {
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < 1000; ++i) {
            if (!database_->updateUserAttribute(
                    attribute("p" + std::to_string(i), KLVValue::initWithInt64(i)))) {
                return false;
            }
        }
        return true;
    }));
    Error error;
    EXPECT_FALSE(
        database_->updateUserAttribute(attribute("p1000", KLVValue::initWithInt64(1)), &error));
    EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
    update(attribute("p5", KLVValue::initWithInt64(-5)));
    EXPECT_EQ(database_->userAttributeWithName("p5")->value().int64Value(), -5);
}

TEST_F(KLVDatabaseUserAttributesTest, PurchasesAreReportedOnce) {
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f0"), true);
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f0"), false);
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint(""), false);
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 1; i <= 1000; ++i) {
            if (!database_->insertIfNotDuplicatePurchaseFingerprint("f" + std::to_string(i))) {
                return false;
            }
        }
        return true;
    }));
    EXPECT_EQ(*database_->sqliteStore().rowCountForTableWithName("purchase_transactions"), 1000);
    // The oldest was forgotten.
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f0"), true);
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f1000"), false);
}

TEST_F(KLVDatabaseUserAttributesTest, SubscriptionsAreTrimmedSeparately) {
    EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID(""), false);
    EXPECT_EQ(*database_->sqliteStore().rowCountForTableWithName("subscriptions"), 0);
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < 1002; ++i) {
            if (database_->insertIfNotDuplicateSubscriptionID("s" + std::to_string(i)) != true) {
                return false;
            }
        }
        return true;
    }));
    EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s0"), false);
    EXPECT_EQ(database_->deleteSubscriptionsOverLimit(), 2);
    EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s0"), true);
}

}  // namespace
}  // namespace engine
