// One bundle's audience work, as the bundler does it inside the bundle's transaction on a real
// measurement database: for each of 1,000 events (10 names) the aggregates are read, counted and
// written and the event's filters evaluated, then 5 user properties are evaluated and the results
// for the bundle are taken. The configuration: 20 audiences with 60 event filters (a third plain,
// a third a string filter with one regular expression per name, a third a number filter plus an
// event count filter) and 10 property filters; 10% each are dynamic, sequence and session-scoped.
// The same bundle without any audience gives the baseline: the difference is what audiences add
// per event.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/audiences/KLVAudience.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVEvent.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "testkit/TempHome.h"

namespace {

using namespace engine;

constexpr int kEvents = 1000;
constexpr int kNames = 10;
constexpr int kEventFilters = 60;
constexpr int kAudiences = 20;
constexpr int kProperties = 5;

std::string eventName(int i) {
    return "ev" + std::to_string(i % kNames);
}
std::string propertyName(int i) {
    return "up" + std::to_string(i % kProperties);
}

KLVPBFilter stringParameter(int name) {
    KLVPBStringFilter string;
    NANOSetInt32(string, KLVPBStringFilter::match_type, 1);
    NANOSetString(string, KLVPBStringFilter::expression,
                  "^item_" + std::to_string(name) + "_\\w+$");
    KLVPBFilter filter;
    NANOSetMessage(filter, KLVPBFilter::string_filter, &string);
    NANOSetString(filter, KLVPBFilter::param_name, "s");
    return filter;
}

KLVPBNumberFilter numberFilter(std::int32_t type, const char* value, const char* min = nullptr,
                               const char* max = nullptr) {
    KLVPBNumberFilter number;
    NANOSetInt32(number, KLVPBNumberFilter::comparison_type, type);
    if (value) NANOSetString(number, KLVPBNumberFilter::comparison_value, value);
    if (min) NANOSetString(number, KLVPBNumberFilter::min_comparison_value, min);
    if (max) NANOSetString(number, KLVPBNumberFilter::max_comparison_value, max);
    return number;
}

KLVPBFilter numberParameter() {
    const auto number = numberFilter(4, nullptr, "0", "100000");
    KLVPBFilter filter;
    NANOSetMessage(filter, KLVPBFilter::number_filter, &number);
    NANOSetString(filter, KLVPBFilter::param_name, "n");
    return filter;
}

KLVPBEventFilter makeEventFilter(int k) {
    KLVPBEventFilter filter;
    NANOSetInt32(filter, KLVPBEventFilter::filter_id, k / kAudiences);
    NANOSetString(filter, KLVPBEventFilter::event_name, eventName(k));
    if (k % 3 == 1)
        NANOSetArray(filter, KLVPBEventFilter::filters, std::vector{stringParameter(k % kNames)});
    if (k % 3 == 2) {
        NANOSetArray(filter, KLVPBEventFilter::filters, std::vector{numberParameter()});
        const auto count = numberFilter(2, "0");
        NANOSetMessage(filter, KLVPBEventFilter::event_count_filter, &count);
    }
    if (k % 10 == 0) NANOSetBool(filter, KLVPBEventFilter::dynamic, true);
    if (k % 10 == 1) NANOSetBool(filter, KLVPBEventFilter::sequence, true);
    if (k % 10 == 2) NANOSetBool(filter, KLVPBEventFilter::session_scoped, true);
    return filter;
}

KLVPBPropertyFilter makePropertyFilter(int i) {
    KLVPBStringFilter string;
    NANOSetInt32(string, KLVPBStringFilter::match_type, 2);
    NANOSetString(string, KLVPBStringFilter::expression, "VALUE");
    KLVPBFilter inner;
    NANOSetMessage(inner, KLVPBFilter::string_filter, &string);
    KLVPBPropertyFilter filter;
    NANOSetInt32(filter, KLVPBPropertyFilter::filter_id, 3);
    NANOSetString(filter, KLVPBPropertyFilter::property_name, propertyName(i));
    NANOSetMessage(filter, KLVPBPropertyFilter::filter, &inner);
    if (i % 10 == 0) NANOSetBool(filter, KLVPBPropertyFilter::dynamic, true);
    if (i % 10 == 1) NANOSetBool(filter, KLVPBPropertyFilter::sequence, true);
    if (i % 10 == 2) NANOSetBool(filter, KLVPBPropertyFilter::session_scoped, true);
    return filter;
}

std::vector<KLVPBAudience> configuration() {
    std::vector<KLVPBAudience> audiences(kAudiences);
    std::vector<std::vector<KLVPBEventFilter>> events(kAudiences);
    for (int k = 0; k < kEventFilters; ++k)
        events[k % kAudiences].push_back(makeEventFilter(k));
    for (int a = 0; a < kAudiences; ++a) {
        NANOSetInt32(audiences[a], KLVPBAudience::audience_id, a);
        NANOSetArray(audiences[a], KLVPBAudience::event_filters, events[a]);
        if (a < 10)
            NANOSetArray(audiences[a], KLVPBAudience::property_filters,
                         std::vector{makePropertyFilter(a)});
    }
    return audiences;
}

class Bundle {
  public:
    explicit Bundle(bool withAudiences)
        : database_(KLVDatabase::initWithDatabaseName(kKLVMeasurementDatabaseName,
                                                      KLVPersistedConfig::sharedInstance())),
          audience_(KLVAudience::initWithDatabase(database_)) {
        for (int i = 0; i < kEvents; ++i) {
            events_.push_back(*KLVEvent::initWithOrigin(
                "app", true, eventName(i), 1'700'000'000.0 + i * 0.5, 0,
                platform::Dictionary{{"s", "item_" + std::to_string(i % kNames) + "_blue"},
                                     {"n", i}}));
        }
        for (int i = 0; i < kProperties; ++i) {
            KLVPBUserAttribute attribute;
            NANOSetString(attribute, KLVPBUserAttribute::name, propertyName(i));
            NANOSetString(attribute, KLVPBUserAttribute::string_value,
                          "value " + std::to_string(i));
            NANOSetInt64(attribute, KLVPBUserAttribute::set_timestamp_millis, 1'700'000'000'000);
            properties_.push_back(attribute);
        }
        ok_ = database_ && audience_ && database_->performTransaction([&] {
            return audience_->updateAudiences(withAudiences ? configuration()
                                                            : std::vector<KLVPBAudience>{});
        });
    }

