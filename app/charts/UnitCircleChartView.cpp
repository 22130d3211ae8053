#include "app/charts/UnitCircleChartView.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "app/charts/ChartTableViewCell.h"
#include "app/core/NumberText.h"
#include "app/core/QuroMathOperation.h"
#include "app/services/ColorManager.h"
#include "app/services/QuroColor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/UIWindow.h"

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

constexpr double kHideQuadrantSeconds = 0.5;
constexpr double kShowQuadrantSeconds = 1;
constexpr double kCircleRadiusShare = 0.375;  // of the picture's width
constexpr char kReplayImage[] = "ic_replay_white";

// The circle picture at `side` points square: the axes through the centre with their names and
// the circle of radius 0.375 x side on which the arcs are drawn.
std::shared_ptr<platform::UIImage> unitCirclePicture(double side) {
    return platform::UIGraphicsImageRenderer({side, side}).image([side](platform::CGContext& ctx) {
        const double c = side / 2, margin = 0.06 * side;
        const auto axisColor = QuroColor::label().withAlphaComponent(0.6);
        platform::UIBezierPath xAxis, yAxis;
        xAxis.moveTo({margin, c});
        xAxis.addLineTo({side - margin, c});
        yAxis.moveTo({c, side - margin});
        yAxis.addLineTo({c, margin});
        ctx.drawPath(xAxis, axisColor, std::nullopt);
        ctx.drawPath(yAxis, axisColor, std::nullopt);
        auto circle = platform::UIBezierPath::ovalIn(
            {c - kCircleRadiusShare * side, c - kCircleRadiusShare * side,
             2 * kCircleRadiusShare * side, 2 * kCircleRadiusShare * side});
        circle.lineWidth = 1.5;
        ctx.drawPath(circle, QuroColor::systemGray(), std::nullopt);
        ctx.setTextStyle({platform::UIFont::systemFont(11), platform::NSTextAlignment::center});
        ctx.drawText("x", {side - margin - 6, c - 15, 12, 13}, axisColor);
        ctx.drawText("y", {c + 3, margin - 4, 12, 13}, axisColor);
    });
}

