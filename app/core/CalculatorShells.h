#pragma once

// The family's other calculators as shells: their stored fields with their initial values and
// nothing more. Each holds the core's shared instances by reference and owns the rest.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/ChartData.h"
#include "app/core/Digit.h"
#include "app/core/Fraction.h"
#include "app/core/QuroInputManager.h"
#include "app/core/QuroMathOperation.h"
#include "app/core/QuroStringOutput.h"
#include "app/core/SolutionStep.h"

namespace app {

// A number formatter in its default settings; the shells only keep one each.
class NumberFormatter {};
using NumberFormatterRef = std::shared_ptr<NumberFormatter>;
inline NumberFormatterRef makeNumberFormatter() {
    return std::make_shared<NumberFormatter>();
}

// Calculators that write to the step buffer; `Tag` makes each a type of its own.
template <typename Tag>
class QuroStepBufferShell {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    std::optional<std::vector<DigitRef>> allInputs;
};
template <typename Tag>
class QuroStepBufferListShell {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    std::vector<DigitRef> allInputs;
};
template <typename Tag>
class QuroStepBufferListRoundingShell {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    std::vector<DigitRef> allInputs;
    std::int64_t decimalPlaces = 5;
};

using QuroPowerAndLogarithmicFunction = QuroStepBufferShell<struct PowerAndLogarithmicTag>;
using QuroAdvancedPowerCalculator = QuroStepBufferShell<struct AdvancedPowerTag>;
using QuroSimpleLogarithm = QuroStepBufferShell<struct SimpleLogarithmTag>;
using QuroSimplePowerCalculator = QuroStepBufferShell<struct SimplePowerTag>;
using QuroExponentialGrowthAndDecay = QuroStepBufferShell<struct ExponentialGrowthTag>;
using QuroBinomialCoefficient = QuroStepBufferShell<struct BinomialCoefficientTag>;
using QuroBernoulliFormula = QuroStepBufferListShell<struct BernoulliFormulaTag>;
using QuroBernoulliExperiment = QuroStepBufferListShell<struct BernoulliExperimentTag>;
using QuroHypothesisTestTypeIError = QuroStepBufferListRoundingShell<struct HypothesisTestTag>;
using QuroBinomialDistribution = QuroStepBufferListRoundingShell<struct BinomialDistributionTag>;
using QuroCombinatorics = QuroStepBufferListRoundingShell<struct CombinatoricsTag>;

class QuroFormulaCalculation {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    std::int64_t decimalPlaces = 12;
};

template <typename Tag>
class QuroGeometryShell {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    NumberFormatterRef numberFormatter = makeNumberFormatter();
    std::int64_t solutionStepCounter = 0;
    bool someThingCalculated = false;
    std::map<std::string, std::optional<DigitRef>> inputParameters;
};

using QuroIsoscelesTriangle = QuroGeometryShell<struct IsoscelesTriangleTag>;
using QuroRightTriangle = QuroGeometryShell<struct RightTriangleTag>;
using QuroArbitraryTriangle = QuroGeometryShell<struct ArbitraryTriangleTag>;
using QuroSphereCalculator = QuroGeometryShell<struct SphereTag>;
using QuroCircularCone = QuroGeometryShell<struct CircularConeTag>;
using QuroFrustumOfACone = QuroGeometryShell<struct FrustumOfAConeTag>;
using QuroPyramid = QuroGeometryShell<struct PyramidTag>;
using QuroFrustumOfAPyramid = QuroGeometryShell<struct FrustumOfAPyramidTag>;

class QuroQuickStochastics {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    NumberFormatterRef numberFormatter = makeNumberFormatter();
    std::map<std::string, std::optional<DigitRef>> inputParameters;
    std::int64_t decimalPlaces = 5;
};

class QuroLinearEquation {
  public:
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    std::optional<std::string> inputM, inputN, inputX1, inputX2, inputY1, inputY2;
    std::optional<std::int64_t> tagM, tagN, tagX1, tagX2, tagY1, tagY2;
    Fraction x1, x2, y1, y2, m, n;
    bool withFraction = false;
    double divisor = 1.0;
    bool isMOrNChanged = false, isAnyPointChanged = false, isInputChanged = false,
         isMChanged = false, isNChanged = false, isX1Changed = false, isY1Changed = false,
         isX2Changed = false, isY2Changed = false;
};

class QuroPQFormula {
  public:
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    QuroMathOperation& operation = QuroMathOperation::shared();
    bool withFraction = false;
    std::string inputPText, inputQText;
    std::int64_t inputPTag = 0, inputQTag = 0;
    Fraction p, q;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false, cancelDownDone = false;
    SolutionSteps solutionSteps;
    std::optional<std::int64_t> solutionStepCounter;
};

class QuroFactorizeQuadratics {
  public:
    struct resultContainer {
        double A1 = 0, A2 = 0, B = 0, C1 = 0, C2 = 0, D = 0;
    };
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    bool withFraction = false;
    std::string inputAText, inputBText, inputCText;
    std::int64_t inputATag = 0, inputBTag = 0, inputCTag = 0;
    std::optional<double> a, b, c;
    std::optional<std::vector<resultContainer>> allTmps, allResults;
    std::optional<resultContainer> choosenExample;
    bool isA1Example = true;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false;
};

class QuroACMethod {
  public:
    struct resultContainer {
        double A1 = 0, A2 = 0, B = 0, C1 = 0, C2 = 0, D = 0;
    };
    std::string inputAText, inputBText, inputCText;
    std::int64_t inputATag = 0, inputBTag = 0, inputCTag = 0;
    std::optional<double> a, b, c;
    bool isA1Example = true;
    bool isAnyNumberChanged = false;
    std::optional<std::vector<resultContainer>> allTmps, allResults;
    std::optional<resultContainer> choosenExample;
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    bool withFraction = false;
};

class QuroPythagoras {
  public:
    std::optional<std::int64_t> tagA, tagB, tagC;
    Fraction a, b, c;
    bool negativeSqrt = false;
    std::optional<double> divisor;
    bool isAnyNumberChanged = false;
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    bool withFraction = false;
};

class QuroRuleOfProportion {
  public:
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    QuroInputManager& inputManager = QuroInputManager::shared();
    QuroMathOperation& mathOperation = QuroMathOperation::shared();
    bool withFraction = false;
    DigitRef a = makeDigit(), b = makeDigit(), c = makeDigit(), d = makeDigit();
    std::string inputAText, inputBText, inputCText, inputDText;
    std::int64_t inputATag = 0, inputBTag = 0, inputCTag = 0, inputDTag = 0;
    std::int64_t missingInput = 0;
};

class QuroPercentageCalculator {
  public:
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    QuroInputManager& inputManager = QuroInputManager::shared();
    QuroMathOperation& mathOperation = QuroMathOperation::shared();
    bool withFraction = false;
    std::string inputFormat;
    std::int64_t missingInput = 0;
    DigitRef a = makeDigit(), b = makeDigit(), c = makeDigit(), d = makeDigit();
    std::string inputAText, inputBText, inputCText;
    std::int64_t inputATag = 0, inputBTag = 0, inputCTag = 0;
};

class QuroSineCosineTangent {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    DigitRef a = makeDigit(), b = makeDigit(), k = makeDigit(), x = makeDigit();
    std::optional<std::vector<DigitRef>> allInputs;
};

class QuroBinomialFormula {
  public:
    DigitRef a = makeDigit(), b = makeDigit(), aHistory = makeDigit(), bHistory = makeDigit();
    std::string inputAText, inputBText;
    std::int64_t inputATag = 0, inputBTag = 0;
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    bool withFraction = false;
    std::optional<float> divisor;
    bool isAnyNumberChanged = false, cancelDownDone = false;
    SolutionSteps solutionSteps;
    std::optional<std::int64_t> solutionStepCounter;
    std::int64_t choosenFormula = 0;
};

class QuroSimpleFractionCalculator {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    std::string inputStringA, inputStringB, inputStringC, inputStringD;
    NumberFormatterRef numberFormatter = makeNumberFormatter();
    std::int64_t solutionStepCounter = 0;
    bool withFraction = false;
    DigitRef a = makeDigit(), b = makeDigit(), c = makeDigit(), d = makeDigit(), ab = makeDigit(),
             cd = makeDigit();
};

class QuroReduceFraction {
  public:
    bool withFraction = false;
    std::optional<double> divisor;
    std::int64_t maximumFractionDigits = 10;
    std::optional<std::string> inputString;
    std::string inputStringA, inputStringB;
    NumberFormatterRef numberFormatter = makeNumberFormatter();
    std::int64_t solutionStepCounter = 0;
};

class QuroUnitCircle {
  public:
    QuroMathOperation& operation = QuroMathOperation::shared();
    QuroStringOutput& output = QuroStringOutput::shared();
    std::string inputStringAlpha, inputStringB;
    NumberFormatterRef numberFormatter = makeNumberFormatter();
    std::int64_t solutionStepCounter = 0;
    bool withFraction = false;
    DigitRef alpha = makeDigit(), b = makeDigit();
    std::shared_ptr<UnitCircleChartData> unitCircleChartData =
        std::make_shared<UnitCircleChartData>(0.0, 0.0, 0.0, 0, Quadrant::first);
};

class QuroFindX {
  public:
    struct Digit {
        double value = 0;
        std::optional<std::int64_t> index;
        std::int64_t mathOperator = 0;
        bool isNegative = false;
        std::optional<std::int64_t> instanceIndex;
        bool isRight = false;
        std::int64_t powerOfVariable = 0;
        bool isDenominator = false;
        std::optional<std::int64_t> fractionIndex;
    };
    struct Instance {
        std::int64_t index = 0, level = 0;
        std::optional<std::int64_t> surroundingInstanceIndex;
        std::int64_t leftOperation = 0;
        bool isNegative = false;
        std::optional<std::int64_t> operationInstancePartnerIndex, operationDigitPartnerIndex;
        bool hasRightOperation = false, isRight = false, isProcessed = false;
    };
    QuroStringOutput& outputHelper = QuroStringOutput::shared();
    QuroInputManager& inputManager = QuroInputManager::shared();
    QuroMathOperation& mathOperation = QuroMathOperation::shared();
    bool withFraction = false;
    std::map<std::int64_t, Digit> allDigits;
    std::int64_t firstDigitIndexForRight = 0;
    std::map<std::int64_t, Instance> allInstances;
    std::int64_t firstInstanceIndexForRight = 0;
    std::string inputLeftText, inputRightText;
    std::int64_t inputLeftTag = 0, inputRightTag = 0;
    std::string leftTerm, rightTerm, lastShownTerm;
    std::optional<float> divisor;
    std::int64_t fractionIndexCounter = 0;
    std::optional<bool> isDotInDigitAlready;
    bool isOpeningBrackingAppeared = false;
    bool isXAllowed = true;
    bool isPlusOperatorAllowed = false;
    std::optional<std::int64_t> bracketCounter, operatorCounter;
    bool isError = false, isFinished = false;
};

class QuroFormulaCheck {};

}  // namespace app