    bool ok() const { return ok_; }

    bool run() {
        return database_->performTransaction([&] {
            KLVAudienceTimestampsCache cache;
            for (const auto& event : events_) {
                auto aggregates =
                    database_->eventAggregatesWithName(event.name())
                        .value_or(*KLVEventAggregates::initWithName(event.name(), 0, 0, 0, 0));
                aggregates.incrementLifetimeCount();
                aggregates.incrementCurrentBundleCount();
                aggregates.incrementCurrentSessionCount();
                aggregates.setLastFireTimestamp(event.timestamp());
                if (!database_->updateEventAggregates(aggregates)) return false;
                if (!audience_->evaluateFiltersForEvent(event, aggregates, &cache)) return false;
            }
            for (const auto& property : properties_) {
                if (!audience_->evaluateFiltersForNanoUserProperty(property, &cache,
                                                                   1'700'000'000.0)) {
                    return false;
                }
            }
            const auto results = audience_->resultsForBundling();
            benchmark::DoNotOptimize(results);
            return results.has_value();
        });
    }

  private:
    testkit::TempHome home_;  // first: it outlives the database
    std::shared_ptr<KLVDatabase> database_;
    std::shared_ptr<KLVAudience> audience_;
    std::vector<KLVEvent> events_;
    std::vector<KLVPBUserAttribute> properties_;
    bool ok_ = false;
};

void BM_BundleAudienceWork(benchmark::State& state) {
    Bundle bundle(state.range(0) != 0);
    if (!bundle.ok()) {
        state.SkipWithError("cannot set up the database");
        return;
    }
    for (auto _ : state) {
        if (!bundle.run()) state.SkipWithError("bundle failed");
    }
    // Seconds per event (shown in the unit below).
    state.counters["per_event"] = benchmark::Counter(
        kEvents, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BundleAudienceWork)->ArgName("filters")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
