#include "app/core/QuroDigitAnalyser.h"

#include <gtest/gtest.h>

namespace app {
namespace {

TEST(QuroDigitAnalyserTest, MaxDecimalPlaces) {
    struct Case {
        const char* first;
        const char* second;
        double places;
    };
    const Case cases[] = {

        {"0.25", "1.125", 3},

        {"1e-07", "1", 0},
        {"1.5e-07", "2.5", 1},               // "5e-07" is no integer
        {"1.", "2", 1},                      // the piece before the point is the last one left
        {"0.00000015", "0.5", 8},            // leading zeros count
        {"0.99999999999999999999", "1", 0},  // beyond the 64-bit range
        {"...", "7", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuroDigitAnalyser::maxDecimalPlaces(c.first, c.second), c.places)
            << c.first << " " << c.second;
    }
}

}  // namespace
}  // namespace app
