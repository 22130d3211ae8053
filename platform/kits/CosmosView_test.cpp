#include "platform/kits/CosmosView.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(CosmosViewTest, ATapGivesTheFullStarsUpToTheTouchedOne) {
    const auto stars = std::make_shared<CosmosView>(CGRect{0, 0, 170, 30});
    double reported = -1;
    stars->didFinishTouchingCosmos = [&](double rating) { reported = rating; };
    const struct {
        double x;
        double rating;
    } cases[] = {{0, 1}, {34, 1}, {35, 2}, {104, 3}, {169, 5}, {400, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x);
        EXPECT_TRUE(stars->handleTap({c.x, 15}));
        EXPECT_EQ(stars->rating(), c.rating);
        EXPECT_EQ(reported, c.rating);
    }
    ASSERT_EQ(stars->layer()->sublayers().size(), 5u);
    stars->setRating(2.5);
    EXPECT_TRUE(stars->layer()->sublayers()[2]->backgroundColor);
    EXPECT_FALSE(stars->layer()->sublayers()[3]->backgroundColor);
}

}  // namespace
}  // namespace platform
