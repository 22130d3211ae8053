#include "engine/script/KLVPStringMethods.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"
#include "platform/foundation/SystemLocale.h"

namespace engine {

namespace {

// Bounds one match: the engine's time limit, in its own deterministic steps.
constexpr std::int32_t kRegexTimeLimit = 50;

using Text = std::u16string;
using Values = std::span<const KLVPValue>;
using Handler = KLVPValue (*)(const Text& text, Values values, KLVPScope& scope,
                              platform::Error* error);

// One step of the expression engine is about this many of its operations; steps are charged to
// the run as they are taken.
constexpr std::size_t kRegexStepUnits = 10'000;

// The argument's text, or "undefined" when it is missing.
Text textAt(Values values, std::size_t i, platform::Error* error) {
    return i < values.size() ? values[i]->stringValueOrError(error) : Text(u"undefined");
}

double integerOf(const KLVPValue& value, platform::Error* error) {
    return KLVPToInteger(value->doubleValueOrError(error));
}

std::size_t clampIndex(double value, std::size_t length) {
    if (!(value > 0)) return 0;
    return value >= static_cast<double>(length) ? length : static_cast<std::size_t>(value);
}

KLVPValue string(Text text, platform::Error* error) {
    return KLVPStringValue::make(std::move(text), error);
}

KLVPValue stringArray(KLVPValues values, KLVPScope& scope, platform::Error* error) {
    auto array = KLVPObjectManager::arrayValueWithArray(std::move(values), scope, error);
    if (!array) return KLVPUndefined();
    return array;
}

KLVPValue oneStringArray(Text text, KLVPScope& scope, platform::Error* error) {
    KLVPValue value = KLVPStringValue::make(std::move(text), error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return stringArray({std::move(value)}, scope, error);
}

// Plain substring search in linear time, whatever the texts (a quadratic search over texts of a
// million units would hold the run for minutes): the pattern's prefix function, then one pass.
class TextSearch {
  public:
    // The pattern must not be empty.
    TextSearch(std::u16string_view pattern, platform::Error* error)
        : pattern_(pattern), prefix_(pattern.size(), 0) {
        if (!KLVPChargeWork(pattern.size(), error)) return;
        // Texts are at most kKLVPMaxTextLength units, so positions fit 32 bits.
        for (std::uint32_t i = 1, k = 0; i < pattern.size(); ++i) {
            while (k > 0 && pattern[i] != pattern[k])
                k = prefix_[k - 1];
            if (pattern[i] == pattern[k]) ++k;
            prefix_[i] = k;
        }
    }

    // The first occurrence that begins at or after `from`, or npos.
    // The units scanned are charged.
    std::size_t find(std::u16string_view text, std::size_t from, platform::Error* error) const {
        std::size_t i = from;
        std::size_t found = Text::npos;
        for (std::size_t k = 0; i < text.size(); ++i) {
            while (k > 0 && text[i] != pattern_[k])
                k = prefix_[k - 1];
            if (text[i] == pattern_[k]) ++k;
            if (k == pattern_.size()) {
                found = i + 1 - k;
                ++i;
                break;
            }
        }
        if (i > from && !KLVPChargeWork(i - from, error)) return Text::npos;
        return found;
    }

  private:
    std::u16string_view pattern_;
    std::vector<std::uint32_t> prefix_;
};

// The first occurrence of a non-empty pattern at or after `from`, or npos.
std::size_t findText(std::u16string_view text, std::u16string_view pattern, std::size_t from,
                     platform::Error* error) {
    const TextSearch search(pattern, error);
    return KLVPFailed(error) ? Text::npos : search.find(text, from, error);
}

// The last occurrence of a non-empty pattern that begins at or before `start`, or npos: the first
// one in the texts reversed.
std::size_t findLastText(std::u16string_view text, std::u16string_view pattern, std::size_t start,
                         platform::Error* error) {
    if (pattern.size() > text.size()) return Text::npos;
    const std::size_t end = std::min(start, text.size() - pattern.size()) + pattern.size();
    if (!KLVPChargeWork(end + pattern.size(), error)) return Text::npos;
    const Text reversedText(
        std::make_reverse_iterator(text.begin() + static_cast<std::ptrdiff_t>(end)), text.rend());
    const Text reversedPattern(pattern.rbegin(), pattern.rend());
    const std::size_t found = findText(reversedText, reversedPattern, 0, error);
    return found == Text::npos ? Text::npos : end - found - pattern.size();
}

icu::UnicodeString icuText(const Text& text) {
    return icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size()));
}

Text fromIcu(const icu::UnicodeString& text) {
    return Text(text.getBuffer(), text.getBuffer() + text.length());
}

bool failRegex(UErrorCode status, platform::Error* error) {
    if (error) {
        error->domain = kKLVPRegularExpressionErrorDomain;
        error->code = status;
    }
    return false;
}

// The steps of one match, charged as the engine takes them; a charge that fails stops the match.
struct RegexSteps {
    std::int32_t charged = 0;
    platform::Error error;
};

UBool U_CALLCONV chargeRegexSteps(const void* context, int32_t steps) {
    auto* state = static_cast<RegexSteps*>(const_cast<void*>(context));
    // Steps count from the start of each attempt.
    const auto taken =
        static_cast<std::size_t>(steps > state->charged ? steps - state->charged : steps);
    state->charged = steps;
    return KLVPChargeWork(taken * kRegexStepUnits, &state->error);
}

// The first match of `pattern` in `text`: its start and end, -1 for none; false on an engine
// failure (a bad pattern or a time-out) or when the run is past its limits.
bool firstMatch(const Text& pattern, const Text& text, std::int32_t* start, std::int32_t* end,
                platform::Error* error) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icuText(pattern), 0, parseError, status));
    if (U_FAILURE(status)) return failRegex(status, error);
    const icu::UnicodeString input = icuText(text);
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
    if (U_FAILURE(status)) return failRegex(status, error);
    matcher->setTimeLimit(kRegexTimeLimit, status);
    RegexSteps steps;
    matcher->setMatchCallback(chargeRegexSteps, &steps, status);
    const bool found = matcher->find(status);
    if (KLVPFailed(&steps.error)) {
        if (error) *error = steps.error;
        return false;
    }
    if (U_FAILURE(status)) return failRegex(status, error);
    *start = found ? matcher->start(status) : -1;
    *end = found ? matcher->end(status) : -1;
    return U_SUCCESS(status) || failRegex(status, error);
}

