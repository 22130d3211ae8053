#pragma once

// Regular expressions in the dialect the measurement server writes them in (ICU's), shared by
// the audience filters and the event-editing rule runtime. Patterns come from the downloaded
// configuration, so two guards keep a hostile or careless one from stalling the worker queue:
// every match runs under ICU's match time limit (and its backtracking stack limit), and compiled
// patterns are kept in a small process-wide cache instead of being compiled per evaluation.
//
// A compiled expression is immutable and may be used from any thread; the cache takes a lock.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace engine {

// How one search ended.
enum class KLVRegularExpressionMatch {
    kMatch,
    kNoMatch,
    // The match time limit (or the backtracking stack limit) ran out: there is no answer.
    kTimedOut,
};

// For failure messages: "kMatch", "kNoMatch" or "kTimedOut".
void PrintTo(KLVRegularExpressionMatch match, std::ostream* os);

class KLVRegularExpression {
  public:
    // Steps of ICU's match engine a search may take before it gives up. One step is ten thousand
    // backtracking operations: the limit ends a catastrophic pattern within milliseconds, far
    // beyond what a sound pattern needs on the short texts of parameters and properties.
    static constexpr std::int32_t kMatchTimeLimit = 40;
    // Backtracking stack a search may use, in bytes.
    static constexpr std::int32_t kMatchStackLimit = 1 << 20;
    // Compiled patterns kept at most; the least recently used goes first.
    static constexpr std::size_t kCacheLimit = 64;

    // The compiled expression, from the cache when it was compiled before; null when the pattern
    // does not compile, with ICU's reason in `errorDescription` when one is asked for.
    static std::shared_ptr<const KLVRegularExpression> regularExpressionWithPattern(
        std::string_view pattern, bool caseInsensitive, std::string* errorDescription = nullptr);

    // Whether the expression matches anywhere in `text`.
    KLVRegularExpressionMatch firstMatchInString(std::string_view text) const;

    const std::string& pattern() const { return pattern_; }
    bool isCaseInsensitive() const { return caseInsensitive_; }

    // Patterns now cached (tests).
    static std::size_t cachedPatternCount();

    KLVRegularExpression(std::string pattern, bool caseInsensitive,
                         std::unique_ptr<icu::RegexPattern> compiled);
    ~KLVRegularExpression();
    KLVRegularExpression(const KLVRegularExpression&) = delete;
    KLVRegularExpression& operator=(const KLVRegularExpression&) = delete;

  private:
    std::string pattern_;
    bool caseInsensitive_;
    std::unique_ptr<icu::RegexPattern> compiled_;
};

}  // namespace engine
