#include "platform/kits/VMPlayerView.h"

namespace platform {

namespace {
constexpr double kSecondsUntilReady = 1;
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
