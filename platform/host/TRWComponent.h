#pragma once

// A component the host framework makes on request: a library registers components with the host,
// and another component asks the configured app for an instance of a protocol (an abstract C++
// type here), which the host makes with the component's creation block.

#include <functional>
#include <memory>
#include <typeindex>
#include <typeinfo>
#include <utility>

namespace platform {

class TRWComponent {
  public:
    // A component for `Protocol`, whose instances `creationBlock` makes (it may answer null).
    template <typename Protocol>
    static TRWComponent componentWithProtocol(
        std::function<std::shared_ptr<Protocol>()> creationBlock) {
        return TRWComponent(typeid(Protocol), [block = std::move(creationBlock)] {
            return std::static_pointer_cast<void>(block ? block() : nullptr);
        });
    }

    std::type_index protocol() const { return protocol_; }
    // A new instance from the creation block.
    std::shared_ptr<void> makeInstance() const { return creationBlock_(); }

  private:
    TRWComponent(std::type_index protocol, std::function<std::shared_ptr<void>()> creationBlock)
        : protocol_(protocol), creationBlock_(std::move(creationBlock)) {}

    std::type_index protocol_;
    std::function<std::shared_ptr<void>()> creationBlock_;
};

}  // namespace platform
