#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SharedInstance.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

class UserDefaultsTest : public testkit::TempHomeTest {
  protected:
    void SetUp() override {
        // The standard suite is named after the main bundle; give the tests one without Info.plist.
        Bundle::setMainBundleDirectory(homePath() / "resources");
        previousSink_ = setLogSink([this](std::string_view line) { log_.emplace_back(line); });
    }
    void TearDown() override { setLogSink(previousSink_); }

    std::filesystem::path suiteFile(const std::string& name) const {
        return homePath() / "Library" / "Preferences" / (name + ".plist");
    }

    // What a later launch sees: every in-process state dropped, the files read anew.
    void relaunch() {
        resetSharedInstances();
        Bundle::setMainBundleDirectory(homePath() / "resources");
    }

    std::vector<std::string> log_;

  private:
    LogSink previousSink_;
};

TEST_F(UserDefaultsTest, ValuesSurviveAReloadFromDisk) {
    const Object stored = Object::dict({{"n", -42},
                                        {"list", Object::array({1.5, "x", true})},
                                        {"when", Date{1700000000.5}},
                                        {"bytes", Data{0, 255}}});
    {
        UserDefaults defaults("com.example.suite");
        ASSERT_TRUE(defaults.setObject(stored, "record"));
        defaults.setBool(true, "flag");
        defaults.setInteger(std::numeric_limits<std::int64_t>::min(), "min");
    }
    ASSERT_TRUE(fileExists(suiteFile("com.example.suite")));
    PropertyListFormat format{};
    ASSERT_TRUE(readPropertyListFile(suiteFile("com.example.suite"), nullptr, &format));
    EXPECT_EQ(format, PropertyListFormat::Binary);

    relaunch();
    UserDefaults reloaded("com.example.suite");
    EXPECT_EQ(reloaded.objectForKey("record"), stored);
    EXPECT_EQ(reloaded.objectForKey("flag"), Object(true));
    EXPECT_EQ(reloaded.objectForKey("min"), Object(std::numeric_limits<std::int64_t>::min()));
}

TEST_F(UserDefaultsTest, SuitesAreSeparateAndObjectsOfOneSuiteShareState) {
    UserDefaults first("first");
    UserDefaults second("second");
    UserDefaults alsoFirst("first");
    first.setObject("one", "key");
    EXPECT_TRUE(second.objectForKey("key").isNull());
    EXPECT_TRUE(UserDefaults::standardUserDefaults().objectForKey("key").isNull());
    EXPECT_EQ(alsoFirst.objectForKey("key"), Object("one"));

    UserDefaults::standardUserDefaults().setObject(1, "standard");
    EXPECT_EQ(UserDefaults("").objectForKey("standard"), Object(1));
    EXPECT_EQ(UserDefaults::standardUserDefaults().suiteName(), "tessaline");
    EXPECT_TRUE(fileExists(suiteFile("tessaline")));
    EXPECT_TRUE(first.objectForKey("standard").isNull());
}

TEST_F(UserDefaultsTest, StandardSuiteIsNamedAfterTheMainBundle) {
    const auto resources = homePath() / "resources";
    ASSERT_TRUE(createDirectories(resources));
    ASSERT_TRUE(writePropertyListFile(resources / "Info.plist",
                                      Object::dict({{"CFBundleIdentifier", "com.example.app"}}),
                                      PropertyListFormat::XML));
    relaunch();
    EXPECT_EQ(UserDefaults::standardSuiteName(), "com.example.app");
    UserDefaults::standardUserDefaults().setBool(true, "b");
    EXPECT_TRUE(fileExists(suiteFile("com.example.app")));
    EXPECT_TRUE(UserDefaults("com.example.app").boolForKey("b"));
}

TEST_F(UserDefaultsTest, SuiteNamesCannotLeaveThePreferencesFolder) {
    UserDefaults("../evil/x").setBool(true, "k");
    UserDefaults(".hidden").setBool(true, "k");
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(homePath() / "Library" / "Preferences")) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"%2E.%2Fevil%2Fx.plist", "%2Ehidden.plist"}));
    EXPECT_FALSE(fileExists(homePath() / "Library" / "evil"));
}

TEST_F(UserDefaultsTest, ACrashBetweenWriteAndRenameLeavesTheOldFileWhole) {
    UserDefaults("suite").setObject("old", "key");
    const auto file = suiteFile("suite");
    const auto before = readFile(file);
    // A writer that dies after writing its temporary file and before renaming it.
    EXPECT_FALSE(detail::writeFileAtomically(file, "half-written garbage", nullptr,
                                             [](const std::filesystem::path&) { return false; }));
    EXPECT_EQ(readFile(file), before);

    relaunch();
    UserDefaults reloaded("suite");
    EXPECT_EQ(reloaded.objectForKey("key"), Object("old"));
    reloaded.setObject("new", "key");
    relaunch();
    EXPECT_EQ(UserDefaults("suite").objectForKey("key"), Object("new"));
}

