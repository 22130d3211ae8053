#include "platform/security/Keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Paths.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

Data bytesOf(std::string_view text) {
    return Data(text.begin(), text.end());
}

// The data of an item, or the status that refused it.
using Answer = std::variant<OSStatus, Data>;

// The query of one generic password, as the engine builds it.
Dictionary query(std::string service, std::string account) {
    return {{kSecClass, kSecClassGenericPassword},
            {kSecAttrService, std::move(service)},
            {kSecAttrGeneric, account},
            {kSecAttrAccount, account}};
}

Dictionary with(Dictionary base, Dictionary more) {
    for (auto& [key, value] : more)
        base[key] = std::move(value);
    return base;
}

class KeychainTest : public ::testing::Test {
  protected:
    std::filesystem::path file() const { return home.path() / "Library/Keychains/keychain.plist"; }

    // The data of the one item of `service` and `account`, or the status.
    Answer read(Keychain& keychain, std::string service, std::string account) {
        Object result;
        const OSStatus status =
            keychain.copyMatching(with(query(service, account), {{kSecReturnData, true}}), &result);
        if (status != errSecSuccess) return status;
        return result.asData();
    }

    testkit::TempHome home;
};

TEST_F(KeychainTest, KeepsItemsRefusesADuplicateAndUpdatesInPlace) {
    Keychain keychain(file());
    const Dictionary item =
        with(query("app", "_pfo"), {{kSecValueData, bytesOf("3")},
                                    {kSecAttrAccessible, kSecAttrAccessibleAlwaysThisDeviceOnly}});
    ASSERT_EQ(keychain.add(item), errSecSuccess);
    // Class, service and account make the key; other attributes do not tell items apart.
    EXPECT_EQ(keychain.add(with(item, {{kSecAttrGeneric, "other"}, {kSecValueData, bytesOf("9")}})),
              errSecDuplicateItem);
    EXPECT_EQ(keychain.add(with(query("other app", "_pfo"), {{kSecValueData, bytesOf("5")}})),
              errSecSuccess);

    EXPECT_EQ(keychain.update(query("app", "_pfo"), {{kSecValueData, bytesOf("4")}}),
              errSecSuccess);
    // Kept in a file only its owner may read, and read back by the next instance.
    struct stat info {};
    ASSERT_EQ(stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    Keychain reloaded(file());
    Object all;
    ASSERT_EQ(
        reloaded.copyMatching(with(query("app", "_pfo"),
                                   {{kSecReturnData, true}, {kSecMatchLimit, kSecMatchLimitAll}}),
                              &all),
        errSecSuccess);
    EXPECT_EQ(all, Object::array({bytesOf("4")}));
    EXPECT_EQ(read(reloaded, "other app", "_pfo"), (Answer(bytesOf("5"))));

    // An update that would make two items one is refused and changes nothing.
    EXPECT_EQ(reloaded.update(query("other app", "_pfo"), {{kSecAttrService, "app"}}),
              errSecDuplicateItem);
    EXPECT_EQ(read(reloaded, "other app", "_pfo"), (Answer(bytesOf("5"))));
}

TEST_F(KeychainTest, ReportsMissingItemsAndDeletes) {
    Keychain keychain(file());
    EXPECT_EQ(read(keychain, "app", "_pfo"), (Answer(errSecItemNotFound)));
    EXPECT_EQ(keychain.update(query("app", "_pfo"), {{kSecValueData, bytesOf("1")}}),
              errSecItemNotFound);
    EXPECT_EQ(keychain.deleteItems(query("app", "_pfo")), errSecItemNotFound);
    EXPECT_FALSE(fileExists(file()));
}

TEST_F(KeychainTest, AnswersInTheShapeAskedFor) {
    Keychain keychain(file());
    ASSERT_EQ(keychain.add(with(query("app", "id"), {{kSecValueData, bytesOf("v")}})),
              errSecSuccess);
    const Object attributes = Object::dict({{kSecClass, kSecClassGenericPassword},
                                            {kSecAttrService, "app"},
                                            {kSecAttrGeneric, "id"},
                                            {kSecAttrAccount, "id"}});
    const struct {
        const char* name;
        Dictionary extra;
        Object expected;
    } cases[] = {
        {"data", {{kSecReturnData, true}}, bytesOf("v")},
        {"attributes", {{kSecReturnAttributes, true}}, attributes},
        {"data, all",
         {{kSecReturnData, true}, {kSecMatchLimit, kSecMatchLimitAll}},
         Object::array({bytesOf("v")})},

    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Object result = "untouched";
        EXPECT_EQ(keychain.copyMatching(with(query("app", "id"), c.extra), &result), errSecSuccess);
        EXPECT_EQ(result, c.expected);
    }
    EXPECT_EQ(keychain.copyMatching(query("app", "id"), nullptr), errSecSuccess);
}

TEST_F(KeychainTest, MatchesStringAndDataAttributesByTheirBytes) {
    Keychain keychain(file());
    // An item written by an older version, its account and generic attributes as data.
    ASSERT_EQ(keychain.add({{kSecClass, kSecClassGenericPassword},
                            {kSecAttrService, "app"},
                            {kSecAttrAccount, bytesOf("_pfo")},
                            {kSecAttrGeneric, bytesOf("_pfo")},
                            {kSecValueData, bytesOf("2")}}),
              errSecSuccess);
    EXPECT_EQ(keychain.add(with(query("app", "_pfo"), {{kSecValueData, bytesOf("9")}})),
              errSecDuplicateItem);
    Object found;
    const Dictionary attributesQuery = with(query("app", "_pfo"), {{kSecReturnAttributes, true}});
    ASSERT_EQ(keychain.copyMatching(attributesQuery, &found), errSecSuccess);
    EXPECT_TRUE(found[kSecAttrAccount].isData());

    ASSERT_EQ(keychain.update(query("app", "_pfo"),
                              {{kSecAttrAccount, "_pfo"}, {kSecAttrGeneric, "_pfo"}}),
              errSecSuccess);
    ASSERT_EQ(keychain.copyMatching(attributesQuery, &found), errSecSuccess);
    EXPECT_EQ(found[kSecAttrAccount], Object("_pfo"));
    EXPECT_EQ(found[kSecAttrGeneric], Object("_pfo"));
    EXPECT_EQ(read(keychain, "app", "_pfo"), (Answer(bytesOf("2"))));
}

TEST_F(KeychainTest, RefusesMalformedQueriesWithErrSecParam) {
    Keychain keychain(file());
    const Dictionary good = with(query("app", "id"), {{kSecValueData, bytesOf("v")}});
    Dictionary noClass = good;
    noClass.erase(kSecClass);
    const struct {
        const char* name;
        Dictionary dictionary;
    } adds[] = {

        {"unknown class", with(good, {{kSecClass, "certificate"}})},

        {"data as text", with(good, {{kSecValueData, "v"}})},

        {"unknown accessibility", with(good, {{kSecAttrAccessible, "sometimes"}})},
    };
    for (const auto& c : adds) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(keychain.add(c.dictionary), errSecParam);
    }
    ASSERT_EQ(keychain.add(good), errSecSuccess);
    Object result;
    EXPECT_EQ(keychain.copyMatching(with(query("app", "id"), {{kSecMatchLimit, "some"}}), &result),
              errSecParam);

    EXPECT_EQ(keychain.copyMatching(good, &result), errSecParam);

    EXPECT_EQ(keychain.update(with(query("app", "id"), {{kSecReturnData, true}}),
                              {{kSecValueData, bytesOf("w")}}),
              errSecParam);
    EXPECT_EQ(keychain.deleteItems(noClass), errSecParam);
}

