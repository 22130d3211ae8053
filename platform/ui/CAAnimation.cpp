#include "platform/ui/CAAnimation.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/SerialQueue.h"

namespace platform {

double CABasicAnimation::activeDuration() const {
    const double d = std::isfinite(duration) && duration > 0 ? duration : 0;
    const double repeats = std::isfinite(repeatCount) && repeatCount > 1 ? repeatCount : 1;
    return d * repeats;
}

std::optional<double> CABasicAnimation::valueAt(double elapsed, double modelValue) const {
    if (!(elapsed >= 0)) return std::nullopt;
    const double from = fromValue.value_or(modelValue), to = toValue.value_or(modelValue);
    const double total = activeDuration();
    if (elapsed >= total) {
        if (isRemovedOnCompletion || fillMode != CAFillMode::forwards) return std::nullopt;
        elapsed = total;
    }
    if (total <= 0) return to;
    const double d = total / std::max(1.0, repeatCount);
    // The end of the last repeat shows the end value, not the start of another repeat.
    double iteration = std::floor(elapsed / d);
    double t = (elapsed - iteration * d) / d;
    if (elapsed >= total) iteration = std::ceil(total / d) - 1, t = 1;
    if (timingFunction == CAMediaTimingFunctionName::easeInEaseOut) t = t * t * (3 - 2 * t);
    const double base = isCumulative ? from + iteration * (to - from) : from;
    return base + (to - from) * t;
}

namespace {

struct OpenTransaction {
    std::function<void()> completion;
    double longest = 0;
};

// The main thread's open transactions, innermost last.
std::vector<OpenTransaction>& openTransactions() {
    static std::vector<OpenTransaction> stack;
    return stack;
}

}  // namespace

void CATransaction::begin() {
    openTransactions().emplace_back();
}

void CATransaction::setCompletionBlock(std::function<void()> completion) {
    if (!openTransactions().empty()) openTransactions().back().completion = std::move(completion);
}

void CATransaction::noteAnimation(double activeDuration) {
    for (auto& t : openTransactions())
        t.longest = std::max(t.longest, activeDuration);
}

void CATransaction::commit() {
    auto& stack = openTransactions();
    if (stack.empty()) return;
    OpenTransaction done = std::move(stack.back());
    stack.pop_back();
    if (done.completion) mainQueue().after(done.longest, std::move(done.completion));
}

}  // namespace platform
