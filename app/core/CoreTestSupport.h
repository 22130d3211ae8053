#pragma once

// Shared set-up of the calculation core's tests: a clean process state and the app's resources.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "app/core/Digit.h"
#include "app/core/SolutionStep.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/SharedInstance.h"
#include "testkit/TempHome.h"

namespace app::testing {

class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::resetSharedInstances();
        platform::Bundle::setMainBundleDirectory(TESSALINE_RESOURCE_DIR);
    }
    void TearDown() override { platform::resetSharedInstances(); }
};

// A term z/n with the given constants and variables (powers 1.0 for a named variable).
inline Digit makeTerm(double z, double n = 1.0, NaturalConstants zConstants = {},
                      NaturalConstants nConstants = {}, std::string zVariable = "",
                      std::string nVariable = "") {
    Digit term;
    term.z = z;
    term.n = n;
    term.zConstants = std::move(zConstants);
    term.nConstants = std::move(nConstants);
    term.powerOfZVariable = zVariable.empty() ? 0.0 : 1.0;
    term.powerOfNVariable = nVariable.empty() ? 0.0 : 1.0;
    term.zVariable = std::move(zVariable);
    term.nVariable = std::move(nVariable);
    return term;
}

// A fresh folder (and data root), removed with everything in it.
class TemporaryFolder : public testkit::TempHome {
  public:
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path() / name, std::ios::binary) << bytes;
    }
};

// A step as the tests compare it: title and LaTeX.
struct Step {
    std::string title;
    std::string latex;
    friend bool operator==(const Step&, const Step&) = default;
};

inline void PrintTo(const Step& step, std::ostream* out) {
    *out << "{\"" << step.title << "\", \"" << step.latex << "\"}";
}

inline std::vector<Step> stepsOf(const SolutionSteps& steps) {
    std::vector<Step> result;
    for (const auto& step : steps)
        result.push_back({step.at(kStepTitle), step.at(kStepLatexString)});
    return result;
}

inline const NaturalConstant& pi() {
    return naturalConstantTable()[0];
}
inline const NaturalConstant& euler() {
    return naturalConstantTable()[1];
}

}  // namespace app::testing