// The methods.

KLVPValue charAt(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 1, error)) return KLVPUndefined();
    const double position = v.empty() ? 0 : integerOf(v[0], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (position < 0 || position >= static_cast<double>(text.size())) return string(Text(), error);
    return string(Text(1, text[static_cast<std::size_t>(position)]), error);
}

KLVPValue concat(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    Text result = text;
    for (const KLVPValue& value : v) {
        const Text part = value->stringValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        if (part.size() > kKLVPMaxTextLength - result.size())
            return KLVPFail(error, kKLVPErrorRuntimeLimit);
        if (!KLVPChargeWork(part.size(), error)) return KLVPUndefined();
        result += part;
    }
    return string(std::move(result), error);
}

KLVPValue hasOwnProperty(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 1, error)) return KLVPUndefined();
    // By the argument's text, whatever it is: an array holding "length" names it too.
    const KLVPTextForm name(v[0], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (name.view() == u"length") return KLVPBoolean(true);
    const double d = v[0]->doubleValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPBoolean(d >= 0 && std::floor(d) == d && d < static_cast<double>(text.size()));
}

KLVPValue indexOf(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const Text search = textAt(v, 0, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const double start = v.size() > 1 ? integerOf(v[1], error) : 0;
    if (KLVPFailed(error)) return KLVPUndefined();
    if (search.empty()) return KLVPNumberValue::make(-1);
    const std::size_t found = findText(text, search, clampIndex(start, text.size()), error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPNumberValue::make(found == Text::npos ? -1 : static_cast<double>(found));
}

KLVPValue lastIndexOf(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const Text search = textAt(v, 0, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    double start = std::numeric_limits<double>::infinity();
    if (v.size() > 1) {
        const double d = v[1]->doubleValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        if (!std::isnan(d)) start = KLVPToInteger(d);
    }
    if (search.empty()) return KLVPNumberValue::make(-1);
    const std::size_t found = findLastText(text, search, clampIndex(start, text.size()), error);
    if (KLVPFailed(error)) return KLVPUndefined();
    return KLVPNumberValue::make(found == Text::npos ? -1 : static_cast<double>(found));
}

KLVPValue match(const Text& text, Values v, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 1, error)) return KLVPUndefined();
    const Text pattern = v.empty() ? Text() : v[0]->stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (pattern.empty()) return oneStringArray(Text(), scope, error);
    std::int32_t start = 0;
    std::int32_t end = 0;
    if (!firstMatch(pattern, text, &start, &end, error)) return KLVPUndefined();
    if (start < 0) return KLVPNull();
    return oneStringArray(
        text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)), scope,
        error);
}

