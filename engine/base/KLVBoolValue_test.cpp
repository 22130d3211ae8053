#include "engine/base/KLVBoolValue.h"

#include <gtest/gtest.h>

namespace engine {
namespace {

TEST(KLVBoolValueTest, Readings) {
    const struct {
        platform::Object value;
        std::optional<bool> reading;
    } cases[] = {
        {"YES", true},
        {"yes", true},
        {"T", true},
        {" \t+0009", true},
        {"-1", true},
        {"NO", false},
        {"false", false},
        {"0", false},
        {"", false},
        {"000", false},
        {"0.5", false},
        {"x1", false},
        {1, true},
        {0, false},
        {0.25, true},
        {true, true},
        {false, false},
        {platform::Object(), std::nullopt},
        {platform::Data{1}, std::nullopt},
        {platform::Object::array({1}), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KLVBoolValue(c.value), c.reading) << c.value.description();
}

}  // namespace
}  // namespace engine
