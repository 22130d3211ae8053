#include "engine/measurement/KLVLoggedEventBatch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;

TEST(LoggedEventBatchTest, EveryValueKindComesBackAsItWent) {
    const Object values[] = {
        Object(),
        Object(true),
        Object(false),
        Object(0),
        Object(-1),
        Object(std::numeric_limits<std::int64_t>::min()),
        Object(std::numeric_limits<std::int64_t>::max()),
        Object(-0.0),
        Object(1e300),
        Object(3456.5),
        Object(""),
        Object(std::string("nul\0inside", 10)),
        Object("ünïcødé"),
        Object(platform::Data{}),
        Object(platform::Data{0, 255, 7}),
        Object(platform::Date{1.7e9}),
        Object::array({}),
        Object::array({Object(Dictionary{{"item_id", Object("a")}, {"n", Object(2)}}),
                       Object::array({Object(1.5)})}),
        Object(Dictionary{}),
    };
    for (const auto& value : values) {
        std::string bytes;
        KLVLoggedEventBatch::encodeObject(value, bytes);
        const auto* at = reinterpret_cast<const std::uint8_t*>(bytes.data());
        const auto* end = at + bytes.size();
        Object decoded(12345);
        ASSERT_TRUE(KLVLoggedEventBatch::decodeObject(at, end, decoded)) << value.description();
        EXPECT_EQ(at, end);
        EXPECT_EQ(decoded, value) << value.description();
        EXPECT_EQ(decoded.type(), value.type());
        // Any shorter form is refused, never read as something else.
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            at = reinterpret_cast<const std::uint8_t*>(bytes.data());
            Object partial;
            EXPECT_FALSE(KLVLoggedEventBatch::decodeObject(at, at + cut, partial))
                << value.description() << " cut at " << cut;
        }
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::string bytes;
    KLVLoggedEventBatch::encodeObject(Object(nan), bytes);
    const auto* at = reinterpret_cast<const std::uint8_t*>(bytes.data());
    Object decoded;
    ASSERT_TRUE(KLVLoggedEventBatch::decodeObject(at, at + bytes.size(), decoded));
    EXPECT_TRUE(decoded.isDouble() && std::isnan(decoded.asDouble()));
}

TEST(LoggedEventBatchTest, EventsComeBackInOrderAcrossChunksWithTheirInterceptors) {
    KLVLoggedEventBatch batch;
    int intercepted = -1;
    // Enough events to fill several chunks; every 1000th carries an interceptor.
    constexpr int kCount = 5000;
    for (int i = 0; i < kCount; ++i) {
        KLVLogEventInterceptor interceptor;
        if (i % 1000 == 1) {
            interceptor = [&intercepted, i](const std::string&, const std::string&,
                                            const Dictionary&, double) { intercepted = i; };
        }
        batch.append(i % 2 ? "app" : "auto", i % 3 == 0, "event_" + std::to_string(i),
                     {{"i", Object(i)}, {"s", Object(std::string(i % 50, 'x'))}}, 1.7e9 + i * 0.5,
                     i % 5 == 0, i % 7 == 0, i % 11 == 0, std::move(interceptor),
                     i % 13 == 0 ? Dictionary{{"_sc", Object("Screen")}} : Dictionary{});
    }
    EXPECT_EQ(batch.size(), std::size_t{kCount});
    KLVLoggedEvent event;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(batch.next(event)) << i;
        EXPECT_EQ(event.origin, i % 2 ? "app" : "auto");
        EXPECT_EQ(event.isPublicEvent, i % 3 == 0);
        EXPECT_EQ(event.name, "event_" + std::to_string(i));
        EXPECT_EQ(event.parameters.at("i"), Object(i));
        EXPECT_EQ(event.parameters.at("s"), Object(std::string(i % 50, 'x')));
        EXPECT_EQ(event.timestamp, 1.7e9 + i * 0.5);
        EXPECT_EQ(event.enabled, i % 5 == 0);
        EXPECT_EQ(event.ignoreEnabled, i % 7 == 0);
        EXPECT_EQ(event.ignoreInterceptor, i % 11 == 0);
        EXPECT_EQ(event.addedScreenParameters.size(), i % 13 == 0 ? 1u : 0u);
        ASSERT_EQ(static_cast<bool>(event.interceptor), i % 1000 == 1) << i;
        if (event.interceptor) {
            event.interceptor("", "", {}, 0);
            EXPECT_EQ(intercepted, i);
        }
        EXPECT_EQ(batch.remaining(), std::size_t(kCount - i - 1));
    }
    EXPECT_FALSE(batch.next(event));
}

}  // namespace
}  // namespace engine
