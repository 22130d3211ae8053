#include "engine/stores/KLVPersistentDictionary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "engine/stores/KLVFileLocations.h"
#include "engine/base/EngineTestSupport.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using platform::Object;

class KLVPersistentDictionaryTest : public testkit::TempHomeTest {
  protected:
    std::shared_ptr<KLVPersistentDictionary> open() {
        auto dictionary = KLVPersistentDictionary::initWithFileName("config");
        EXPECT_TRUE(dictionary);
        return dictionary;
    }
    std::optional<Object> onDisk() {
        const fs::path path = KLVMeasurementPlistPath("config");
        if (!fs::exists(path)) return std::nullopt;
        return platform::readPropertyListFile(path);
    }

    testkit::ScopedManualClock clock_;
    LogCapture log_;
};

TEST_F(KLVPersistentDictionaryTest, LivesInTheEnginesDirectory) {
    auto dictionary = open();
    EXPECT_EQ(dictionary->fileURL(),
              platform::applicationSupportDirectory() / "Nexory" / "Measurement" / "config.plist");
    EXPECT_FALSE(KLVPersistentDictionary::initWithFileName(""));
}

TEST_F(KLVPersistentDictionaryTest, EveryKindReadsBackAfterAReload) {
    const platform::Dictionary values = {
        {"string", "text"},
        {"integer", std::int64_t{-5}},
        {"double", 2.5},
        {"bool", true},
        {"array", Object::array({1, "two"})},
        {"dictionary", Object::dict({{"a", 1}})},
        {"date", platform::Date{1'700'000'000.25}},
        {"data", platform::Data{0, 1, 255}},
    };
    {
        auto dictionary = open();
        for (const auto& [key, value] : values)
            EXPECT_TRUE(dictionary->setObject(value, key));
        dictionary->synchronize();
    }
    auto reloaded = open();
    for (const auto& [key, value] : values)
        EXPECT_EQ(reloaded->objectForKey(key), value) << key;
}

TEST_F(KLVPersistentDictionaryTest, OneWriteOneSecondAfterTheFirstChange) {
    auto dictionary = open();
    dictionary->setInteger(1, "a");
    clock_.advance(0.5);
    dictionary->setInteger(2, "b");  // rides along; does not postpone the write
    clock_.advance(0.499);
    EXPECT_FALSE(onDisk());
    EXPECT_TRUE(dictionary->hasPendingPersistence());
    clock_.advance(0.001);
    EXPECT_EQ(onDisk(), Object::dict({{"a", 1}, {"b", 2}}));
    EXPECT_FALSE(dictionary->hasPendingPersistence());
}

TEST_F(KLVPersistentDictionaryTest, UnchangedValuesScheduleNoWrite) {
    auto dictionary = open();
    dictionary->setDouble(1.5, "a");
    dictionary->synchronize();
    dictionary->setDouble(1.5, "a");
    dictionary->removeObjectForKey("missing");
    dictionary->clearAllData();  // not empty: this one counts
    EXPECT_TRUE(dictionary->hasPendingPersistence());
    dictionary->synchronize();
    dictionary->clearAllData();
    EXPECT_FALSE(dictionary->hasPendingPersistence());
    EXPECT_EQ(onDisk(), Object(platform::Dictionary{}));
}

TEST_F(KLVPersistentDictionaryTest, SynchronizeWritesNowAndCancelsTheDelayedWrite) {
    auto dictionary = open();
    dictionary->setObject("now", "key");
    const auto timers = clock_->pendingTimerCount();
    dictionary->synchronize();
    EXPECT_EQ(onDisk(), Object::dict({{"key", "now"}}));
    EXPECT_EQ(clock_->pendingTimerCount(), timers - 1);
}

TEST_F(KLVPersistentDictionaryTest, DestructionWritesAPendingChange) {
    open()->setObject("kept", "key");
    EXPECT_EQ(onDisk(), Object::dict({{"key", "kept"}}));
}

TEST_F(KLVPersistentDictionaryTest, InvalidKeysAndValuesAreRefusedWithoutChange) {
    auto dictionary = open();
    EXPECT_FALSE(dictionary->setObject(1, ""));
    EXPECT_TRUE(dictionary->objectForKey("").isNull());
    // A null inside a collection has no property-list form: refused at once instead of making
    // every later file write fail.
    EXPECT_FALSE(dictionary->setObject(Object::array({nullptr}), "bad"));
    EXPECT_FALSE(dictionary->hasPendingPersistence());
    dictionary->setObject("fine", "good");
    dictionary->synchronize();
    EXPECT_EQ(onDisk(), Object::dict({{"good", "fine"}}));
    EXPECT_EQ(log_.count(43001), 1u);
    EXPECT_EQ(log_.count(43002), 1u);
    EXPECT_EQ(log_.count(43003), 1u);
    EXPECT_EQ(log_.count(43000), 0u);
}

TEST_F(KLVPersistentDictionaryTest, TypedGettersConvertOnlyNumbers) {
    auto dictionary = open();
    dictionary->setObject("12", "string");
    dictionary->setObject(std::nan(""), "nan");
    dictionary->setObject(1e300, "huge");
    dictionary->setObject(7.9, "double");
    dictionary->setBool(true, "bool");
    EXPECT_EQ(dictionary->integerForKey("string"), 0);
    EXPECT_FALSE(dictionary->boolForKey("string"));
    EXPECT_EQ(dictionary->integerForKey("nan"), 0);
    EXPECT_EQ(dictionary->integerForKey("huge"), 0);
    EXPECT_TRUE(std::isinf(dictionary->floatForKey("huge")));
    EXPECT_EQ(dictionary->integerForKey("double"), 7);
    EXPECT_EQ(dictionary->integerForKey("bool"), 1);
    EXPECT_EQ(dictionary->integerForKey("missing"), 0);
    EXPECT_EQ(dictionary->stringForKey("double"), std::nullopt);
    EXPECT_EQ(dictionary->stringForKey("string"), "12");
    EXPECT_EQ(dictionary->numberForKey("string"), Object());
    EXPECT_EQ(dictionary->numberForKey("bool"), Object(true));
    EXPECT_EQ(dictionary->arrayForKey("string"), std::nullopt);
}

TEST_F(KLVPersistentDictionaryTest, UnreadableFileOpensEmptyAndIsLogged) {
    const fs::path path = KLVMeasurementPlistPath("config");
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "not a property list";
    auto dictionary = open();
    EXPECT_TRUE(dictionary->objectForKey("anything").isNull());
    EXPECT_EQ(log_.count(43005), 1u);
    dictionary->setObject(1, "a");
    dictionary->synchronize();
    EXPECT_EQ(onDisk(), Object::dict({{"a", 1}}));
}

TEST_F(KLVPersistentDictionaryTest, DirectoryThatCannotBeMadeGivesNoDictionary) {
    const fs::path support = platform::applicationSupportDirectory();
    std::ofstream(support / "Nexory") << "a file where the directory should be";
    EXPECT_FALSE(KLVPersistentDictionary::initWithFileName("config"));
    EXPECT_EQ(log_.count(43004), 1u);
}

TEST_F(KLVPersistentDictionaryTest, FailedWriteKeepsTheContentForTheNextOne) {
    auto dictionary = open();
    const fs::path path = dictionary->fileURL();
    fs::create_directories(path / "blocker");  // a directory where the file should go
    dictionary->setObject("value", "key");
    dictionary->synchronize();
    EXPECT_EQ(log_.count(43000), 1u);
    EXPECT_EQ(dictionary->objectForKey("key"), Object("value"));

    fs::remove_all(path);
    dictionary->setObject("other", "second");
    dictionary->synchronize();
    EXPECT_EQ(onDisk(), Object::dict({{"key", "value"}, {"second", "other"}}));
}

// Content whose write failed is still unsaved: a later synchronize, or the end of the dictionary,
// writes it even when nothing changed since.
TEST_F(KLVPersistentDictionaryTest, ContentOfAFailedWriteIsWrittenBySynchronizeAndAtTheEnd) {
    auto dictionary = open();
    const fs::path path = dictionary->fileURL();
    fs::create_directories(path / "blocker");
    dictionary->setObject("value", "key");
    clock_.advance(1);  // the delayed write fails
    EXPECT_EQ(log_.count(43000), 1u);
    fs::remove_all(path);
    dictionary->synchronize();
    EXPECT_EQ(onDisk(), Object::dict({{"key", "value"}}));

    fs::remove(path);
    fs::create_directories(path / "blocker");
    dictionary->setObject("later", "key");
    dictionary->synchronize();
    EXPECT_EQ(log_.count(43000), 2u);
    fs::remove_all(path);
    dictionary.reset();
    EXPECT_EQ(onDisk(), Object::dict({{"key", "later"}}));
}

}  // namespace
}  // namespace engine
