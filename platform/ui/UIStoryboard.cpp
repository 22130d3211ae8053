#include "platform/ui/UIStoryboard.h"

#include <map>
#include <mutex>

#include "platform/foundation/Log.h"
#include "platform/foundation/NoDestructor.h"

namespace platform {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, UIStoryboard::SceneBuilder> scenes;
    std::map<std::string, UINib::Builder> nibs;
};

// Registrations are part of the program, like the interface files they stand for, so they are
// not reset with the shared instances.
Registry& registry() {
    static NoDestructor<Registry> r;
    return r.get();
}

}  // namespace

void UIStoryboard::registerScene(const std::string& storyboard, const std::string& identifier,
                                 SceneBuilder builder) {
    std::lock_guard lock(registry().mutex);
    registry().scenes[{storyboard, identifier}] = std::move(builder);
}

std::shared_ptr<UIViewController> UIStoryboard::instantiate(const std::string& storyboard,
                                                            const std::string& identifier) {
    SceneBuilder builder;
    {
        std::lock_guard lock(registry().mutex);
        auto it = registry().scenes.find({storyboard, identifier});
        if (it != registry().scenes.end()) builder = it->second;
    }
    auto vc = builder ? builder() : nullptr;
    if (!vc) {
        systemLog("UIStoryboard: no scene \"" + identifier + "\" in storyboard \"" + storyboard +
                  "\"");
    }
    return vc;
}

void UINib::registerNib(const std::string& name, Builder builder) {
    std::lock_guard lock(registry().mutex);
    registry().nibs[name] = std::move(builder);
}

std::shared_ptr<UIResponder> UINib::instantiate(const std::string& name) {
    Builder builder;
    {
        std::lock_guard lock(registry().mutex);
        auto it = registry().nibs.find(name);
        if (it != registry().nibs.end()) builder = it->second;
    }
    auto object = builder ? builder() : nullptr;
    if (!object) systemLog("UINib: no nib named \"" + name + "\"");
    return object;
}

}  // namespace platform
