#include "engine/bundles/KLVBundleEvent.h"

#include <sqlite3.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/database/DatabaseTestSupport.h"
#include "engine/events/KLVParameterSanitizer.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Error;

constexpr double kTime = 1'700'000'000.25;
constexpr std::int64_t kFingerprint = 7;

std::string bytesOf(const platform::Data& data) {
    return std::string(data.begin(), data.end());
}

// One stored row: how it is made, and whether bundling may send its bytes as they are.
struct Shape {
    const char* what;
    std::function<void(class KLVBundleEventTest&)> store;
    bool passes;
};

class KLVBundleEventTest : public testing::DatabaseEventTest {
  public:
    // Stores the event as the writer does.
    void storeEvent(const KLVEvent& event) {
        Error error;
        ASSERT_TRUE(database_->insertRawEvent(event, kFingerprint, false, &error))
            << error.description;
    }
    void storeEvent(const std::string& name, const Dictionary& parameters, bool isPublic = true,
                    const std::function<void(KLVEvent&)>& edit = {}) {
        auto event = KLVEvent::initWithOrigin(isPublic ? "app" : "auto", isPublic, name, kTime, 0,
                                              parameters);
        ASSERT_TRUE(event) << name;
        if (edit) edit(*event);
        storeEvent(*event);
    }
    // Stores bytes the writer would never write, under `name`.
    void storeBytes(const std::string& name, const std::string& bytes, double timestamp = kTime) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(database_->sqliteStore().databasePath().c_str(), &db), SQLITE_OK);
        sqlite3_stmt* insert = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db,
                                     "INSERT INTO raw_events (name, timestamp, "
                                     "metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, "
                                     "?, 0)",
                                     -1, &insert, nullptr),
                  SQLITE_OK);
        sqlite3_bind_text(insert, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 2, timestamp);
        sqlite3_bind_int64(insert, 3, kFingerprint);
        sqlite3_bind_blob(insert, 4, bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
    // The stored bytes of a well-formed event, changed by `change` (on the message).
    static std::string messageBytes(const std::string& name, const Dictionary& parameters,
                                    const std::function<void(KLVPBEvent&)>& change) {
        auto message =
            KLVEvent::initWithOrigin("app", false, name, kTime, 0, parameters)->protoEvent();
        NANOClearField(message, KLVPBEvent::name);
        change(message);
        return bytesOf(*message.protoBuffer());
    }

    struct Read {
        std::string storedBytes;
        std::optional<KLVBundleEvent> stored;
        std::optional<KLVBundleEvent> rebuilt;
    };
    // Every row of the fingerprint, read as bundling reads it.
    std::vector<Read> readAll() {
        std::vector<Read> rows;
        const auto limits = KLVStoredEventLimits::current();
        Error error;
        EXPECT_TRUE(database_->readRawEventsWithMetadataFingerprintForBundling(
            kFingerprint, &error, [&](const KLVDatabase::RawEventColumns& columns) {
                Read read;
                if (columns.data)
                    read.storedBytes.assign(columns.data->begin(), columns.data->end());
                read.stored = KLVBundleEvent::storedEvent(columns, limits);
                if (auto raw = KLVDatabase::rawEventDataFromColumns(columns, nullptr))
                    read.rebuilt = KLVBundleEvent::rebuiltEvent(std::move(*raw));
                rows.push_back(std::move(read));
                return true;
            }));
        return rows;
    }
    static std::string encoded(const KLVBundleEvent& event) {
        std::string out;
        event.appendEncodedEvent(out);
        return out;
    }
    // What the rebuilt event's message would be stored as.
    static std::string storedForm(const KLVEvent& event) {
        auto message = event.protoEvent();
        NANOClearField(message, KLVPBEvent::name);
        return bytesOf(*message.protoBuffer());
    }

    // Checks that every row sent as stored gives the bytes, parameters and flags of its rebuilt
    // event after each change bundling can make, and that no row whose rebuilt event differs
    // from its stored bytes is sent as stored.
    void expectShapes(const std::vector<Shape>& shapes) {
        for (const Shape& shape : shapes) {
            SCOPED_TRACE(shape.what);
            ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(1 << 30));
            shape.store(*this);
            const auto rows = readAll();
            ASSERT_EQ(rows.size(), 1u);
            const Read& read = rows.front();
            EXPECT_EQ(read.stored.has_value(), shape.passes);

            if (read.rebuilt && storedForm(*read.rebuilt->rebuilt()) != read.storedBytes) {
                EXPECT_FALSE(read.stored) << "rebuilding changes this event";
            }
            if (!read.stored) continue;
            ASSERT_TRUE(read.rebuilt);
            const KLVEvent& event = *read.rebuilt->rebuilt();
            EXPECT_EQ(encoded(*read.stored), bytesOf(*event.protoEvent().protoBuffer()));
            EXPECT_EQ(read.stored->storedParameters(), event.parameters());
            EXPECT_EQ(read.stored->name(), event.name());
            EXPECT_EQ(read.stored->timestamp(), event.timestamp());
            EXPECT_EQ(read.stored->isRealtime(), event.isRealtime());
            for (const char* name : {"_et", "_fr"}) {
                EXPECT_EQ(read.stored->integerParameter(name), read.rebuilt->integerParameter(name))
                    << name;
            }
            EXPECT_EQ(read.stored->hasParameter("_fr"), read.rebuilt->hasParameter("_fr"));

            // A previous time from the aggregates, and the real-time mark taken away.
            for (const double previous : {0.0, kTime - 61.5, 1e-300, kTime + 5}) {
                KLVBundleEvent passed = *read.stored;
                passed.setStoredPreviousTimestamp(previous);
                const KLVEvent copied = event.copyWithPreviousTimestamp(previous);
                EXPECT_EQ(encoded(passed), bytesOf(*copied.protoEvent().protoBuffer())) << previous;
                passed.clearStoredRealtime();
                KLVEvent unmarked = copied;
                unmarked.setRealtime(false);
                EXPECT_EQ(encoded(passed), bytesOf(*unmarked.protoEvent().protoBuffer()));
                EXPECT_FALSE(passed.isRealtime());
                EXPECT_EQ(passed.storedParameters(), unmarked.parameters());
                EXPECT_EQ(passed.integerParameter("_et"), read.rebuilt->integerParameter("_et"));
            }
        }
    }
};