TEST_F(KeychainTest, SetsADamagedFileAsideAndStartsEmpty) {
    ASSERT_TRUE(createDirectories(file().parent_path()));
    ASSERT_TRUE(writeFileAtomically(file(), std::string_view("not a property list")));
    Keychain keychain(file());
    EXPECT_EQ(read(keychain, "app", "id"), (Answer(errSecItemNotFound)));
    EXPECT_EQ(readTextFile(file().string() + ".corrupt"), "not a property list");
    EXPECT_EQ(keychain.add(with(query("app", "id"), {{kSecValueData, bytesOf("v")}})),
              errSecSuccess);
    Keychain reopened(file());
    EXPECT_EQ(read(reopened, "app", "id"), (Answer(bytesOf("v"))));
}

// Two stores on one file stand for two processes: each change reads what the other wrote.
TEST_F(KeychainTest, StoresSharingAFileLoseNoChange) {
    Keychain first(file());
    Keychain second(file());
    EXPECT_EQ(read(second, "app", "a"), (Answer(errSecItemNotFound)));  // loaded, still empty
    ASSERT_EQ(first.add(with(query("app", "a"), {{kSecValueData, bytesOf("1")}})), errSecSuccess);
    EXPECT_EQ(second.add(with(query("app", "a"), {{kSecValueData, bytesOf("2")}})),
              errSecDuplicateItem);
    ASSERT_EQ(second.add(with(query("app", "b"), {{kSecValueData, bytesOf("2")}})), errSecSuccess);
    ASSERT_EQ(first.deleteItems(query("app", "b")), errSecSuccess);
    EXPECT_EQ(read(second, "app", "b"), (Answer(errSecItemNotFound)));
    Keychain third(file());
    EXPECT_EQ(read(third, "app", "a"), (Answer(bytesOf("1"))));
}

