#pragma once
// Interface files as C++ builders: a storyboard scene builds a view controller (typically with a
// view loader that makes its view tree and connects its outlets), a nib builds a view, a cell or
// a controller. Registrations live for the process.
#include <functional>
#include <memory>
#include <string>

#include "platform/ui/UIViewController.h"

namespace platform {

class UIStoryboard {
  public:
    using SceneBuilder = std::function<std::shared_ptr<UIViewController>()>;
    // Replaces an earlier registration of the same storyboard and identifier.
    static void registerScene(const std::string& storyboard, const std::string& identifier,
                              SceneBuilder builder);
    // A new controller from the scene; null (logged) when no such scene is registered.
    static std::shared_ptr<UIViewController> instantiate(const std::string& storyboard,
                                                         const std::string& identifier);
    template <typename T>
    static std::shared_ptr<T> instantiate(const std::string& storyboard,
                                          const std::string& identifier) {
        return std::dynamic_pointer_cast<T>(instantiate(storyboard, identifier));
    }
};

class UINib {
  public:
    using Builder = std::function<std::shared_ptr<UIResponder>()>;
    static void registerNib(const std::string& name, Builder builder);
    // The nib's top-level object; null (logged) when no such nib is registered.
    static std::shared_ptr<UIResponder> instantiate(const std::string& name);
    template <typename T>
    static std::shared_ptr<T> instantiate(const std::string& name) {
        return std::dynamic_pointer_cast<T>(instantiate(name));
    }
};

}  // namespace platform
