#include "platform/kits/VMPlayerView.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

namespace platform {

namespace {

constexpr double kSecondsUntilReady = 1;
constexpr CGFloat kTitleBarHeight = 40;
constexpr CGFloat kTitleFontSize = 15;

// Sky and hills of the drawn picture, one pair per video (by its identifier).
constexpr std::array<std::pair<const char*, const char*>, 4> kPictureColours{{
    {"#5b8def", "#2f5d3a"},
    {"#f29e4c", "#6b3e26"},
    {"#7fb7be", "#35524a"},
    {"#b07bd1", "#3d2e5c"},
}};

std::size_t pictureOf(const std::string& videoId) {
    std::size_t sum = 0;
    for (unsigned char c : videoId)
        sum += c;
    return sum % kPictureColours.size();
}

// "1:30" for a start at second 90; empty without a usable start.
std::string startLabel(const Dictionary& playerVars) {
    const auto it = playerVars.find("start");
    const std::string* text = it == playerVars.end() ? nullptr : it->second.getString();
    long seconds = -1;
    if (text) {
        auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), seconds);
        if (ec != std::errc() || end != text->data() + text->size()) seconds = -1;
    }
    if (seconds < 0) return {};
    const long s = seconds % 60;
    return std::to_string(seconds / 60) + (s < 10 ? ":0" : ":") + std::to_string(s);
}

}  // namespace

VMPlayerView::~VMPlayerView() {
    if (pending_) pending_->cancel();
}

bool VMPlayerView::loadWithVideoId(const std::string& videoId, const Dictionary& playerVars) {
    videoId_ = videoId;
    playerVars_ = playerVars;
    ++loads_;
    if (pending_) pending_->cancel();
    std::weak_ptr<VMPlayerView> weak = shared<VMPlayerView>();
    pending_ = mainQueue().after(kSecondsUntilReady, [weak] {
        const auto self = weak.lock();
        if (!self) return;
        self->pending_.reset();
        if (const auto d = self->delegate.lock()) d->playerViewDidBecomeReady(*self);
    });
    return true;
}

void VMPlayerView::describe(ViewDescription& d) const {
    UIView::describe(d);
    if (!videoId_.empty()) d.text = videoId_;
}

}  // namespace platform

namespace platform {

TextStyle VMPlayerView::textStyle() const {
    return {UIFont{"System-Semibold", kTitleFontSize}, NSTextAlignment::left, false};
}

void VMPlayerView::draw(CGContext& ctx, CGRect rect) const {
    if (videoId_.empty()) return;
    const CGFloat w = rect.width(), h = rect.height(), x = rect.minX(), y = rect.minY();
    const auto& [sky, hills] = kPictureColours[pictureOf(videoId_)];
    // The picture: sky, sun and hills.
    ctx.fill(rect, *UIColor::hex(sky));
    ctx.drawPath(UIBezierPath::ovalIn({x + w * 0.68, y + h * 0.16, w * 0.14, w * 0.14}),
                 std::nullopt, *UIColor::hex("#ffe8a3"));
    UIBezierPath land;
    land.moveTo({x, y + h * 0.74});
    land.addLineTo({x + w * 0.3, y + h * 0.46});
    land.addLineTo({x + w * 0.5, y + h * 0.62});
    land.addLineTo({x + w * 0.72, y + h * 0.4});
    land.addLineTo({x + w, y + h * 0.7});
    land.addLineTo({x + w, y + h});
    land.addLineTo({x, y + h});
    land.close();
    ctx.drawPath(land, std::nullopt, *UIColor::hex(hills));
    // The title over a shade at the top.
    ctx.fill({x, y, w, kTitleBarHeight}, UIColor::white(0, 0.55));
    ctx.drawText(videoId_, {x + 12, y, std::max(0.0, w - 24), kTitleBarHeight},
                 UIColor::whiteColor());
    // The play button in the middle.
    const CGRect button{x + (w - 56) / 2, y + (h - 56) / 2, 56, 56};
    ctx.fill(button, UIColor::white(0, 0.6), 28);
    UIBezierPath triangle;
    triangle.moveTo({button.minX() + 22, button.minY() + 16});
    triangle.addLineTo({button.minX() + 40, button.minY() + 28});
    triangle.addLineTo({button.minX() + 22, button.minY() + 40});
    triangle.close();
    ctx.drawPath(triangle, std::nullopt, UIColor::whiteColor());
    // Where it starts, when not at the beginning.
    if (const auto start = startLabel(playerVars_); !start.empty()) {
        const CGRect badge{x + w - 60, y + h - 30, 52, 22};
        ctx.fill(badge, UIColor::white(0, 0.7), 4);
        ctx.saveGState();
        ctx.setTextStyle({UIFont::systemFont(12), NSTextAlignment::center, false});
        ctx.drawText(start, badge, UIColor::whiteColor());
        ctx.restoreGState();
    }
}

}  // namespace platform
