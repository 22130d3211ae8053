#pragma once

// The history: every successful calculation as a Calculation record, newest first, kept in the
// standard user defaults together with the calculate screen's last input and the record picked
// in the history list. Every change is saved before the operation returns. Main thread only.

#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/UserDefaults.h"

namespace app {

inline constexpr char kCalculationsKey[] = "Calculations";
inline constexpr char kCurrentCalculationKey[] = "CurrentCalculation";
inline constexpr char kCurrentSelectedCalculationKey[] = "CurrentSelectedCalculation";
inline constexpr char kInputCalculationSelectionKey[] = "inputCalculationSelection";
inline constexpr char kAppKeyParameter[] = "appKey";
inline constexpr char kExampleLatexString[] = "\\log_{2^3}(4^6)";

// The fields of the calculate screen, in field order; they key a record's input parameters.
inline constexpr const char* kFieldIds[] = {"aTextField", "bTextField", "uTextField", "vTextField"};

struct Calculation {
    std::map<std::string, std::string> inputParameters;
    std::string latexString;
    std::vector<platform::Dictionary> solutionSteps;
    platform::Dictionary setupParameter;

    Calculation() = default;
    Calculation(std::map<std::string, std::string> input, std::string latex,
                std::vector<platform::Dictionary> steps, platform::Dictionary setup)
        : inputParameters(std::move(input)),
          latexString(std::move(latex)),
          solutionSteps(std::move(steps)),
          setupParameter(std::move(setup)) {}
    // Each field from its key when the value has the right kind, else empty; never fails.
    explicit Calculation(const platform::Dictionary& dictionary);
    // The stored form: the four field names as keys.
    platform::Dictionary calculationDictionary() const;
    bool operator==(const Calculation&) const = default;
};

// For failure messages: the stored form's description.
void PrintTo(const Calculation& calculation, std::ostream* os);

const std::map<std::string, std::string>& exampleInputParameters();
const platform::Dictionary& exampleSetupParameter();

class CalcManager {
  public:
    CalcManager();
    virtual ~CalcManager() = default;
    static CalcManager& shared();

    platform::UserDefaults& userDefaults;
    std::string persistKey = "pelmora_1";
    std::vector<Calculation> calculations;
    std::optional<Calculation> currentCalculation;
    std::optional<Calculation> currentSelectedCalculation;

    // An index outside the list changes nothing and writes nothing.
    virtual void removeCalculation(std::size_t index);
    // Indices as a table reports a reorder; either outside the list: nothing happens.
    virtual void moveCalculation(std::size_t from, std::size_t to);
    virtual void insertCalculation(const Calculation& calculation);
    virtual void saveCurrentCalculations();
    virtual platform::Array calculationDictionaries() const;
    virtual std::vector<Calculation> loadCalculations();
    void saveCalculations();
    void clearCalculations();
    // Empties the history and seeds the example record.
    void resetHistory();

  private:
    std::optional<Calculation> readRecord(const std::string& key) const;
};

}  // namespace app