TEST_F(UserDefaultsTest, RegisteredDefaultsAnswerOnlyWhereNothingIsStored) {
    UserDefaults defaults("suite");
    defaults.registerDefaults({{"a", 1}, {"b", "registered"}});
    EXPECT_EQ(defaults.objectForKey("a"), Object(1));
    defaults.setInteger(2, "a");
    EXPECT_EQ(defaults.objectForKey("a"), Object(2));
    EXPECT_EQ(defaults.dictionaryRepresentation(), (Dictionary{{"a", 2}, {"b", "registered"}}));
    defaults.removeObjectForKey("a");
    EXPECT_EQ(defaults.integerForKey("a"), 1);

    EXPECT_EQ(readPropertyListFile(suiteFile("suite")), Object(Dictionary{}));  // never persisted
    relaunch();
    EXPECT_TRUE(UserDefaults("suite").objectForKey("b").isNull());
}

struct Conversion {
    const char* name;
    Object stored;
    bool asBool;
    std::int64_t asInteger;
    double asDouble;
    std::optional<std::string> asString;
};

TEST_F(UserDefaultsTest, TypedGettersConvertAsThePhoneDoes) {
    const Conversion cases[] = {
        {"true", true, true, 1, 1, "1"},
        {"false", false, false, 0, 0, "0"},
        {"zero", 0, false, 0, 0, "0"},
        {"negative", -7, true, -7, -7, "-7"},
        {"double", 2.9, true, 2, 2.9, "2.9"},
        {"huge double", 1e300, true, 0, 1e300, "1e+300"},
        {"YES", "YES", true, 0, 0, "YES"},
        {"true text", "True", true, 0, 0, "True"},
        {"no", "no", false, 0, 0, "no"},
        {"leading number", "42abc", true, 42, 42, "42abc"},
        {"signed decimal", " -3.9", true, -3, -3.9, " -3.9"},
        {"plus sign", "+5", true, 5, 5, "+5"},
        {"zero text", "0", false, 0, 0, "0"},
        {"word", "abc", false, 0, 0, "abc"},
        {"integer overflow", "99999999999999999999", true, std::numeric_limits<std::int64_t>::max(),
         1e20, "99999999999999999999"},
        {"array", Object::array({1}), false, 0, 0, std::nullopt},
        {"date", Date{5}, false, 0, 0, std::nullopt},
    };
    UserDefaults defaults("conversions");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(defaults.setObject(c.stored, "k"));
        EXPECT_EQ(defaults.boolForKey("k"), c.asBool);
        EXPECT_EQ(defaults.integerForKey("k"), c.asInteger);
        EXPECT_DOUBLE_EQ(defaults.doubleForKey("k"), c.asDouble);
        EXPECT_EQ(defaults.stringForKey("k"), c.asString);
    }
    EXPECT_FALSE(defaults.boolForKey("missing"));
    EXPECT_EQ(defaults.integerForKey("missing"), 0);
    EXPECT_EQ(defaults.stringForKey("missing"), std::nullopt);
}

TEST_F(UserDefaultsTest, KindGettersAnswerOnlyTheirKind) {
    UserDefaults defaults("kinds");
    defaults.setObject(Object::array({1}), "array");
    defaults.setObject(Object::dict({{"a", 1}}), "dict");
    defaults.setObject(Data{1}, "data");
    defaults.setObject(Date{10}, "date");
    EXPECT_EQ(defaults.arrayForKey("array"), (Array{1}));
    EXPECT_EQ(defaults.dictionaryForKey("dict"), (Dictionary{{"a", 1}}));
    EXPECT_EQ(defaults.dataForKey("data"), (Data{1}));
    EXPECT_EQ(defaults.dateForKey("date"), Date{10});
    for (const char* key : {"array", "dict", "data", "date"}) {
        const std::string k = key;
        EXPECT_EQ(defaults.arrayForKey(key).has_value(), k == "array");
        EXPECT_EQ(defaults.dictionaryForKey(key).has_value(), k == "dict");
        EXPECT_EQ(defaults.dataForKey(key).has_value(), k == "data");
        EXPECT_EQ(defaults.dateForKey(key).has_value(), k == "date");
    }
}

TEST_F(UserDefaultsTest, ValuesWithoutPropertyListFormAreRefused) {
    UserDefaults defaults("suite");
    defaults.setObject("kept", "k");
    EXPECT_FALSE(defaults.setObject(Object::array({1, Object()}), "k"));
    EXPECT_FALSE(defaults.setObject("bad \xff", "k"));
    EXPECT_FALSE(defaults.setObject(1, std::string("a\0b", 3)));
    EXPECT_EQ(defaults.objectForKey("k"), Object("kept"));
    EXPECT_EQ(log_.size(), 3u);
    EXPECT_TRUE(defaults.setObject(Object(), "k"));  // null removes
    EXPECT_TRUE(defaults.objectForKey("k").isNull());
}

