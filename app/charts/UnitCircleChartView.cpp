#include "app/charts/UnitCircleChartView.h"

#include <cmath>
#include <limits>
#include <numbers>

#include "app/charts/ChartTableViewCell.h"
#include "app/core/NumberText.h"
#include "app/core/QuroMathOperation.h"
#include "platform/dispatch/SerialQueue.h"

namespace app {

using platform::CGPoint;
using platform::CGRect;
using platform::UIColor;

namespace {

constexpr double kRoundSeconds = 1;
constexpr int kTicks = 20;
constexpr char kAnimationLayer[] = "animation";

bool immediate() {
    return isTakingScreenshot.load();
}

// Degrees as an int, saturated at the int range.
long long saturatedDegrees(double value) {
    if (std::isnan(value)) return 0;
    const double lo = std::numeric_limits<int>::min(), hi = std::numeric_limits<int>::max();
    return static_cast<long long>(std::clamp(std::trunc(value), lo, hi));
}

std::string degreesText(double value) {
    return std::to_string(saturatedDegrees(value)) + "°";
}

// The first tick shows at once, so that it cannot land after the later ones of the same round.
void setTextAtTick(platform::UILabel& label, int tick, std::string text) {
    if (tick == 0) {
        label.setText(std::move(text));
        return;
    }
    std::weak_ptr<platform::UILabel> weak = label.shared<platform::UILabel>();
    platform::mainQueue().after(kRoundSeconds / kTicks * tick, [weak, text = std::move(text)] {
        if (auto l = weak.lock()) l->setText(text);
    });
}

}  // namespace

double unitCircleCoordinate(double x, bool isY) {
    const double pi = std::numbers::pi;
    double v = 0;
    if (!isY) {
        if (std::fmod(x + 90, 180) == 0)
            v = 0;
        else if (std::fmod(x, 360) == 0)
            v = 1;
        else if (std::fmod(x - 180, 360) == 0)
            v = -1;
        else
            v = std::cos(x * pi / 180);
    } else {
        if (std::fmod(x, 180) == 0)
            v = 0;
        else if (std::fmod(x - 90, 360) == 0)
            v = 1;
        else if (std::fmod(x - 270, 360) == 0)
            v = -1;
        else
            v = std::sin(x * pi / 180);
    }
    return QuroMathOperation::roundToDecimalPlaces(v, 2).value;
}

UnitCircleChartView::UnitCircleChartView(CGRect frame) : platform::UIView(frame) {
    const double w = frame.width(), h = frame.height();
    animationView = std::make_shared<platform::UIView>(CGRect{0, 0, h, h});
    addSubview(animationView);
    arrowView = std::make_shared<platform::UIView>(CGRect{0, 0, h, h});
    auto pointer = std::make_shared<platform::UIView>(CGRect{h / 2, h / 2 - 1, 0.375 * h, 2});
    pointer->setBackgroundColor(UIColor::label());
    arrowView->addSubview(pointer);
    animationView->addSubview(arrowView);
    auto label = [&](CGRect r, const std::string& text) {
        auto l = std::make_shared<platform::UILabel>(r);
        l->setText(text);
        addSubview(l);
        return l;
    };
    q1Label = label({0.75 * h, 0.1 * h, 40, 20}, "I");
    q2Label = label({0.2 * h, 0.1 * h, 40, 20}, "II");
    q3Label = label({0.2 * h, 0.8 * h, 40, 20}, "III");
    q4Label = label({0.75 * h, 0.8 * h, 40, 20}, "IV");
    const double x = h + 10, lw = std::max(40.0, w - x - 10);
    alphaLabel = label({x, 10, lw, 20}, "0°");
    gammaLabel = label({x, 35, lw, 20}, "0°");
    fullCirclesLabel = label({x, 60, lw, 20}, "0");
    pXLabel = label({x, 85, lw, 20}, "1.0");
    pYLabel = label({x, 110, lw, 20}, "0.0");
    animateAgainButton = std::make_shared<platform::FlatButton>();
    animateAgainButton->setFrame({x, h - 40, lw, 30});
    animateAgainButton->addTarget(platform::UIControlEvents::touchUpInside,
                                  [this](platform::UIControl&) { startAnimation(); });
    addSubview(animateAgainButton);
}

void UnitCircleChartView::startAnimation() {
    const auto& d = unitCircleChartData;
    // A replay while running is ignored, and so is a description without its angle.
    if (isAnimationRunning || !d || !d->alpha || !d->b || !d->fullCircles) return;
    isAnimationRunning = true;
    animateAgainButton->isUserInteractionEnabled = false;
    animateAgainButton->setAlpha(0.5);
    const auto layers = animationView->layer()->sublayers();
    for (const auto& l : layers)
        if (l->name == kAnimationLayer) l->removeFromSuperlayer();
    for (auto* q : {q1Label.get(), q2Label.get(), q3Label.get(), q4Label.get()})
        q->setAlpha(0);
    animateRound(0);
}

void UnitCircleChartView::animateRound(std::int64_t r) {
    const auto& d = *unitCircleChartData;
    const std::int64_t n = *d.fullCircles == std::numeric_limits<std::int64_t>::min()
                               ? std::numeric_limits<std::int64_t>::max()
                               : std::llabs(*d.fullCircles);
    const double s = *d.b < 0 ? -1 : 1, rd = static_cast<double>(r);
    double gamma = 360, theta = 2 * std::numbers::pi, shown = 360 * rd + 360;
    if (r >= n) {
        gamma = std::fabs(*d.alpha) - 360 * rd;
        theta = std::fabs(*d.b) - 2 * std::numbers::pi * rd;
        shown = std::fabs(*d.alpha);
    }
    fullCirclesLabel->setText(std::to_string(static_cast<long long>(s) * r));
    if (s * gamma == 0 || !std::isfinite(gamma)) {
        finishAnimation();
        return;
    }
    countDegrees(*alphaLabel, s * 360 * rd, s * shown);
    countDegrees(*gammaLabel, 0, s * gamma);
    countCoordinate(*pXLabel, false, s * shown);
    countCoordinate(*pYLabel, true, s * shown);
    drawArc(r, s * theta, kRoundSeconds);
    rotateArrow(n, r, s * theta, kRoundSeconds);
}

void UnitCircleChartView::rotateArrow(std::int64_t n, std::int64_t r, double angle,
                                      double duration) {
    auto next = [weak = std::weak_ptr<UnitCircleChartView>(shared<UnitCircleChartView>()), n, r] {
        auto self = weak.lock();
        if (!self) return;
        if (r < n)
            self->animateRound(r + 1);
        else
            self->finishAnimation();
    };
    auto& arrow = *arrowView->layer();
    if (immediate()) {
        arrow.transform = platform::CATransform3DMakeRotation(-angle, 0, 0, 1);
        next();
        return;
    }
    platform::CATransaction::begin();
    platform::CATransaction::setCompletionBlock(next);
    // Each round starts from the unrotated pointer: a full round turns it once.
    platform::CABasicAnimation rotation("transform.rotation.z");
    rotation.toValue = -angle;
    rotation.duration = duration;
    rotation.isCumulative = false;
    rotation.isRemovedOnCompletion = false;
    rotation.repeatCount = 1;
    rotation.fillMode = platform::CAFillMode::forwards;
    arrow.add(std::move(rotation), "rotationAnimation");
    platform::CATransaction::commit();
}

void UnitCircleChartView::drawArc(std::int64_t r, double angle, double duration) {
    const double w = animationView->frame().width(), h = animationView->frame().height();
    // A positive angle runs counter-clockwise on screen.
    const auto path = platform::UIBezierPath::arc({w / 2, h / 2}, 0.375 * w, 0, -angle, angle < 0);
    auto layer = std::make_shared<platform::CAShapeLayer>();
    layer->name = kAnimationLayer;
    layer->frame = animationView->bounds();
    layer->path = path;
    layer->fillColor = UIColor::clear();
    const double hue = std::fmod(0.18 * static_cast<double>(r), 1.0);  // wraps past red
    layer->strokeColor = UIColor::hsb(hue, 0.9, 1 - 0.02 * static_cast<double>(r));
    layer->lineWidth = 5;
    animationView->layer()->addSublayer(layer);
    if (immediate()) return;
    platform::CABasicAnimation stroke("strokeEnd");
    stroke.fromValue = 0;
    stroke.toValue = 1;
    stroke.duration = duration;
    stroke.timingFunction = platform::CAMediaTimingFunctionName::linear;
    stroke.fillMode = platform::CAFillMode::forwards;
    stroke.isRemovedOnCompletion = false;
    layer->add(std::move(stroke), "animateCircle");
}

void UnitCircleChartView::finishAnimation() {
    animateAgainButton->isUserInteractionEnabled = true;
    animateAgainButton->setAlpha(1);
    if (const auto& q = unitCircleChartData->quadrant) {
        platform::UILabel* labels[] = {q1Label.get(), q2Label.get(), q3Label.get(), q4Label.get()};
        labels[static_cast<int>(*q) % 4]->setAlpha(1);
    }
    const double w = animationView->frame().width(), h = animationView->frame().height();
    const double r = 0.375 * w, b = *unitCircleChartData->b;
    const CGPoint p{w / 2 + r * std::cos(b), h / 2 - r * std::sin(b)};
    drawLine({w / 2, h / 2}, {p.x, h / 2}, UIColor::systemBlue());
    drawLine({p.x, h / 2}, p, UIColor::systemRed());
    isAnimationRunning = false;
}

void UnitCircleChartView::drawLine(CGPoint from, CGPoint to, const UIColor& color) {
    platform::UIBezierPath path;
    path.moveTo(from);
    path.addLineTo(to);
    auto layer = std::make_shared<platform::CAShapeLayer>();
    layer->name = kAnimationLayer;
    layer->frame = animationView->bounds();
    layer->path = path;
    layer->strokeColor = color;
    layer->lineWidth = 5;
    layer->lineJoin = platform::CALineJoin::bevel;
    animationView->layer()->addSublayer(layer);
    if (immediate()) return;
    platform::CABasicAnimation stroke("strokeEnd");
    stroke.fromValue = 0.0;
    stroke.toValue = 1.0;
    stroke.duration = 1;
    layer->add(std::move(stroke), "strokeEnd");
}

void UnitCircleChartView::countDegrees(platform::UILabel& label, double from, double to) {
    if (immediate()) {
        label.setText(degreesText(to));
        return;
    }
    const std::string sign = to < 0 ? "-" : "";
    for (int i = 0; i <= kTicks; ++i) {
        const double value =
            std::round(i / double(kTicks) * (std::fabs(to) - std::fabs(from)) + std::fabs(from));
        setTextAtTick(label, i, sign + degreesText(value));
    }
}

void UnitCircleChartView::countCoordinate(platform::UILabel& label, bool isY, double angle) {
    if (immediate()) {
        label.setText(shortestDescription(unitCircleCoordinate(angle, isY)));
        return;
    }
    for (int i = 0; i <= kTicks; ++i) {
        const std::string text = shortestDescription(unitCircleCoordinate(angle * i / kTicks, isY));
        setTextAtTick(label, i, text);
    }
}

}  // namespace app