Dictionary items(int count) {
    platform::Array list;
    for (int i = 0; i < count; ++i) {
        list.emplace_back(Dictionary{
            {"item_id", "sku" + std::to_string(i)}, {"price", 1.5 * i}, {"quantity", i}});
    }
    return {{"items", std::move(list)}, {"currency", "EUR"}};
}

Dictionary publicParameters(int count) {
    Dictionary parameters;
    for (int i = 0; i < count; ++i)
        parameters["p" + std::to_string(100 + i)] = i;
    return parameters;
}

TEST_F(KLVBundleEventTest, EventsTheWriterStoresPassThroughUnlessBundlingChangesThem) {
    useSettings({{"measurement.upload.max_public_event_params", "25"}});
    expectShapes({
        {"plain public event",
         [](auto& t) {
             t.storeEvent("level_up", {{"level", 12}, {"score", 3456.5}, {"who", "wizard"}});
         },
         true},
        {"no parameters", [](auto& t) { t.storeEvent("tap", {}); }, true},
        {"negative, zero and extreme numbers",
         [](auto& t) {
             t.storeEvent(
                 "n",
                 {{"a", -1}, {"b", 0}, {"c", INT64_MIN}, {"d", -0.0}, {"e", 1e308}, {"f", ""}});
         },
         true},
        {"engagement with freeride",
         [](auto& t) {
             t.storeEvent("_e", {{"_et", 4000}, {"_fr", 1}}, false);
         },
         true},
        {"real-time mark",
         [](auto& t) {
             t.storeEvent("go", {{"x", 2}}, true, [](KLVEvent& e) { e.setRealtime(true); });
         },
         true},
        {"real-time and debug marks",
         [](auto& t) {
             t.storeEvent("go", {{"a", 1}, {"z", "last"}}, true, [](KLVEvent& e) {
                 e.setRealtime(true);
                 e.setDebug(true);
             });
         },
         true},
        {"items of a purchase", [](auto& t) { t.storeEvent("purchase", items(3)); }, true},
        {"an empty items list", [](auto& t) { t.storeEvent("purchase", items(0)); }, true},
        {"non-ASCII text",
         [](auto& t) {
             t.storeEvent("read", {{"title", "Größe ∑ 𝄞"}, {"émoji", "🙂"}});
         },
         true},
        {"screen parameters and defaults",
         [](auto& t) {
             t.storeEvent("view", {{"a", 1}}, true, [](KLVEvent& e) {
                 e.applyParameters({{"default_one", "d"}});
                 e.addScreenParameters({{"_si", 5}, {"_sc", "Main"}, {"_sn", "home"}});
             });
         },
         true},
        // Bundling marks or checks these.
        {"conversion",
         [](auto& t) {
             t.storeEvent("buy", {{"value", 2.5}, {"currency", "USD"}}, true,
                          [](KLVEvent& e) { e.setConversion(true); });
         },
         false},
        {"ad impression",
         [](auto& t) {
             t.storeEvent("ad_impression", {{"value", 1}});
         },
         false},
        {"internal ad impression",
         [](auto& t) {
             t.storeEvent("_ai", {{"a", 1}}, false);
         },
         false},
        {"purchase made in the store",
         [](auto& t) {
             t.storeEvent("_iap", {{"a", 1}}, false);
         },
         false},
        // Rebuilding would change these.
        {"more public parameters than allowed, after defaults",
         [](auto& t) {
             t.storeEvent("busy", publicParameters(25), true, [](KLVEvent& e) {
                 e.applyParameters({{"zz_default", 1}});
             });
         },
         false},
        {"the limit itself", [](auto& t) { t.storeEvent("busy", publicParameters(25)); }, true},
    });
}

