#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/CocoaError.h"
#include "platform/foundation/FileSystem.h"
#include "testkit/PeakMemory.h"
#include "testkit/TempHome.h"

namespace platform {
namespace {

constexpr double k2001 = 978307200.0;

Object everyKind(double date) {
    return Object::dict({
        {"true", true},
        {"false", false},
        {"zero", 0},
        {"minusOne", -1},
        {"min", std::numeric_limits<std::int64_t>::min()},
        {"max", std::numeric_limits<std::int64_t>::max()},
        {"tenth", 0.1},
        {"tiny", -2.5e-300},
        {"five", 5.0},
        {"text", "caf\u00e9 \U0001F600 <&> \"quoted\""},
        {"empty", ""},
        {"data", Data{0, 1, 127, 128, 255}},
        {"noData", Data{}},
        {"date", Date{date}},
        {"nested", Object::array({Object::dict({{"k", Object::array({1, "x"})}}), Object(Array{}),
                                  Object(Dictionary{})})},
    });
}

TEST(PropertyListTest, EveryKindRoundTripsInBothFormats) {
    struct {
        PropertyListFormat format;
        double date;  // XML keeps whole seconds only
    } const cases[] = {
        {PropertyListFormat::Binary, 1700000000.25},
        {PropertyListFormat::Binary, k2001 - 0.5},
        {PropertyListFormat::XML, k2001 - 86400.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format == PropertyListFormat::XML ? "xml" : "binary");
        const Object original = everyKind(c.date);
        Error error;
        const auto bytes = writePropertyList(original, c.format, &error);
        ASSERT_TRUE(bytes) << error.description;
        PropertyListFormat found{};
        const auto back = readPropertyList(*bytes, &error, &found);
        ASSERT_TRUE(back) << error.description;
        EXPECT_EQ(found, c.format);
        EXPECT_EQ(*back, original) << back->description();
        EXPECT_TRUE((*back)["true"].isBool());
        EXPECT_TRUE((*back)["five"].isDouble());
    }
}

// libplist hands out truncated microseconds; a date must not lose one on each read and save.
TEST(PropertyListTest, BinaryDatesKeepEveryMicrosecond) {
    for (const double date : {1589716800.000001, 1700000000.999999, k2001 - 100.000001,
                              k2001 - 0.000001, k2001 + 0.000001}) {
        SCOPED_TRACE(std::to_string(date));
        const auto bytes = writePropertyList(Object(Date{date}), PropertyListFormat::Binary);
        ASSERT_TRUE(bytes);
        const auto back = readPropertyList(*bytes);
        ASSERT_TRUE(back && back->isDate());
        EXPECT_NEAR(back->asDate().secondsSince1970, date, 0.5e-6);
        EXPECT_EQ(writePropertyList(*back, PropertyListFormat::Binary), bytes);
    }
}

TEST(PropertyListTest, ReadsForeignXML) {
    const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>negative</key><integer>-5</integer>
  <key>huge</key><integer>18446744073709551615</integer>
  <key>epoch</key><date>2001-01-01T00:00:00Z</date>
  <key>bytes</key><data>AAE=</data>
  <key>escaped</key><string>a&amp;b&lt;</string>
</dict></plist>)";
    Error error;
    const auto object = readPropertyList(xml, &error);
    ASSERT_TRUE(object) << error.description;
    EXPECT_EQ((*object)["negative"], Object(-5));
    EXPECT_EQ((*object)["huge"], Object(18446744073709551615.0));
    EXPECT_EQ((*object)["epoch"], Object(Date{k2001}));
    EXPECT_EQ((*object)["bytes"], Object(Data{0, 1}));
    EXPECT_EQ((*object)["escaped"], Object("a&b<"));
}

Object nested(std::size_t depth) {
    Object object = Object(Array{});
    for (std::size_t i = 1; i < depth; ++i) {
        object = Object(Array{std::move(object)});
    }
    return object;
}

TEST(PropertyListTest, RefusesWhatHasNoPropertyListForm) {
    struct {
        const char* name;
        Object object;
    } const cases[] = {
        {"null inside", Object::array({1, Object()})},
        {"invalid UTF-8", Object("a\xff")},
        {"NUL in key", Object(Dictionary{{std::string("a\0b", 3), 1}})},
        {"date after 2069", Object(Date{4102444800.0})},
        {"too deep", nested(kMaxPropertyListDepth + 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Error error;
        EXPECT_FALSE(isValidPropertyList(c.object));
        EXPECT_FALSE(writePropertyList(c.object, PropertyListFormat::Binary, &error));
        EXPECT_EQ(error.domain, kCocoaErrorDomain);
        EXPECT_EQ(error.code, kPropertyListWriteInvalidError);
        EXPECT_FALSE(error.description.empty());
    }
    EXPECT_TRUE(writePropertyList(nested(kMaxPropertyListDepth), PropertyListFormat::Binary));
}

// Builds a binary property list from raw objects (marker byte and payload, references of two
// bytes), so that damaged and hostile graphs can be written.
std::string binaryPlist(const std::vector<std::string>& objects, std::uint64_t top = 0) {
    std::string out = "bplist00";
    std::vector<std::uint32_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(std::uint32_t(out.size()));
        out += object;
    }
    const std::uint64_t table = out.size();
    for (auto offset : offsets) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out += char((offset >> shift) & 0xFF);
        }
    }
    auto be64 = [&](std::uint64_t v) {
        for (int shift = 56; shift >= 0; shift -= 8) {
            out += char((v >> shift) & 0xFF);
        }
    };
    out += std::string(6, '\0');
    out += char(4);  // offset size
    out += char(2);  // reference size
    be64(objects.size());
    be64(top);
    be64(table);
    return out;
}