TEST_F(UserDefaultsTest, ChangesFromAnotherProcessArePickedUp) {
    UserDefaults defaults("shared");
    defaults.setObject("mine", "a");
    // Another process replaces the file.
    ASSERT_TRUE(writePropertyListFile(
        suiteFile("shared"), Object::dict({{"a", "theirs"}, {"b", 2}}), PropertyListFormat::XML));
    EXPECT_EQ(defaults.objectForKey("a"), Object("mine"));  // reads answer from memory
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(defaults.objectForKey("a"), Object("theirs"));

    ASSERT_TRUE(writePropertyListFile(suiteFile("shared"), Object::dict({{"c", 3}}),
                                      PropertyListFormat::Binary));
    defaults.setInteger(4, "d");  // a change first takes in what is on disk
    EXPECT_EQ(readPropertyListFile(suiteFile("shared")), Object::dict({{"c", 3}, {"d", 4}}));
}

TEST_F(UserDefaultsTest, ADamagedFileIsSetAsideNotLost) {
    ASSERT_TRUE(createDirectories(suiteFile("x").parent_path()));
    ASSERT_TRUE(writeFileAtomically(suiteFile("damaged"), std::string_view("not a plist")));
    UserDefaults defaults("damaged");
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    EXPECT_EQ(readTextFile(suiteFile("damaged").string() + ".corrupt"), "not a plist");
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("damaged"), std::string::npos);
    defaults.setBool(true, "ok");
    EXPECT_EQ(readPropertyListFile(suiteFile("damaged")), Object::dict({{"ok", true}}));
}

TEST_F(UserDefaultsTest, AFileThatCannotBeReadIsNeverWrittenOver) {
    ASSERT_TRUE(createDirectories(suiteFile("x").parent_path()));
    // Too large for the reader: it stands for any read that fails (no descriptors left, an I/O
    // error) while the file itself is sound.
    const std::string unreadable(kMaxPropertyListBytes + 1, ' ');
    ASSERT_TRUE(writeFileAtomically(suiteFile("stuck"), unreadable));
    UserDefaults defaults("stuck");
    EXPECT_FALSE(defaults.setObject(1, "new"));
    defaults.removeObjectForKey("old");
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_TRUE(readTextFile(suiteFile("stuck")) == unreadable) << "the file was replaced";
    EXPECT_TRUE(defaults.objectForKey("new").isNull());
    EXPECT_FALSE(log_.empty());

    // Readable again: the next change takes in what the file holds.
    ASSERT_TRUE(writePropertyListFile(suiteFile("stuck"), Object::dict({{"old", 1}}),
                                      PropertyListFormat::Binary));
    EXPECT_TRUE(defaults.setObject(2, "new"));
    EXPECT_EQ(readPropertyListFile(suiteFile("stuck")), Object::dict({{"new", 2}, {"old", 1}}));
}

TEST_F(UserDefaultsTest, AFailedWriteIsKeptAndRetried) {
    UserDefaults defaults("suite");
    defaults.setInteger(1, "a");
    const auto preferences = suiteFile("suite").parent_path();
    ASSERT_TRUE(removeItem(preferences));
    ASSERT_TRUE(writeFileAtomically(preferences, std::string_view("a file in the way")));

    defaults.setInteger(2, "a");
    EXPECT_EQ(defaults.integerForKey("a"), 2);
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_FALSE(log_.empty());

    ASSERT_TRUE(removeItem(preferences));
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(readPropertyListFile(suiteFile("suite")), Object::dict({{"a", 2}}));
}

TEST_F(UserDefaultsTest, RemovingAPersistentDomainClearsOnlyThatSuite) {
    UserDefaults one("one");
    UserDefaults two("two");
    one.setBool(true, "k");
    two.setBool(true, "k");
    one.registerDefaults({{"r", 1}});
    two.removePersistentDomainForName("one");
    EXPECT_TRUE(one.objectForKey("k").isNull());
    EXPECT_EQ(one.objectForKey("r"), Object(1));
    EXPECT_FALSE(fileExists(suiteFile("one")));
    EXPECT_TRUE(two.boolForKey("k"));
    relaunch();
    EXPECT_TRUE(UserDefaults("one").objectForKey("k").isNull());
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kKeys = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            UserDefaults defaults("busy");
            for (int k = 0; k < kKeys; ++k) {
                defaults.setInteger(k, std::to_string(t) + "." + std::to_string(k));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    relaunch();
    EXPECT_EQ(UserDefaults("busy").dictionaryRepresentation().size(),
              std::size_t(kThreads * kKeys));
}

}  // namespace
}  // namespace platform
