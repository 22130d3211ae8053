#pragma once

// The app's one road to the measurement engine: every app event goes through
// AppAnalytics::logEventWithName, which hands it on unchanged (the engine decides what it keeps).
// While a Recorder lives, the events are also recorded in order, so that screens can be tested
// for what they report.

#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

namespace app {

class AppAnalytics {
  public:
    AppAnalytics() = delete;

    // Where events go. The start-up installs the engine's public interface
    // (TRWAnalytics::logEventWithName); without a sink the event is only recorded.
    using Sink = std::function<void(const std::string& name, const platform::Dictionary&)>;
    // Returns the sink it replaces. Thread-safe.
    static Sink setSink(Sink sink);

    // Returns at once; nothing comes back. Thread-safe.
    static void logEventWithName(const std::string& name,
                                 const platform::Dictionary& parameters = {});

    struct Event {
        std::string name;
        platform::Dictionary parameters;
        bool operator==(const Event&) const = default;
    };

    // Records every event logged while it lives.
    class Recorder {
      public:
        Recorder();
        ~Recorder();
        Recorder(const Recorder&) = delete;
        Recorder& operator=(const Recorder&) = delete;
        std::vector<Event> events() const;
        std::vector<std::string> names() const;

      private:
        friend class AppAnalytics;
        std::vector<Event> events_;
    };
};

}  // namespace app