// One container object: its marker byte, then references of two bytes. Built by appending: g++ 12
// at -O3 reports a false -Wrestrict overlap for `"\xA1" + std::string`.
std::string container(char marker, std::initializer_list<int> references) {
    std::string out(1, marker);
    for (const int index : references) {
        out += char(index >> 8);
        out += char(index & 0xFF);
    }
    return out;
}

// An array of `count` references, all to object `reference`.
std::string repeatedReferences(int reference, std::uint32_t count) {
    std::string out("\xAF\x12", 2);  // the count follows as an integer of four bytes
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += char((count >> shift) & 0xFF);
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        out += char(reference >> 8);
        out += char(reference & 0xFF);
    }
    return out;
}

// An ASCII string object of 64 bytes.
std::string string64() {
    return std::string("\x5F\x10\x40", 3) + std::string(64, 's');
}

// Four levels of arrays of 32 references each, down to one string of 64 bytes: about 400 bytes
// that a parse would expand to 2^20 copies of the string.
std::string sharedStringList() {
    std::vector<std::string> objects;
    for (int level = 0; level < 4; ++level) {
        objects.push_back(repeatedReferences(level + 1, 32));
    }
    objects.push_back(string64());
    return binaryPlist(objects);
}

constexpr char kOverBudget[] = "The property list would take more than 67108864 bytes in memory.";

