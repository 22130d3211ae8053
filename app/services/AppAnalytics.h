#pragma once

// The app's one road to the measurement engine: every app event goes through
// AppAnalytics::logEventWithName, which hands it on unchanged (the engine decides what it keeps).
// While a Recorder lives, the events are also recorded in order, so that screens can be tested
// for what they report.

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

namespace app {

// The side menu's app-link row and the rating link log under these names. Their names as first
// given, "Tapped App Link" and "Tapped Rating in Menu", hold spaces, which the engine refuses
// (a name is letters, digits and underscores): it stored an error event in their place and lost
// their parameters every time. These are the nearest names it accepts, snake_case like the
// app's other events.
inline constexpr char kTappedAppLinkEvent[] = "tapped_app_link";
inline constexpr char kTappedRatingInMenuEvent[] = "tapped_rating_in_menu";

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

// For failure messages: Event{name: "tapped_clear", parameters: {...}}.
void PrintTo(const AppAnalytics::Event& event, std::ostream* os);

}  // namespace app
