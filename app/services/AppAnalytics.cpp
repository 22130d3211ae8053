#include "app/services/AppAnalytics.h"

#include <algorithm>
#include <mutex>
#include <ostream>

#include "platform/foundation/NoDestructor.h"

namespace app {

namespace {

struct Funnel {
    std::mutex mutex;
    AppAnalytics::Sink sink;
    std::vector<AppAnalytics::Recorder*> recorders;
};

Funnel& funnel() {
    // Never destroyed: a queue may still log while the process exits.
    static platform::NoDestructor<Funnel> f;
    return f.get();
}

}  // namespace

AppAnalytics::Sink AppAnalytics::setSink(Sink sink) {
    std::lock_guard lock(funnel().mutex);
    std::swap(funnel().sink, sink);
    return sink;
}

void AppAnalytics::logEventWithName(const std::string& name,
                                    const platform::Dictionary& parameters) {
    Sink sink;
    {
        std::lock_guard lock(funnel().mutex);
        for (auto* recorder : funnel().recorders)
            recorder->events_.push_back({name, parameters});
        sink = funnel().sink;
    }
    if (sink) sink(name, parameters);
}

AppAnalytics::Recorder::Recorder() {
    std::lock_guard lock(funnel().mutex);
    funnel().recorders.push_back(this);
}

AppAnalytics::Recorder::~Recorder() {
    std::lock_guard lock(funnel().mutex);
    auto& list = funnel().recorders;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

std::vector<AppAnalytics::Event> AppAnalytics::Recorder::events() const {
    std::lock_guard lock(funnel().mutex);
    return events_;
}

std::vector<std::string> AppAnalytics::Recorder::names() const {
    std::vector<std::string> names;
    for (const auto& event : events())
        names.push_back(event.name);
    return names;
}

void PrintTo(const AppAnalytics::Event& event, std::ostream* os) {
    *os << "Event{name: " << platform::Object(event.name).description()
        << ", parameters: " << platform::Object(event.parameters).description() << '}';
}

}  // namespace app
