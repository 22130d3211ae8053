#pragma once
// The video service's embedded player: it loads a video by its identifier with player variables
// and tells its delegate once it can play, one second of the clock after the load. Loaded, it
// shows what a player shows before it plays: the video's picture, its title and a play button.
// The service that would send the title and thumbnail is out of reach here, so the title is the
// video's identifier and the picture is drawn, its colours chosen by the identifier.
#include <memory>
#include <string>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Object.h"
#include "platform/ui/UIView.h"

namespace platform {

class VMPlayerView;

class VMPlayerViewDelegate {
  public:
    virtual ~VMPlayerViewDelegate() = default;
    virtual void playerViewDidBecomeReady(VMPlayerView& playerView) = 0;
};

class VMPlayerView : public UIView {
  public:
    using UIView::UIView;
    ~VMPlayerView() override;
    std::weak_ptr<VMPlayerViewDelegate> delegate;
    // Loads the player; a later load replaces an earlier one that is not ready yet.
    bool loadWithVideoId(const std::string& videoId, const Dictionary& playerVars);
    const std::string& videoId() const { return videoId_; }
    const Dictionary& playerVars() const { return playerVars_; }
    int loadCount() const { return loads_; }
    void describe(ViewDescription& d) const override;
    void draw(CGContext& ctx, CGRect rect) const override;
    TextStyle textStyle() const override;

  private:
    std::string videoId_;
    Dictionary playerVars_;
    int loads_ = 0;
    std::shared_ptr<Cancelable> pending_;
};

}  // namespace platform
