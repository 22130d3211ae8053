#include "engine/events/KLVErrorEvent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;

class KLVErrorEventTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        KLVSetInternalEventLogger(
            [this](const std::string& origin, const std::string& name, const Dictionary& p) {
                logged.push_back(Object::dict({{"origin", origin}, {"name", name}, {"p", p}}));
            });
    }
    std::vector<Object> logged;
};

TEST_F(KLVErrorEventTest, CodeZeroLogsNothing) {
    KLVLogErrorEvent(0);
    const Object name("x");
    KLVLogErrorEventWithName(0, "x", 40, &name);
    EXPECT_TRUE(logged.empty());
}

TEST_F(KLVErrorEventTest, ErrorEventsGoOutAsInternalEvents) {
    KLVLogErrorEvent(8);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(
        logged[0],
        Object::dict({{"origin", "auto"}, {"name", "_err"}, {"p", Object::dict({{"_err", 8}})}}));
}

TEST_F(KLVErrorEventTest, NameAndLength) {
    const std::string longName(45, 'n');
    const Object longValue(longName);
    const Object shortValue("abc");
    const struct {
        const char* label;
        std::int64_t code;
        std::optional<std::string_view> name;
        std::int64_t limit;
        const Object* value;
        Object expected;
    } cases[] = {
        {"long name", 2, longName, 40, &longValue,
         Object::dict({{"_el", 45}, {"_err", 2}, {"_ev", std::string(40, 'n') + "..."}})},
        {"short value without a reason for its length", 13, "abc", 40, &shortValue,
         Object::dict({{"_err", 13}, {"_ev", "abc"}})},
        {"value too long for a user property", 7, "level", 24, &shortValue,
         Object::dict({{"_el", 3}, {"_err", 7}, {"_ev", "level"}})},
        {"no name", 11, std::nullopt, 40, nullptr, Object::dict({{"_err", 11}, {"_ev", "(nil)"}})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Object(*KLVErrorEventParametersWithName(c.code, c.name, c.limit, c.value)),
                  c.expected)
            << c.label;
    }
    KLVLogErrorEventWithName(11, "blocked_event", 40, nullptr);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0]["p"], Object::dict({{"_err", 11}, {"_ev", "blocked_event"}}));
}

TEST_F(KLVErrorEventTest, WithoutALoggerEventsAreDropped) {
    KLVSetInternalEventLogger({});
    KLVLogErrorEvent(9);
    EXPECT_TRUE(logged.empty());
}

}  // namespace
}  // namespace engine
