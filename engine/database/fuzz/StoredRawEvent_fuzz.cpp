// Reads arbitrary bytes as the stored form of a raw event (the "data" column of "raw_events"),
// as bundling does for every row: a damaged row must come back as an error, never a crash or a
// sanitizer report. What does read must carry an origin and the row's identifier.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/database/KLVDatabase.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace {

// The database, opened once in a temporary data root that goes when the program ends.
struct Fixture {
    Fixture() {
        char folder[] = "/tmp/tessaline-fuzz-XXXXXX";
        if (!::mkdtemp(folder)) std::abort();
        home = folder;
        ::setenv("TESSALINE_HOME", folder, 1);
        database = engine::KLVDatabase::initWithDatabaseName(
            engine::kKLVMeasurementDatabaseName, engine::KLVPersistedConfig::sharedInstance());
        if (!database) std::abort();
    }
    ~Fixture() {
        database.reset();
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    std::filesystem::path home;
    std::unique_ptr<engine::KLVDatabase> database;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    const engine::KLVDatabase::Row row = {
        {"rowid", std::int64_t{7}},
        {"data", platform::Data(data, data + size)},
        {"metadata_fingerprint", std::int64_t{11}},
        {"name", "_e"},
        {"timestamp", 1.5},
    };
    platform::Error error;
    const auto event = fixture.database->rawEventDataFromDictionary(row, &error);
    if (event && (event->rowID() != 7 || event->metadataFingerprint() != 11 ||
                  event->rawEvent().origin().empty())) {
        __builtin_trap();
    }
    return 0;
}
