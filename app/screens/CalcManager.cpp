#include "app/screens/CalcManager.h"

#include <ostream>

#include "app/services/AppIdentity.h"
#include "platform/foundation/SharedInstance.h"

namespace app {

Calculation::Calculation(const platform::Dictionary& dictionary) {
    if (const auto it = dictionary.find("inputParameters"); it != dictionary.end()) {
        if (const auto* map = it->second.getDictionary()) {
            bool allStrings = true;
            std::map<std::string, std::string> texts;
            for (const auto& [key, value] : *map) {
                if (const auto* text = value.getString()) {
                    texts[key] = *text;
                } else {
                    allStrings = false;
                }
            }
            if (allStrings) inputParameters = std::move(texts);
        }
    }
    if (const auto it = dictionary.find("latexString"); it != dictionary.end()) {
        if (const auto* text = it->second.getString()) latexString = *text;
    }
    if (const auto it = dictionary.find("solutionSteps"); it != dictionary.end()) {
        if (const auto* steps = it->second.getArray()) {
            std::vector<platform::Dictionary> read;
            bool allDictionaries = true;
            for (const auto& step : *steps) {
                if (const auto* d = step.getDictionary()) {
                    read.push_back(*d);
                } else {
                    allDictionaries = false;
                }
            }
            if (allDictionaries) solutionSteps = std::move(read);
        }
    }
    if (const auto it = dictionary.find("setupParameter"); it != dictionary.end()) {
        if (const auto* setup = it->second.getDictionary()) setupParameter = *setup;
    }
}

platform::Dictionary Calculation::calculationDictionary() const {
    platform::Dictionary input;
    for (const auto& [key, value] : inputParameters)
        input[key] = value;
    platform::Array steps(solutionSteps.begin(), solutionSteps.end());
    return {{"inputParameters", std::move(input)},
            {"latexString", latexString},
            {"solutionSteps", std::move(steps)},
            {"setupParameter", setupParameter}};
}

const std::map<std::string, std::string>& exampleInputParameters() {
    static const std::map<std::string, std::string> parameters{
        {"aTextField", "2"}, {"bTextField", "3"}, {"uTextField", "4"}, {"vTextField", "6"}};
    return parameters;
}

const platform::Dictionary& exampleSetupParameter() {
    static const platform::Dictionary parameters{{kInputCalculationSelectionKey, 5},
                                                 {kAppKeyParameter, kAppKey}};
    return parameters;
}

CalcManager::CalcManager() : userDefaults(platform::UserDefaults::standardUserDefaults()) {
    calculations = loadCalculations();
    currentCalculation = readRecord(kCurrentCalculationKey);
    currentSelectedCalculation = readRecord(kCurrentSelectedCalculationKey);
}

CalcManager& CalcManager::shared() {
    return platform::SharedInstance<CalcManager>::get();
}

std::optional<Calculation> CalcManager::readRecord(const std::string& key) const {
    const auto value = userDefaults.objectForKey(key);
    if (const auto* dictionary = value.getDictionary()) return Calculation(*dictionary);
    return std::nullopt;
}

std::vector<Calculation> CalcManager::loadCalculations() {
    std::vector<Calculation> loaded;
    const auto stored = userDefaults.objectForKey(kCalculationsKey);
    if (const auto* array = stored.getArray()) {
        for (const auto& entry : *array) {
            if (const auto* dictionary = entry.getDictionary()) {
                loaded.emplace_back(*dictionary);
            }
        }
    }
    if (!loaded.empty()) return loaded;
    userDefaults.removeObjectForKey(kCalculationsKey);
    calculations.clear();
    saveCalculations();
    return {};
}

platform::Array CalcManager::calculationDictionaries() const {
    platform::Array dictionaries;
    dictionaries.reserve(calculations.size());
    for (const auto& calculation : calculations)
        dictionaries.emplace_back(calculation.calculationDictionary());
    return dictionaries;
}

void CalcManager::saveCalculations() {
    userDefaults.setObject(calculationDictionaries(), kCalculationsKey);
}

void CalcManager::insertCalculation(const Calculation& calculation) {
    calculations.insert(calculations.begin(), calculation);
    saveCalculations();
}

void CalcManager::removeCalculation(std::size_t index) {
    if (index >= calculations.size()) return;
    calculations.erase(calculations.begin() + static_cast<std::ptrdiff_t>(index));
    saveCalculations();
}

void CalcManager::moveCalculation(std::size_t from, std::size_t to) {
    if (from >= calculations.size() || to >= calculations.size()) return;
    auto moved = std::move(calculations[from]);
    calculations.erase(calculations.begin() + static_cast<std::ptrdiff_t>(from));
    calculations.insert(calculations.begin() + static_cast<std::ptrdiff_t>(to), std::move(moved));
    saveCalculations();
}

void CalcManager::saveCurrentCalculations() {
    const auto write = [this](const std::optional<Calculation>& record, const char* key) {
        if (record) {
            userDefaults.setObject(record->calculationDictionary(), key);
        } else {
            userDefaults.removeObjectForKey(key);
        }
    };
    write(currentCalculation, kCurrentCalculationKey);
    write(currentSelectedCalculation, kCurrentSelectedCalculationKey);
}

void CalcManager::clearCalculations() {
    userDefaults.removeObjectForKey(kCalculationsKey);
    calculations.clear();
    saveCalculations();
}

void CalcManager::resetHistory() {
    clearCalculations();
    insertCalculation(
        Calculation(exampleInputParameters(), kExampleLatexString, {}, exampleSetupParameter()));
}

void PrintTo(const Calculation& calculation, std::ostream* os) {
    *os << "Calculation" << platform::Object(calculation.calculationDictionary()).description();
}

}  // namespace app