// The pointer at `side` points square: an arrow from the centre to the circle, pointing along
// the positive x axis; it turns with its view about the centre.
std::shared_ptr<platform::UIImage> unitCirclePointer(double side) {
    return platform::UIGraphicsImageRenderer({side, side}).image([side](platform::CGContext& ctx) {
        const double c = side / 2, tip = c + kCircleRadiusShare * side, head = 0.05 * side;
        platform::UIBezierPath shaft;
        shaft.lineWidth = 2;
        shaft.moveTo({c, c});
        shaft.addLineTo({tip - head, c});
        ctx.drawPath(shaft, QuroColor::label(), std::nullopt);
        platform::UIBezierPath arrowHead;
        arrowHead.moveTo({tip, c});
        arrowHead.addLineTo({tip - head, c - head / 2});
        arrowHead.addLineTo({tip - head, c + head / 2});
        arrowHead.close();
        ctx.drawPath(arrowHead, std::nullopt, QuroColor::label());
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
    setUpView();
}

void UnitCircleChartView::setUpView() {
    contentView = std::make_shared<platform::UIView>(bounds());
    contentView->autoresizingMask =
        platform::UIViewAutoresizing::flexibleWidth | platform::UIViewAutoresizing::flexibleHeight;
    contentView->setBackgroundColor(QuroColor::background());
    ColorManager::addShadow(*contentView->layer());
    addSubview(contentView);

    const double w = bounds().width(), side = std::min(w, bounds().height());
    const CGRect square{0, 0, side, side};
    circleImageView = std::make_shared<platform::UIImageView>(unitCirclePicture(side));
    circleImageView->setFrame(square);
    contentView->addSubview(circleImageView);
    animationView = std::make_shared<platform::UIView>(square);
    contentView->addSubview(animationView);
    arrowImageView = std::make_shared<platform::UIImageView>(unitCirclePointer(side));
    arrowImageView->setFrame(square);
    contentView->addSubview(arrowImageView);

    auto label = [&](CGRect r, const std::string& text, platform::NSTextAlignment alignment) {
        auto l = std::make_shared<platform::UILabel>(r);
        l->setText(text);
        l->textColor = QuroColor::label();
        l->textAlignment = alignment;
        contentView->addSubview(l);
        allLabels.push_back(l);
        return l;
    };
    const auto centred = platform::NSTextAlignment::center;
    // The quadrant labels stand in the corners of the picture, outside the circle.
    q1Label = label({side - 36, 4, 32, 20}, "I", centred);
    q2Label = label({4, 4, 32, 20}, "II", centred);
    q3Label = label({4, side - 24, 32, 20}, "III", centred);
    q4Label = label({side - 36, side - 24, 32, 20}, "IV", centred);
    // The counting labels, each beside its name.
    const double x = side + 10, rowWidth = std::max(40.0, w - x - 10), nameWidth = 0.3 * rowWidth;
    const auto left = platform::NSTextAlignment::left;
    std::shared_ptr<platform::UILabel>* values[] = {&alphaLabel, &gammaLabel, &fullCirclesLabel,
                                                    &pXLabel, &pYLabel};
    const char* names[] = {"α =", "γ =", "n =", "x =", "y ="};
    const char* initial[] = {"0°", "0°", "0", "1.0", "0.0"};
    for (int i = 0; i < 5; ++i) {
        const double y = 8 + 24 * i;
        label({x, y, nameWidth, 20}, names[i], left);
        *values[i] = label({x + nameWidth, y, rowWidth - nameWidth, 20}, initial[i], left);
    }

    animateAgainButton = std::make_shared<platform::FlatButton>();
    animateAgainButton->setFrame({x, side - 38, rowWidth, 30});
    animateAgainButton->setImage(platform::UIImage::named(kReplayImage));
    animateAgainButton->contentEdgeInsets = {3, (rowWidth - 24) / 2, 3, (rowWidth - 24) / 2};
    animateAgainButton->setBackgroundColor(themePink());
    auto& shadow = *animateAgainButton->layer();
    shadow.shadowColor = QuroColor::shadow();
    shadow.shadowOpacity = 0.2;
    shadow.shadowOffset = {0, 1};
    shadow.shadowRadius = 1;
    animateAgainButton->addTarget(platform::UIControlEvents::touchUpInside,
                                  [](platform::UIControl& sender) { tappedAnimateAgain(sender); });
    contentView->addSubview(animateAgainButton);

    if (platform::UIDevice::current().userInterfaceIdiom == platform::UIUserInterfaceIdiom::pad) {
        for (const auto& l : allLabels)
            platform::setFontSize(*l, 38);
    }
}

void UnitCircleChartView::tappedAnimateAgain(platform::UIView& sender) {
    const auto container = sender.superview();
    const auto chart = container ? container->superview() : nullptr;
    if (auto* view = dynamic_cast<UnitCircleChartView*>(chart.get())) view->startAnimation();
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
    animateRound(0);
}

void UnitCircleChartView::hideQuadrantLabels() {
    for (auto* q : {q1Label.get(), q2Label.get(), q3Label.get(), q4Label.get()})
        q->setAlpha(0);
}

void UnitCircleChartView::showQuadrantLabel() {
    const auto& q = unitCircleChartData->quadrant;
    if (!q) return;
    platform::UILabel* labels[] = {q1Label.get(), q2Label.get(), q3Label.get(), q4Label.get()};
    labels[static_cast<int>(*q) % 4]->setAlpha(1);
}

void UnitCircleChartView::animateRound(std::int64_t r) {
    const auto& d = *unitCircleChartData;
    if (r == 0) {
        if (immediate())
            hideQuadrantLabels();
        else
            platform::UIView::animate(kHideQuadrantSeconds, [this] { hideQuadrantLabels(); });
    }
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
    auto& arrow = *arrowImageView->layer();
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
    const double w = circleImageView->frame().width(), h = circleImageView->frame().height();
    // A positive angle runs counter-clockwise on screen.
    const auto path =
        platform::UIBezierPath::arc({w / 2, h / 2}, kCircleRadiusShare * w, 0, -angle, angle < 0);
    auto layer = std::make_shared<platform::CAShapeLayer>();
    layer->name = kAnimationLayer;
    layer->frame = animationView->bounds();
    layer->path = path;
    layer->fillColor = UIColor::clear();
    // The hue grows by 0.18 a round and is handed over as it is: past 1 the colour initialiser
    // carries it round the colour wheel again.
    const double rd = static_cast<double>(r);
    layer->strokeColor = UIColor::hsb(0.18 * rd, 0.9, 1 - 0.02 * rd);
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
    if (immediate())
        showQuadrantLabel();
    else
        platform::UIView::animate(kShowQuadrantSeconds, [this] { showQuadrantLabel(); });
    drawProjectionLines();
    isAnimationRunning = false;
}

void UnitCircleChartView::drawProjectionLines() {
    const double w = animationView->frame().width(), h = animationView->frame().height();
    const double r = kCircleRadiusShare * w, b = *unitCircleChartData->b;
    const CGPoint p{w / 2 + r * std::cos(b), h / 2 - r * std::sin(b)};
    drawLine({w / 2, h / 2}, {p.x, h / 2}, UIColor::systemBlue());
    drawLine({p.x, h / 2}, p, UIColor::systemRed());
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
