#include "app/core/Digit.h"

#include <gtest/gtest.h>

#include "app/core/CoreTestSupport.h"

namespace app {
namespace {

using testing::euler;
using testing::makeTerm;
using testing::pi;

TEST(DigitTest, Value) {
    EXPECT_FALSE(Digit().value());
    EXPECT_EQ(makeTerm(1, 1, {pi()}).value(), 3.141592653589793);
    EXPECT_EQ(makeTerm(1, 2, {}, {euler()}).value(), 0.5 / 2.718281828459045);
    EXPECT_EQ(makeTerm(3, 4, {}, {}, "x").value(), 0.75);
}

TEST(DigitTest, InvertSwapsTheParts) {
    Digit term = makeTerm(3, 4, {pi()}, {}, "x");
    term.invert();
    EXPECT_EQ(term.z, 4.0);
    EXPECT_EQ(term.n, 3.0);
    EXPECT_EQ(term.nConstants, NaturalConstants{pi()});
    EXPECT_TRUE(term.zConstants.empty());
    EXPECT_EQ(term.nVariable, "x");
    EXPECT_EQ(term.powerOfZVariable, 0.0);
}

TEST(DigitTest, WithoutRemovesEveryEqualConstant) {
    EXPECT_EQ(without({pi(), euler(), pi()}, {pi()}), NaturalConstants{euler()});
}

}  // namespace
}  // namespace app
