#pragma once

// Layer animations on the clock. An animation added to a layer interpolates one numeric key path
// ("strokeEnd", "opacity", "transform.rotation.z") from the time it was added; rendering reads
// the value at the clock's current uptime, so a test moving a manual clock sees every frame.
// Transactions collect the animations added between begin() and commit() and run their
// completion on the main queue once the longest of them has ended. Main thread only.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class CALayer;

enum class CAMediaTimingFunctionName { linear, easeInEaseOut };
enum class CAFillMode { removed, forwards };

struct CABasicAnimation {
    explicit CABasicAnimation(std::string keyPath) : keyPath(std::move(keyPath)) {}
    std::string keyPath;
    std::optional<double> fromValue;  // absent: the layer's model value
    std::optional<double> toValue;    // absent: the layer's model value
    double duration = 0.25;
    double repeatCount = 1;
    bool isCumulative = false;
    bool isRemovedOnCompletion = true;
    CAFillMode fillMode = CAFillMode::removed;
    CAMediaTimingFunctionName timingFunction = CAMediaTimingFunctionName::easeInEaseOut;
    // Set when added to a layer: the clock's uptime then.
    double beginTime = 0;

    // How long all repeats take.
    double activeDuration() const;
    // The value `elapsed` seconds after the start, or none once the animation no longer
    // applies (finished and removed, or finished without fill).
    std::optional<double> valueAt(double elapsed, double modelValue) const;
};

class CATransaction {
  public:
    static void begin();
    // The completion of the innermost open transaction; replaces an earlier one.
    static void setCompletionBlock(std::function<void()> completion);
    // Closes the innermost transaction. Its completion runs on the main queue after its longest
    // animation (at once, through the queue, without any); a commit without a begin does nothing.
    static void commit();
    // Called by layers for every animation added.
    static void noteAnimation(double activeDuration);
};

}  // namespace platform
