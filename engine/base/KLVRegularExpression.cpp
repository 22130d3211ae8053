#include "engine/base/KLVRegularExpression.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <list>
#include <mutex>
#include <ostream>
#include <utility>

namespace engine {

namespace {

struct CacheEntry {
    std::string pattern;
    bool caseInsensitive;
    std::shared_ptr<const KLVRegularExpression> expression;
};

// Most recently used first.
class PatternCache {
  public:
    std::shared_ptr<const KLVRegularExpression> find(std::string_view pattern,
                                                     bool caseInsensitive) {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->caseInsensitive == caseInsensitive && it->pattern == pattern) {
                entries_.splice(entries_.begin(), entries_, it);
                return entries_.front().expression;
            }
        }
        return nullptr;
    }

    void insert(std::shared_ptr<const KLVRegularExpression> expression) {
        std::lock_guard lock(mutex_);
        entries_.push_front(
            {expression->pattern(), expression->isCaseInsensitive(), std::move(expression)});
        while (entries_.size() > KLVRegularExpression::kCacheLimit)
            entries_.pop_back();
    }

    std::size_t size() {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

  private:
    std::mutex mutex_;
    std::list<CacheEntry> entries_;
};

PatternCache& patternCache() {
    static PatternCache cache;
    return cache;
}

}  // namespace

KLVRegularExpression::KLVRegularExpression(std::string pattern, bool caseInsensitive,
                                           std::unique_ptr<icu::RegexPattern> compiled)
    : pattern_(std::move(pattern)),
      caseInsensitive_(caseInsensitive),
      compiled_(std::move(compiled)) {}

KLVRegularExpression::~KLVRegularExpression() = default;

std::shared_ptr<const KLVRegularExpression> KLVRegularExpression::regularExpressionWithPattern(
    std::string_view pattern, bool caseInsensitive, std::string* errorDescription) {
    if (auto cached = patternCache().find(pattern, caseInsensitive)) return cached;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(pattern.data(), static_cast<std::int32_t>(pattern.size())));
    std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
        text, caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, parseError, status));
    if (U_FAILURE(status) || !compiled) {
        if (errorDescription) {
            *errorDescription = std::string(u_errorName(status)) + " at offset " +
                                std::to_string(parseError.offset);
        }
        return nullptr;
    }
    auto expression = std::make_shared<const KLVRegularExpression>(
        std::string(pattern), caseInsensitive, std::move(compiled));
    patternCache().insert(expression);
    return expression;
}

KLVRegularExpressionMatch KLVRegularExpression::firstMatchInString(std::string_view text) const {
    UErrorCode status = U_ZERO_ERROR;
    const auto input = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(compiled_->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return KLVRegularExpressionMatch::kTimedOut;
    matcher->setTimeLimit(kMatchTimeLimit, status);
    matcher->setStackLimit(kMatchStackLimit, status);
    if (U_FAILURE(status)) return KLVRegularExpressionMatch::kTimedOut;
    const bool found = matcher->find(status);
    // A time-out, an exhausted stack or any other failure part-way leaves no answer.
    if (U_FAILURE(status)) return KLVRegularExpressionMatch::kTimedOut;
    return found ? KLVRegularExpressionMatch::kMatch : KLVRegularExpressionMatch::kNoMatch;
}

std::size_t KLVRegularExpression::cachedPatternCount() {
    return patternCache().size();
}

void PrintTo(KLVRegularExpressionMatch match, std::ostream* os) {
    static constexpr const char* kNames[] = {"kMatch", "kNoMatch", "kTimedOut"};
    *os << kNames[static_cast<int>(match)];
}

}  // namespace engine