TEST(PropertyListTest, ReadingCountsWhatItWouldBuildAgainstTheBudget) {
    // An object costs 192 bytes and its text twice over: an array of n references to one string
    // of 64 bytes builds 192 + n * (192 + 2 * 64) bytes, which fits for n up to 209714.
    std::string xml = "<plist><array>";
    for (int i = 0; i < 350000; ++i) {
        xml += "<true/>";
    }
    xml += "</array></plist>";
    struct {
        const char* name;
        std::string bytes;
        std::size_t elements;  // 0: refused
    } const cases[] = {
        {"2^20 copies of a string through four shared levels", sharedStringList(), 0},
        {"one reference more than fits", binaryPlist({repeatedReferences(1, 209715), string64()}),
         0},
        {"as many references as fit", binaryPlist({repeatedReferences(1, 209714), string64()}),
         209714},
        // No text at all: the objects alone are counted.
        {"2^20 references to one integer",
         binaryPlist({repeatedReferences(1, 1u << 20), std::string("\x10\x01", 2)}), 0},
        {"XML of 350000 elements", xml, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Error error;
        const auto object = readPropertyList(c.bytes, &error);
        if (c.elements == 0) {
            EXPECT_FALSE(object);
            EXPECT_EQ(error.code, kPropertyListReadCorruptError);
            EXPECT_EQ(error.description, kOverBudget);
        } else {
            ASSERT_TRUE(object) << error.description;
            ASSERT_EQ(object->count(), c.elements);
            EXPECT_EQ((*object)[c.elements - 1], Object(std::string(64, 's')));
        }
    }
}

TEST(PropertyListTest, RefusesToWriteWhatWouldTakeTooMuchMemoryToReadBack) {
    // The binary form stores equal strings once: 30616 copies of a string of 1000 bytes fit in a
    // file of 120 kB, but would build 192 + 30616 * (192 + 2 * 1000) bytes, just over the budget.
    for (const std::size_t copies : {30615u, 30616u}) {
        SCOPED_TRACE(copies);
        Error error;
        const auto bytes = writePropertyList(Object(Array(copies, Object(std::string(1000, 'c')))),
                                             PropertyListFormat::Binary, &error);
        if (copies == 30615u) {
            ASSERT_TRUE(bytes) << error.description;
            EXPECT_LT(bytes->size(), 200'000u);
            const auto back = readPropertyList(*bytes);
            ASSERT_TRUE(back);
            EXPECT_EQ(back->count(), copies);
        } else {
            EXPECT_FALSE(bytes);
            EXPECT_EQ(error.code, kPropertyListWriteInvalidError);
            EXPECT_EQ(error.description, kOverBudget);
        }
    }
}

// Set only in the child of the peak test below.
constexpr char kPeakChild[] = "TESSALINE_PLIST_PEAK_CHILD";

TEST(PropertyListPeak, TheSharedStringListIsRefusedInLittleMemory) {
    const auto growth = testkit::peakGrowthInChild("PropertyListPeakChild.ReadsTheSharedStringList",
                                                   {{kPeakChild, "1"}});
    if (!growth) return;
    // Reading it once took 551 MB.
    EXPECT_LE(*growth, 1u << 20);
}

TEST(PropertyListPeakChild, ReadsTheSharedStringList) {
    if (!std::getenv(kPeakChild)) GTEST_SKIP() << "runs only as a child of PropertyListPeak";
    const std::string bytes = sharedStringList();
    testkit::reportPeakGrowthOf([&] {
        Error error;
        EXPECT_FALSE(readPropertyList(bytes, &error));
        EXPECT_EQ(error.description, kOverBudget);
    });
}

TEST(PropertyListTest, DamagedOrHostileInputIsAnErrorNotACrash) {
    std::vector<std::string> deep;
    for (int i = 0; i < 1000; ++i) {
        deep.push_back(container('\xA1', {i + 1}));
    }
    deep.push_back(std::string("\xA0", 1));
    std::vector<std::string> laughs;  // each level refers twice to the next: 2^40 copies
    for (int i = 0; i < 40; ++i) {
        laughs.push_back(container('\xA2', {i + 1, i + 1}));
    }
    laughs.push_back(std::string("\x10\x01", 2));
    const Data validBytes = *writePropertyList(Object::dict({{"a", Object::array({1, 2})}}),
                                               PropertyListFormat::Binary);
    const std::string valid(validBytes.begin(), validBytes.end());
    std::string deepXML = "<plist>";
    for (int i = 0; i < 100000; ++i) {
        deepXML += "<array>";
    }
    for (int i = 0; i < 100000; ++i) {
        deepXML += "</array>";
    }
    deepXML += "</plist>";
    // One array referring a thousand times to one data object of 1 MiB: 1 GiB once copied out.
    std::string thousandRefs("\xAF\x11\x03\xE8", 4);
    for (int i = 0; i < 1000; ++i) {
        thousandRefs += std::string("\x00\x01", 2);
    }
    std::string megabyte("\x4F\x12\x00\x10\x00\x00", 6);
    megabyte.resize(megabyte.size() + (1u << 20), 'x');
    std::string unclosedXML = "<plist>";  // libplist frees the half-built tree recursively
    for (int i = 0; i < 1000000; ++i) {
        unclosedXML += "<array>";
    }

    struct {
        const char* name;
        std::string bytes;
    } const cases[] = {
        {"empty", ""},

        {"truncated binary", valid.substr(0, valid.size() - 5)},
        {"binary refers to itself", binaryPlist({container('\xA1', {0})})},

        {"binary nested 1000 deep", binaryPlist(deep)},
        {"binary expands exponentially", binaryPlist(laughs)},
        {"binary shares 1 MiB of data 1000 times", binaryPlist({thousandRefs, megabyte})},
        {"XML invalid UTF-8", "<plist><string>\xff\xfe</string></plist>"},
        {"XML nested 100000 deep", deepXML},
        {"XML unclosed 1000000 deep", unclosedXML},
        {"binary UTF-16 key with NUL",  // libplist would abort the process
         binaryPlist({container('\xD1', {1, 2}), std::string("\x62\0a\0\0", 5),
                      std::string("\x10\x01", 2)})},
        {"binary ASCII key with NUL",  // libplist would cut it to "a"
         binaryPlist({container('\xD1', {1, 2}),
                      std::string("\x53"
                                  "a\0b",
                                  4),
                      std::string("\x10\x01", 2)})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Error error;
        EXPECT_FALSE(readPropertyList(c.bytes, &error));
        EXPECT_EQ(error.domain, kCocoaErrorDomain);
        EXPECT_EQ(error.code, kPropertyListReadCorruptError);
    }
}

TEST(PropertyListTest, ADateBeyondEveryRangeReadsWithoutOverflow) {
    // libplist hands this date out as 0 seconds and INT32_MIN microseconds.
    const auto bits = std::bit_cast<std::uint64_t>(-0x1p63 - 0x1p25);
    std::string date = "\x33";
    for (int shift = 56; shift >= 0; shift -= 8) {
        date += char((bits >> shift) & 0xFF);
    }
    const auto object = readPropertyList(binaryPlist({date}));
    ASSERT_TRUE(object);
    EXPECT_TRUE(object->isDate());
}

TEST(PropertyListTest, RefusesToWriteWhatIsTooLargeToReadBack) {
    const Object large(Data(kMaxPropertyListBytes, 1));
    for (const auto format : {PropertyListFormat::Binary, PropertyListFormat::XML}) {
        Error error;
        EXPECT_FALSE(writePropertyList(large, format, &error));
        EXPECT_EQ(error.code, kPropertyListWriteInvalidError);
    }
    const Object fits(Data(kMaxPropertyListBytes - 64, 1));
    const auto bytes = writePropertyList(fits, PropertyListFormat::Binary);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(readPropertyList(*bytes), fits);
}

class PropertyListFileTest : public testkit::TempHomeTest {};

TEST_F(PropertyListFileTest, FilesRoundTripAndFailuresAreErrors) {
    const auto file = homePath() / "a.plist";
    const Object value = Object::dict({{"k", Object::array({1, "two"})}});
    ASSERT_TRUE(writePropertyListFile(file, value, PropertyListFormat::XML));
    EXPECT_EQ(readPropertyListFile(file), value);

    Error error;
    EXPECT_FALSE(readPropertyListFile(homePath() / "missing.plist", &error));
    EXPECT_EQ(error.code, kFileReadNoSuchFileError);

    ASSERT_TRUE(writeFileAtomically(file, std::string_view("\x00\x01garbage", 9)));
    EXPECT_FALSE(readPropertyListFile(file, &error));
    EXPECT_EQ(error.code, kPropertyListReadCorruptError);
    EXPECT_EQ(error.userInfo[kFilePathErrorKey], Object(file.string()));

    EXPECT_FALSE(readPropertyListFile(homePath(), &error));  // a directory
    EXPECT_EQ(error.domain, kCocoaErrorDomain);
}

}  // namespace
}  // namespace platform