KLVPValue search(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 1, error)) return KLVPUndefined();
    const Text pattern = textAt(v, 0, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (pattern.empty()) return KLVPNumberValue::make(0);
    std::int32_t start = 0;
    std::int32_t end = 0;
    if (!firstMatch(pattern, text, &start, &end, error)) return KLVPUndefined();
    return KLVPNumberValue::make(start);
}

KLVPValue replace(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const Text search = textAt(v, 0, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::size_t found = search.empty() ? 0 : findText(text, search, 0, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (found == Text::npos) return string(text, error);
    Text replacement;
    if (v.size() > 1 && v[1]->kind() == KLVPValueKind::Function) {
        const KLVPValue arguments[] = {KLVPStringValue::make(search),
                                       KLVPNumberValue::make(static_cast<double>(found)),
                                       KLVPStringValue::make(text)};
        const KLVPValue result =
            static_cast<KLVPFunctionValue&>(*v[1]).invokeWithEvaluatedArguments(arguments, error);
        if (KLVPFailed(error)) return KLVPUndefined();
        replacement = result->stringValueOrError(error);
    } else {
        replacement = textAt(v, 1, error);
    }
    if (KLVPFailed(error)) return KLVPUndefined();
    if (replacement.size() > kKLVPMaxTextLength) return KLVPFail(error, kKLVPErrorRuntimeLimit);
    if (!KLVPChargeWork(replacement.size(), error)) return KLVPUndefined();
    Text result = text.substr(0, found);
    result += replacement;
    result.append(text, found + search.size());
    return string(std::move(result), error);
}

// A negative position counts from the end.
std::size_t slicePosition(double value, std::size_t length) {
    if (value < 0) return clampIndex(value + static_cast<double>(length), length);
    return clampIndex(value, length);
}

KLVPValue slice(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const double s = v.empty() ? 0 : integerOf(v[0], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const double e = v.size() < 2 ? static_cast<double>(text.size()) : integerOf(v[1], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::size_t start = slicePosition(s, text.size());
    const std::size_t end = std::max(slicePosition(e, text.size()), start);
    return string(text.substr(start, end - start), error);
}

KLVPValue substring(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const double s = v.empty() ? 0 : integerOf(v[0], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const double e = v.size() < 2 ? static_cast<double>(text.size()) : integerOf(v[1], error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::size_t a = clampIndex(s, text.size());
    const std::size_t b = clampIndex(e, text.size());
    return string(text.substr(std::min(a, b), std::max(a, b) - std::min(a, b)), error);
}

KLVPValue split(const Text& text, Values v, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    if (text.empty() || v.empty()) return oneStringArray(text, scope, error);
    const Text separator = v[0]->stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    if (v.size() > 1) {
        const double d = v[1]->doubleValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        limit = KLVPToUint32(d);
    }
    // Each piece is made as the run's memory allows.
    KLVPValues pieces;
    const auto add = [&](Text piece) {
        pieces.push_back(KLVPStringValue::make(std::move(piece), error));
        return !KLVPFailed(error);
    };
    if (separator.empty()) {
        for (std::size_t i = 0; i < text.size() && pieces.size() < limit; ++i) {
            if (!add(Text(1, text[i]))) return KLVPUndefined();
        }
    } else {
        const TextSearch search(separator, error);
        if (KLVPFailed(error)) return KLVPUndefined();
        std::size_t from = 0;
        while (pieces.size() < limit) {
            const std::size_t found = search.find(text, from, error);
            if (KLVPFailed(error)) return KLVPUndefined();
            if (!add(text.substr(from, found == Text::npos ? Text::npos : found - from)))
                return KLVPUndefined();
            if (found == Text::npos) break;
            from = found + separator.size();
        }
    }
    return stringArray(std::move(pieces), scope, error);
}

bool noArguments(Values v, platform::Error* error) {
    return KLVPCheckArgumentCountEquals(v, 0, error);
}

KLVPValue mapCase(const Text& text, Values v, platform::Error* error, bool upper,
                  const icu::Locale& locale) {
    if (!noArguments(v, error)) return KLVPUndefined();
    icu::UnicodeString mapped(text.data(), static_cast<int32_t>(text.size()));
    if (upper) {
        mapped.toUpper(locale);
    } else {
        mapped.toLower(locale);
    }
    return string(fromIcu(mapped), error);
}

icu::Locale userLocale() {
    const std::vector<std::string> languages = platform::preferredLanguages();
    return languages.empty() ? icu::Locale::getRoot() : icu::Locale(languages.front().c_str());
}

KLVPValue toLowerCase(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    return mapCase(text, v, error, false, icu::Locale::getRoot());
}
KLVPValue toUpperCase(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    return mapCase(text, v, error, true, icu::Locale::getRoot());
}
KLVPValue toLocaleLowerCase(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    return mapCase(text, v, error, false, userLocale());
}
KLVPValue toLocaleUpperCase(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    return mapCase(text, v, error, true, userLocale());
}

KLVPValue toString(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!noArguments(v, error)) return KLVPUndefined();
    return string(text, error);
}

KLVPValue trim(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!noArguments(v, error)) return KLVPUndefined();
    std::size_t start = 0;
    std::size_t end = text.size();
    while (start < end && KLVPIsTrimmedBlank(text[start]))
        ++start;
    while (end > start && KLVPIsTrimmedBlank(text[end - 1]))
        --end;
    return string(text.substr(start, end - start), error);
}

struct Method {
    std::u16string_view name;
    Handler handler;
};

constexpr Method kMethods[] = {
    {u"charAt", charAt},
    {u"concat", concat},
    {u"hasOwnProperty", hasOwnProperty},
    {u"indexOf", indexOf},
    {u"lastIndexOf", lastIndexOf},
    {u"match", match},
    {u"replace", replace},
    {u"search", search},
    {u"slice", slice},
    {u"split", split},
    {u"substring", substring},
    {u"toLowerCase", toLowerCase},
    {u"toLocaleLowerCase", toLocaleLowerCase},
    {u"toUpperCase", toUpperCase},
    {u"toLocaleUpperCase", toLocaleUpperCase},
    {u"toString", toString},
    {u"trim", trim},
};

}  // namespace

const KLVPStringCommandEvaluator& KLVPStringCommandEvaluator::sharedInstance() {
    static const KLVPStringCommandEvaluator evaluator;
    return evaluator;
}

KLVPValue KLVPStringCommandEvaluator::evaluateCommand(std::u16string_view name, const Text& text,
                                                      std::span<const KLVPValue> arguments,
                                                      KLVPScope& scope,
                                                      platform::Error* error) const {
    const auto method = std::find_if(std::begin(kMethods), std::end(kMethods),
                                     [name](const Method& m) { return m.name == name; });
    if (method == std::end(kMethods)) return KLVPFail(error, kKLVPErrorUnknownMethod);
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    // Every method reads the receiver at most a few times over.
    if (!KLVPChargeWork(text.size(), error)) return KLVPUndefined();
    const KLVPValue result = method->handler(text, values, scope, error);
    return KLVPFailed(error) ? KLVPUndefined() : result;
}

KLVPValue KLVPStringValue::applyWithName(std::u16string_view name,
                                         std::span<const KLVPValue> arguments, KLVPScope& scope,
                                         platform::Error* error) {
    return KLVPStringCommandEvaluator::sharedInstance().evaluateCommand(name, value_, arguments,
                                                                        scope, error);
}

}  // namespace engine
