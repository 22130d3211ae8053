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

const KLVPValue& fail(platform::Error* error, std::int64_t code) {
    KLVPSetScriptError(error, code);
    return KLVPUndefined();
}

bool countWork(KLVPScope& scope, std::size_t units, platform::Error* error) {
    KLVPRuntimeContext* context = scope.context();
    return !context || context->countWork(units, error);
}

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

KLVPValue stringArray(std::vector<Text> texts, KLVPScope& scope, platform::Error* error) {
    KLVPValues values;
    values.reserve(texts.size());
    for (Text& text : texts)
        values.push_back(KLVPStringValue::make(std::move(text)));
    auto array = KLVPObjectManager::arrayValueWithArray(std::move(values), scope, error);
    if (!array) return KLVPUndefined();
    return array;
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

// The first match of `pattern` in `text`: its start and end, -1 for none; false on an engine
// failure (a bad pattern or a time-out).
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
    const bool found = matcher->find(status);
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

KLVPValue concat(const Text& text, Values v, KLVPScope& scope, platform::Error* error) {
    Text result = text;
    for (const KLVPValue& value : v) {
        const Text part = value->stringValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        if (part.size() > kKLVPMaxTextLength - result.size())
            return fail(error, kKLVPErrorRuntimeLimit);
        if (!countWork(scope, part.size(), error)) return KLVPUndefined();
        result += part;
    }
    return string(std::move(result), error);
}

KLVPValue hasOwnProperty(const Text& text, Values v, KLVPScope&, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(v, 1, error)) return KLVPUndefined();
    if (v[0]->kind() == KLVPValueKind::String &&
        static_cast<const KLVPStringValue&>(*v[0]).value() == u"length")
        return KLVPBoolean(true);
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
    const std::size_t found = text.find(search, clampIndex(start, text.size()));
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
    const std::size_t found = text.rfind(search, clampIndex(start, text.size()));
    return KLVPNumberValue::make(found == Text::npos ? -1 : static_cast<double>(found));
}

KLVPValue match(const Text& text, Values v, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 1, error)) return KLVPUndefined();
    const Text pattern = v.empty() ? Text() : v[0]->stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (pattern.empty()) return stringArray({Text()}, scope, error);
    std::int32_t start = 0;
    std::int32_t end = 0;
    if (!firstMatch(pattern, text, &start, &end, error)) return KLVPUndefined();
    if (start < 0) return KLVPNull();
    return stringArray(
        {text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start))},
        scope, error);
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

KLVPValue replace(const Text& text, Values v, KLVPScope& scope, platform::Error* error) {
    if (!KLVPCheckArgumentCountAtMost(v, 2, error)) return KLVPUndefined();
    const Text search = textAt(v, 0, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    std::size_t found = search.empty() ? 0 : text.find(search);
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
    if (replacement.size() > kKLVPMaxTextLength) return fail(error, kKLVPErrorRuntimeLimit);
    if (!countWork(scope, replacement.size(), error)) return KLVPUndefined();
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
    if (text.empty() || v.empty()) return stringArray({text}, scope, error);
    const Text separator = v[0]->stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    if (v.size() > 1) {
        const double d = v[1]->doubleValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        limit = KLVPToUint32(d);
    }
    std::vector<Text> pieces;
    if (separator.empty()) {
        for (std::size_t i = 0; i < text.size() && pieces.size() < limit; ++i)
            pieces.emplace_back(1, text[i]);
    } else {
        std::size_t from = 0;
        while (pieces.size() < limit) {
            const std::size_t found = text.find(separator, from);
            pieces.push_back(text.substr(from, found == Text::npos ? Text::npos : found - from));
            if (found == Text::npos) break;
            from = found + separator.size();
        }
    }
    if (!countWork(scope, pieces.size(), error)) return KLVPUndefined();
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
    if (method == std::end(kMethods)) return fail(error, kKLVPErrorUnknownMethod);
    const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    // Every method reads the receiver at most a few times over.
    if (!countWork(scope, text.size(), error)) return KLVPUndefined();
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
