#include "app/core/CalculatorShells.h"

#include "app/core/CoreTestSupport.h"

namespace app {
namespace {

using ShellTest = testing::CoreTest;

TEST_F(ShellTest, ShellsShareTheCoreInstances) {
    QuroCombinatorics combinatorics;
    QuroPyramid pyramid;
    QuroFindX findX;
    QuroRuleOfProportion proportion;
    EXPECT_EQ(&combinatorics.operation, &QuroMathOperation::shared());
    EXPECT_EQ(&pyramid.output, &QuroStringOutput::shared());
    EXPECT_EQ(&findX.outputHelper, &combinatorics.output);
    EXPECT_EQ(&proportion.inputManager, &findX.inputManager);
    EXPECT_EQ(combinatorics.decimalPlaces, 5);
    EXPECT_EQ(QuroFormulaCalculation{}.decimalPlaces, 12);
    EXPECT_FALSE(QuroSimpleLogarithm{}.allInputs.has_value());
    EXPECT_TRUE(findX.isXAllowed);
    EXPECT_TRUE(QuroACMethod{}.isA1Example);
    EXPECT_EQ(QuroLinearEquation{}.divisor, 1.0);
    EXPECT_EQ(QuroLinearEquation{}.m.n, 1.0);
}

TEST_F(ShellTest, TwoShellsHoldDistinctTermsFormattersAndCharts) {
    QuroUnitCircle first, second;
    EXPECT_NE(first.alpha, second.alpha);
    EXPECT_NE(first.alpha, first.b);
    EXPECT_NE(first.numberFormatter, second.numberFormatter);
    EXPECT_NE(first.unitCircleChartData, second.unitCircleChartData);
    EXPECT_EQ(first.unitCircleChartData->frameRatio, 2.0);
    EXPECT_EQ(first.unitCircleChartData->quadrant, Quadrant::first);
    QuroPercentageCalculator percent;
    EXPECT_NE(percent.a, percent.d);
    EXPECT_FALSE(percent.a->z.has_value());
}

}  // namespace
}  // namespace app