TEST_F(KLVBundleEventTest, SettingsChangedSinceTheWriteMakeTheEventRebuilt) {
    storeEvent("busy", publicParameters(30));
    EXPECT_TRUE(readAll().front().stored);
    useSettings({{"measurement.upload.max_public_event_params", "25"}});
    const auto rows = readAll();
    EXPECT_FALSE(rows.front().stored);
    EXPECT_EQ(KLVCountPublicParameters(rows.front().rebuilt->rebuilt()->parameters(), false), 25);
}

TEST_F(KLVBundleEventTest, BytesTheWriterWouldNotWriteAreRebuilt) {
    const auto limit = KLVStoredEventLimits::current().maxInternalParameterValueLength;
    const std::string longText(static_cast<std::size_t>(limit) + 1, 'b');
    // An error value cut before keeps its "..." and is not cut again.
    const std::string cutText = std::string(static_cast<std::size_t>(limit), 'c') + "...";
    const auto param = [](const std::string& name, auto value) {
        KLVPBEventParam p;
        NANOSetString(p, KLVPBEventParam::name, name);
        if constexpr (std::is_same_v<decltype(value), std::int64_t>) {
            NANOSetInt64(p, KLVPBEventParam::int_value, value);
        } else {
            NANOSetString(p, KLVPBEventParam::string_value, value);
        }
        return p;
    };
    const auto withParams = [](std::vector<KLVPBEventParam> params) {
        return [params](KLVPBEvent& m) { NANOSetArray(m, KLVPBEvent::params, params); };
    };
    const auto stored = [](const char* name, std::string bytes, double time = kTime) {
        return [=](KLVBundleEventTest& t) { t.storeBytes(name, bytes, time); };
    };
    const std::string good = messageBytes("e", {{"a", 1}}, [](KLVPBEvent&) {});
    std::string longVarint = good;
    // The time's varint with a needless continuation byte.
    longVarint.back() |= 0x80;
    longVarint.push_back(0);
    expectShapes({
        {"as written", stored("e", good), true},
        {"unordered parameters",
         stored("e", messageBytes(
                         "e", {},
                         withParams({param("b", std::int64_t{1}), param("_o", std::string("app")),
                                     param("a", std::int64_t{2})}))),
         false},
        {"a parameter twice",
         stored("e", messageBytes(
                         "e", {},
                         withParams({param("_o", std::string("app")), param("a", std::int64_t{1}),
                                     param("a", std::int64_t{2})}))),
         false},
        {"no origin", stored("e", messageBytes("e", {}, withParams({param("a", std::int64_t{1})}))),
         false},
        {"an origin that is a number",
         stored("e", messageBytes("e", {}, withParams({param("_o", std::int64_t{1})}))), false},
        {"an invalid origin",
         stored("e", messageBytes("e", {}, withParams({param("_o", std::string("no way"))}))),
         false},
        {"a name in the message",
         stored("e", messageBytes("e", {{"a", 1}},
                                  [](KLVPBEvent& m) { NANOSetString(m, KLVPBEvent::name, "e"); })),
         false},
        {"a field the model does not write",
         stored("e", messageBytes("e", {{"a", 1}},
                                  [](KLVPBEvent& m) { NANOSetInt32(m, KLVPBEvent::field_5, 3); })),
         false},
        {"a longer varint than needed", stored("e", longVarint), false},
        {"truncated", stored("e", good.substr(0, good.size() - 3)), false},
        {"a bad parameter name",
         stored("e", messageBytes("e", {},
                                  withParams({param("_o", std::string("app")),
                                              param("bad name", std::int64_t{1})}))),
         false},
        {"an internal event's over-long text",
         stored("_x",
                messageBytes("_x", {},
                             withParams({param("_o", std::string("auto")), param("t", longText)}))),
         false},
        {"an over-long error value",
         stored("e", messageBytes(
                         "e", {},
                         withParams({param("_ev", longText), param("_o", std::string("app"))}))),
         false},
        {"an error value cut before",
         stored("e",
                messageBytes("e", {},
                             withParams({param("_ev", cutText), param("_o", std::string("app"))}))),
         true},
        {"a public event's long text",
         stored("e",
                messageBytes("e", {},
                             withParams({param("_o", std::string("app")), param("t", longText)}))),
         true},
        {"a real-time mark that is text",
         stored("e", messageBytes("e", {},
                                  withParams({param("_o", std::string("app")),
                                              param("_r", std::string("1"))}))),
         false},
        {"a previous time after the time",
         stored("e", messageBytes("e", {{"a", 1}},
                                  [](KLVPBEvent& m) {
                                      NANOSetInt64(m, KLVPBEvent::previous_timestamp_millis,
                                                   static_cast<std::int64_t>(kTime * 1000) + 1000);
                                  })),
         false},
        {"an invalid event name", stored("no way", good), false},
        {"invalid text",
         stored("e", messageBytes("e", {},
                                  withParams({param("_o", std::string("app")),
                                              param("t", std::string("\xff\xfe"))}))),
         false},
    });
}

}  // namespace
}  // namespace engine