TEST_F(KeychainTest, SweepsTemporaryFilesADeadWriterLeft) {
    ASSERT_TRUE(createDirectories(file().parent_path()));
    const auto stale = file().string() + ".tmp.AbC123";
    const auto live = file().string() + ".tmp.XyZ789";
    ASSERT_TRUE(writeFileAtomically(stale, std::string_view("half")));
    ASSERT_TRUE(writeFileAtomically(live, std::string_view("being written")));
    std::filesystem::last_write_time(
        stale, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    Keychain keychain(file());
    EXPECT_EQ(read(keychain, "app", "id"), (Answer(errSecItemNotFound)));
    EXPECT_FALSE(fileExists(stale));
    EXPECT_TRUE(fileExists(live));
}

TEST_F(KeychainTest, AFailedWriteChangesNothing) {
    // The store's folder cannot be made: a file is in its way.
    ASSERT_TRUE(writeFileAtomically(home.path() / "blocked", std::string_view("")));
    Keychain keychain(home.path() / "blocked" / "keychain.plist");
    EXPECT_EQ(keychain.add(with(query("app", "id"), {{kSecValueData, bytesOf("v")}})), errSecIO);
    EXPECT_EQ(read(keychain, "app", "id"), (Answer(errSecItemNotFound)));
}

TEST_F(KeychainTest, TheItemCallsUseTheStoreUnderTheDataRoot) {
    EXPECT_EQ(Keychain::defaultPath(), file());
    ASSERT_EQ(SecItemAdd(with(query("app", "id"), {{kSecValueData, bytesOf("v")}}), nullptr),
              errSecSuccess);
    Object result;
    EXPECT_EQ(SecItemCopyMatching(with(query("app", "id"), {{kSecReturnData, true}}), &result),
              errSecSuccess);
    EXPECT_EQ(result, Object(bytesOf("v")));
    EXPECT_EQ(SecItemDelete(query("app", "id")), errSecSuccess);

    EXPECT_EQ(SecItemDelete(query("app", "id")), errSecItemNotFound);
}

TEST_F(KeychainTest, ConcurrentWritersAllLand) {
    Keychain keychain(file());
    Keychain otherProcess(file());
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&keychain = w % 2 ? otherProcess : keychain, w] {
            for (int i = 0; i < 5; ++i) {
                const std::string account = std::to_string(w) + "." + std::to_string(i);
                keychain.add(with(query("app", account), {{kSecValueData, bytesOf(account)}}));
            }
        });
    }
    for (auto& writer : writers)
        writer.join();
    Keychain reloaded(file());
    Object all;
    ASSERT_EQ(reloaded.copyMatching({{kSecClass, kSecClassGenericPassword},
                                     {kSecReturnData, true},
                                     {kSecMatchLimit, kSecMatchLimitAll}},
                                    &all),
              errSecSuccess);
    EXPECT_EQ(all.count(), 20u);
}

}  // namespace
}  // namespace platform
