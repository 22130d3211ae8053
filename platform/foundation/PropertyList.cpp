#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/CocoaError.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Text.h"

namespace platform {

namespace {

constexpr double kSecondsFrom1970To2001 = 978307200.0;
constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::string_view kUTF8ByteOrderMark = "\xEF\xBB\xBF";
// What a read builds per object: a libplist node and the Object made from it, both held at the
// peak of a read (150 to 220 bytes measured, by kind) ...
constexpr std::uint64_t kBuiltBytesPerObject = 192;
// ... and each byte of text or data twice, once in each of them.
constexpr std::uint64_t kBuiltCopiesOfPayload = 2;
// More objects than this cannot be built within the budget.
constexpr std::uint64_t kMaxBuiltObjects = kMaxPropertyListBuildBytes / kBuiltBytesPerObject;

std::uint64_t builtBytes(std::uint64_t objects, std::uint64_t payloadBytes) {
    return objects * kBuiltBytesPerObject + payloadBytes * kBuiltCopiesOfPayload;
}

std::string overBudget() {
    return "The property list would take more than " + std::to_string(kMaxPropertyListBuildBytes) +
           " bytes in memory.";
}

// ---------------------------------------------------------------------------------------------
// libplist trees

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};

void forEachChild(plist_t node, const std::function<void(const char* key, plist_t child)>& fn) {
    const plist_type type = plist_get_node_type(node);
    if (type == PLIST_ARRAY) {
        plist_array_iter raw = nullptr;
        plist_array_new_iter(node, &raw);
        std::unique_ptr<void, MallocDeleter> iter(raw);
        for (;;) {
            plist_t child = nullptr;
            plist_array_next_item(node, raw, &child);
            if (!child) return;
            fn(nullptr, child);
        }
    }
    if (type == PLIST_DICT) {
        plist_dict_iter raw = nullptr;
        plist_dict_new_iter(node, &raw);
        std::unique_ptr<void, MallocDeleter> iter(raw);
        for (;;) {
            char* rawKey = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, raw, &rawKey, &child);
            std::unique_ptr<char, MallocDeleter> key(rawKey);
            if (!child) return;
            fn(key.get(), child);
        }
    }
}

// plist_free() recurses once per level, so a parsed tree of unchecked depth is freed in slices:
// the nodes on every kFreeSlice-th level first, deepest level first, so that no call recurses
// further than that. Siblings go front to back, which keeps libplist's unlinking cheap.
void freeParsedTree(plist_t root) {
    constexpr std::size_t kFreeSlice = 256;
    std::vector<std::vector<plist_t>> slices;
    std::deque<std::pair<plist_t, std::size_t>> queue{{root, 0}};
    while (!queue.empty()) {
        const plist_t node = queue.front().first;
        const std::size_t level = queue.front().second;
        queue.pop_front();
        if (level > 0 && level % kFreeSlice == 0) {
            slices.resize(std::max(slices.size(), level / kFreeSlice));
            slices[level / kFreeSlice - 1].push_back(node);
        }
        forEachChild(node,
                     [&](const char*, plist_t child) { queue.emplace_back(child, level + 1); });
    }
    for (auto slice = slices.rbegin(); slice != slices.rend(); ++slice) {
        for (plist_t node : *slice) {
            plist_free(node);
        }
    }
    plist_free(root);
}

struct ParsedTreeDeleter {
    void operator()(plist_t node) const { freeParsedTree(node); }
};
using ParsedTree = std::unique_ptr<void, ParsedTreeDeleter>;

// ---------------------------------------------------------------------------------------------
// Binary shape check: libplist parses binary property lists recursively and copies a shared
// object each time it is referred to, so a file of a few hundred bytes could exhaust the stack or
// build gigabytes. The object graph is walked here first, without recursion, and what the parse
// would build is counted against the budget.

std::uint64_t readBigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | std::uint8_t(bytes[at + i]);
    }
    return value;
}

class BinaryShape {
  public:
    explicit BinaryShape(std::string_view bytes) : bytes_(bytes) {}

    // Empty when the graph is acceptable, else what is wrong with it.
    std::string problem() {
        if (!readTrailer()) return "The binary property list has a damaged trailer.";
        // Bounds the walk's own tables too.
        if (objectCount_ > kMaxBuiltObjects) return overBudget();
        return walk();
    }

  private:
    struct Container {
        std::uint64_t count = 0;  // references, keys and values counted separately
        std::size_t refs = 0;     // byte offset of the first reference
        std::uint64_t keys = 0;   // how many of the references are dictionary keys
    };

    // What an object expands to once every shared object is copied out: objects, and bytes of
    // text and data.
    struct Weight {
        std::uint64_t objects = 0;
        std::uint64_t bytes = 0;

        Weight& operator+=(const Weight& other) {
            objects += other.objects;
            bytes += other.bytes;
            return *this;
        }
    };

    struct Frame {
        std::uint64_t index;
        Container container;
        std::uint64_t next = 0;
        Weight expanded{1, 0};
    };

    bool readTrailer() {
        constexpr std::size_t kTrailer = 32;
        if (bytes_.size() < kBinaryMagic.size() + 1 + kTrailer) return false;
        const std::size_t at = bytes_.size() - kTrailer;
        offsetSize_ = std::uint8_t(bytes_[at + 6]);
        refSize_ = std::uint8_t(bytes_[at + 7]);
        objectCount_ = readBigEndian(bytes_, at + 8, 8);
        top_ = readBigEndian(bytes_, at + 16, 8);
        tableOffset_ = readBigEndian(bytes_, at + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (objectCount_ == 0 || top_ >= objectCount_) return false;
        if (tableOffset_ <= kBinaryMagic.size() || tableOffset_ >= at) return false;
        return objectCount_ <= (at - tableOffset_) / offsetSize_;
    }

    // Where object `index` starts, or 0 when that lies outside the object area.
    std::size_t objectOffset(std::uint64_t index) const {
        const std::uint64_t offset =
            readBigEndian(bytes_, std::size_t(tableOffset_ + index * offsetSize_), offsetSize_);
        return offset >= kBinaryMagic.size() && offset < tableOffset_ ? std::size_t(offset) : 0;
    }

    enum class Shape { Scalar, Container, Damaged };

    // The element count of the object at `offset` and where its payload starts; false when the
    // count is damaged.
    bool readCount(std::size_t offset, std::uint64_t& count, std::size_t& pos) const {
        count = std::uint8_t(bytes_[offset]) & 0x0F;
        pos = offset + 1;
        if (count != 0x0F) return true;
        // The count follows as an integer object of 1, 2, 4 or 8 bytes.
        if (pos >= tableOffset_) return false;
        const std::uint8_t intMarker = std::uint8_t(bytes_[pos]);
        const std::size_t width = std::size_t(1) << (intMarker & 0x0F);
        if ((intMarker >> 4) != 0x1 || width > 8 || pos + 1 + width > tableOffset_) return false;
        count = readBigEndian(bytes_, pos + 1, width);
        pos += 1 + width;
        return true;
    }

    // The bytes of text or data a scalar holds once read: a UTF-16 unit becomes up to three bytes
    // of UTF-8. A damaged count is left to libplist, which refuses it.
    std::uint64_t payloadBytes(std::size_t offset) const {
        const std::uint8_t kind = std::uint8_t(bytes_[offset]) >> 4;
        if (kind != 0x4 && kind != 0x5 && kind != 0x6) return 0;
        std::uint64_t count = 0;
        std::size_t pos = 0;
        if (!readCount(offset, count, pos)) return 0;
        return std::min<std::uint64_t>(count, tableOffset_) * (kind == 0x6 ? 3 : 1);
    }

    // Whether the object at `offset` is a scalar or a container, and a container's references.
    Shape inspect(std::size_t offset, Container& out) const {
        const std::uint8_t kind = std::uint8_t(bytes_[offset]) >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD) return Shape::Scalar;
        std::uint64_t count = 0;
        std::size_t pos = 0;
        if (!readCount(offset, count, pos)) return Shape::Damaged;
        const std::uint64_t perEntry = kind == 0xD ? 2 : 1;  // a dictionary lists keys, values
        if (count > (tableOffset_ - pos) / refSize_ / perEntry) return Shape::Damaged;
        out = Container{count * perEntry, pos, kind == 0xD ? count : 0};
        return Shape::Container;
    }

    // libplist aborts the process on a dictionary key holding a NUL character (UTF-16 keys) or
    // cuts the key short at it (ASCII keys), so such keys are refused here. Each key object is
    // looked at once, however often it is referred to.
    std::string keyProblem(std::uint64_t index) {
        if (keyChecked_[index]) return "";
        keyChecked_[index] = true;
        const std::size_t offset = objectOffset(index);
        if (offset == 0) return "The binary property list has a damaged offset table.";
        const std::uint8_t kind = std::uint8_t(bytes_[offset]) >> 4;
        if (kind != 0x5 && kind != 0x6) return "";  // not text: libplist refuses it itself
        const std::size_t unit = kind == 0x6 ? 2 : 1;
        std::uint64_t count = 0;
        std::size_t pos = 0;
        if (!readCount(offset, count, pos) || count > (tableOffset_ - pos) / unit) {
            return "The binary property list has a damaged string.";
        }
        for (std::size_t at = pos; at < pos + count * unit; at += unit) {
            if (bytes_[at] == '\0' && (unit == 1 || bytes_[at + 1] == '\0')) {
                return "A dictionary key holds a NUL character.";
            }
        }
        return "";
    }

    // Counts object `index` into `expanded`: at once when it is a scalar or already walked,
    // else by opening a frame for it. Returns what is wrong, or "".
    std::string open(std::uint64_t index, Weight& expanded) {
        if (state_[index] == kDone) {
            expanded += expanded_[index];
            return "";
        }
        if (state_[index] == kOpen) return "The binary property list refers to itself.";
        const std::size_t offset = objectOffset(index);
        if (offset == 0) return "The binary property list has a damaged offset table.";
        Container container;
        switch (inspect(offset, container)) {
            case Shape::Damaged:
                return "The binary property list has a damaged collection.";
            case Shape::Scalar:
                expanded += Weight{1, payloadBytes(offset)};
                return "";
            case Shape::Container:
                break;
        }
        if (stack_.size() == kMaxPropertyListDepth) {
            return "The binary property list is nested too deeply.";
        }
        state_[index] = kOpen;
        stack_.push_back({index, container});
        return "";
    }

    std::string walk() {
        state_.assign(objectCount_, kUnseen);
        expanded_.assign(objectCount_, Weight{});
        keyChecked_.assign(objectCount_, false);
        stack_.reserve(kMaxPropertyListDepth);
        Weight total;
        if (auto problem = open(top_, total); !problem.empty()) return problem;
        while (!stack_.empty()) {
            Frame& frame = stack_.back();
            if (builtBytes(frame.expanded.objects, frame.expanded.bytes) >
                kMaxPropertyListBuildBytes) {
                return overBudget();
            }
            if (frame.next < frame.container.count) {
                const std::uint64_t ref = readBigEndian(
                    bytes_, std::size_t(frame.container.refs + frame.next * refSize_), refSize_);
                ++frame.next;
                if (ref >= objectCount_) return "The binary property list has a damaged reference.";
                if (frame.next <= frame.container.keys) {
                    if (auto problem = keyProblem(ref); !problem.empty()) return problem;
                }
                if (auto problem = open(ref, frame.expanded); !problem.empty()) return problem;
                continue;
            }
            const Frame done = frame;
            state_[done.index] = kDone;
            expanded_[done.index] = done.expanded;
            stack_.pop_back();
            (stack_.empty() ? total : stack_.back().expanded) += done.expanded;
        }
        return "";
    }

    enum : std::uint8_t { kUnseen, kOpen, kDone };

    std::string_view bytes_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t top_ = 0;
    std::uint64_t tableOffset_ = 0;
    std::vector<std::uint8_t> state_;
    std::vector<Weight> expanded_;  // per walked object
    std::vector<bool> keyChecked_;
    std::vector<Frame> stack_;
};

// ---------------------------------------------------------------------------------------------
// libplist -> Object

std::optional<Object> toObject(plist_t node, std::size_t containers, Error* error);

std::optional<Object> stringToObject(plist_t node, Error* error) {
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    const std::string_view value(text ? text : "", text ? std::size_t(length) : 0);
    if (!isValidUTF8(value)) {
        return failWith<std::optional<Object>>(
            error, propertyListReadError("A string is not valid UTF-8."));
    }
    return Object(value);
}

// Whether a date node holds exactly `micros2001` microseconds since 2001, as libplist makes it
// from whole seconds (rounded down) and a non-negative microsecond part.
bool holdsDate(plist_t node, std::int64_t micros2001) {
    const std::int64_t seconds =
        micros2001 >= 0 ? micros2001 / 1'000'000 : -((-micros2001 + 999'999) / 1'000'000);
    if (seconds < std::numeric_limits<std::int32_t>::min() ||
        seconds > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    const PlistPtr probe(
        plist_new_date(std::int32_t(seconds), std::int32_t(micros2001 - seconds * 1'000'000)));
    return plist_compare_node_value(node, probe.get()) != 0;
}

// libplist hands a date out as whole seconds truncated towards zero plus the magnitude of the
// fraction, so the sign of a date less than a second before 2001 is recovered by comparison.
Object dateToObject(plist_t node) {
    std::int32_t seconds = 0;
    std::int32_t micros = 0;
    plist_get_date_val(node, &seconds, &micros);
    // Widened first: a damaged file can hand out INT32_MIN, whose magnitude int32 cannot hold.
    const std::int64_t magnitude = std::abs(std::int64_t{micros});
    bool negative = seconds < 0;
    if (seconds == 0 && micros != 0) {
        const auto negated = std::int32_t(-std::min<std::int64_t>(magnitude, INT32_MAX));
        const PlistPtr probe(plist_new_date(0, negated));
        negative = plist_compare_node_value(node, probe.get()) != 0;
    }
    // Whole microseconds since 2001. libplist truncates the fraction it hands out, so a date it
    // was given as seconds and microseconds (as writing does) can come back a microsecond short,
    // and one less than a second from 2001 with the wrong sign: a file read and saved again would
    // change. So the value one microsecond further from zero, and under a second the other sign,
    // is taken when it is exactly what the node holds.
    std::int64_t micros2001 =
        std::int64_t{seconds} * 1'000'000 + (negative ? -magnitude : magnitude);
    const std::int64_t away = negative ? -1 : 1;
    std::vector<std::int64_t> candidates = {micros2001, micros2001 + away};
    if (seconds == 0) candidates.insert(candidates.end(), {-micros2001, -micros2001 - away});
    const auto exact =
        std::find_if(candidates.begin(), candidates.end(),
                     [&](std::int64_t candidate) { return holdsDate(node, candidate); });
    if (exact != candidates.end()) micros2001 = *exact;
    return Object(Date{double(micros2001) / 1e6 + kSecondsFrom1970To2001});
}

// Integers come out as uint64; one written as a 128-bit unsigned value (length 16 in libplist)
// differs from a fresh node of the same bits, which libplist treats as signed.
Object integerToObject(plist_t node) {
    std::uint64_t bits = 0;
    plist_get_uint_val(node, &bits);
    if (bits <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
        return Object(std::int64_t(bits));
    }
    const PlistPtr probe(plist_new_uint(bits));
    if (plist_compare_node_value(node, probe.get())) return Object(std::int64_t(bits));
    return Object(double(bits));
}

std::optional<Object> containerToObject(plist_t node, std::size_t containers, Error* error) {
    using Result = std::optional<Object>;
    if (containers >= kMaxPropertyListDepth) {
        return failWith<Result>(error,
                                propertyListReadError("The property list is nested too deeply."));
    }
    const bool isArray = plist_get_node_type(node) == PLIST_ARRAY;
    Object result = isArray ? Object(Array{}) : Object(Dictionary{});
    bool ok = true;
    forEachChild(node, [&](const char* key, plist_t child) {
        if (!ok) return;
        if (key && !isValidUTF8(key)) {
            ok = fail(error, propertyListReadError("A dictionary key is not valid UTF-8."));
            return;
        }
        auto value = toObject(child, containers + 1, error);
        if (!value) {
            ok = false;
        } else if (isArray) {
            result.getArray()->push_back(std::move(*value));
        } else {
            (*result.getDictionary())[key] = std::move(*value);
        }
    });
    if (!ok) return std::nullopt;
    return result;
}

std::optional<Object> toObject(plist_t node, std::size_t containers, Error* error) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return Object(value != 0);
        }
        case PLIST_UINT:
            return integerToObject(node);
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return Object(value);
        }
        case PLIST_STRING:
            return stringToObject(node, error);
        case PLIST_DATE:
            return dateToObject(node);
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const auto* bytes =
                reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
            return Object(bytes ? Data(bytes, bytes + length) : Data{});
        }
        case PLIST_ARRAY:
        case PLIST_DICT:
            return containerToObject(node, containers, error);
        default:
            return failWith<std::optional<Object>>(
                error,
                propertyListReadError("The property list holds a kind that has no object form."));
    }
}

// ---------------------------------------------------------------------------------------------
// Object -> libplist

// Date as libplist wants it: seconds since 2001 and a non-negative microsecond part; nullopt
// outside the 32-bit range of seconds.
std::optional<std::pair<std::int32_t, std::int32_t>> plistDate(Date date) {
    const double since2001 = date.secondsSince1970 - kSecondsFrom1970To2001;
    if (!std::isfinite(since2001)) return std::nullopt;
    double seconds = std::floor(since2001);
    auto micros = std::llround((since2001 - seconds) * 1e6);
    if (micros >= 1'000'000) {
        seconds += 1;
        micros = 0;
    }
    if (seconds < std::numeric_limits<std::int32_t>::min() ||
        seconds > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return std::pair{std::int32_t(seconds), std::int32_t(micros)};
}

bool validText(const std::string& text, const char* what, Error* error) {
    if (text.find('\0') != std::string::npos) {
        return fail(error, propertyListWriteError(std::string(what) + " holds a NUL character."));
    }
    if (!isValidUTF8(text)) {
        return fail(error, propertyListWriteError(std::string(what) + " is not valid UTF-8."));
    }
    return true;
}

bool validate(const Object& object, std::size_t containers, Error* error) {
    switch (object.type()) {
        case Object::Type::Null:
            return fail(error, propertyListWriteError("A null object has no property-list form."));
        case Object::Type::String:
            return validText(object.asString(), "A string", error);
        case Object::Type::Date:
            if (!plistDate(object.asDate())) {
                return fail(error, propertyListWriteError(
                                       "A date lies outside the range a property list holds."));
            }
            return true;
        case Object::Type::Array:
        case Object::Type::Dictionary:
            break;
        default:
            return true;
    }
    if (containers >= kMaxPropertyListDepth) {
        return fail(error,
                    propertyListWriteError("The object is nested too deeply for a property list."));
    }
    if (const auto* array = object.getArray()) {
        return std::all_of(array->begin(), array->end(), [&](const Object& element) {
            return validate(element, containers + 1, error);
        });
    }
    for (const auto& [key, value] : object.asDictionary()) {
        if (!validText(key, "A dictionary key", error) || !validate(value, containers + 1, error)) {
            return false;
        }
    }
    return true;
}

// Builds the libplist tree of an object that validate() accepted.
plist_t toPlist(const Object& object) {
    switch (object.type()) {
        case Object::Type::Bool:
            return plist_new_bool(object.asBool() ? 1 : 0);
        case Object::Type::Integer:
            return plist_new_uint(std::uint64_t(object.asInteger()));
        case Object::Type::Double:
            return plist_new_real(object.asDouble());
        case Object::Type::String:
            return plist_new_string(object.asString().c_str());
        case Object::Type::Data: {
            const auto& data = object.asData();
            return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
        }
        case Object::Type::Date: {
            const auto [seconds, micros] = *plistDate(object.asDate());
            return plist_new_date(seconds, micros);
        }
        case Object::Type::Array: {
            plist_t array = plist_new_array();
            for (const auto& element : object.asArray()) {
                plist_array_append_item(array, toPlist(element));
            }
            return array;
        }
        case Object::Type::Dictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, value] : object.asDictionary()) {
                plist_dict_set_item(dict, key.c_str(), toPlist(value));
            }
            return dict;
        }
        case Object::Type::Null:
            break;
    }
    return nullptr;
}

// libplist reads XML without recursion but frees a half-built tree recursively when the text
// turns out damaged, so unclosed elements nested deeply enough exhaust the stack before the depth
// check on the finished tree could run. Element nesting is measured on the text first: the plist
// element, kMaxPropertyListDepth containers and one element inside the innermost. Every element
// is counted as an object that the parse builds, and the text after an opening tag (the content
// of a string, a number or data; the layout after a container's tag) and in CDATA sections as
// text or data it holds. The layout between elements builds nothing.
std::string xmlProblem(std::string_view text) {
    constexpr std::size_t kMaxElementDepth = kMaxPropertyListDepth + 2;
    constexpr std::string_view kCDATA = "<![CDATA[";
    // Markup that opens no element, and where it ends.
    constexpr std::pair<std::string_view, std::string_view> kSkipped[] = {
        {"<!--", "-->"}, {kCDATA, "]]>"}, {"<?", ">"}, {"<!", ">"}};
    std::size_t depth = 0;
    std::uint64_t elements = 0;
    std::uint64_t textBytes = 0;
    bool afterOpeningTag = false;
    std::size_t pos = 0;
    std::size_t open;
    while ((open = text.find('<', pos)) != std::string_view::npos) {
        if (afterOpeningTag) textBytes += open - pos;
        const std::string_view rest = text.substr(open);
        const auto skipped = std::find_if(std::begin(kSkipped), std::end(kSkipped),
                                          [&](const auto& s) { return rest.starts_with(s.first); });
        const std::string_view closer = skipped != std::end(kSkipped) ? skipped->second : ">";
        const std::size_t end = text.find(closer, open + 1);
        if (end == std::string_view::npos) break;  // damaged; libplist says so
        if (skipped == std::end(kSkipped)) {
            afterOpeningTag = !rest.starts_with("</") && text[end - 1] != '/';
            if (rest.starts_with("</")) {
                depth -= depth > 0 ? 1 : 0;
            } else {
                ++elements;
                if (afterOpeningTag && ++depth > kMaxElementDepth) {
                    return "The property list is nested too deeply.";
                }
            }
        } else if (skipped->first == kCDATA) {
            textBytes += end - open - kCDATA.size();
        }
        pos = end + closer.size();
    }
    if (afterOpeningTag) textBytes += text.size() - std::min(pos, text.size());
    return builtBytes(elements, textBytes) > kMaxPropertyListBuildBytes ? overBudget() : "";
}

// Why libplist must not be given `bytes` to parse; "" when it may.
std::string problemBeforeParsing(std::string_view bytes, bool binary) {
    return binary ? BinaryShape(bytes).problem() : xmlProblem(bytes);
}

bool looksLikeXML(std::string_view bytes) {
    const auto start = bytes.find_first_not_of(" \t\r\n");
    return start != std::string_view::npos && bytes[start] == '<';
}

}  // namespace

std::optional<Object> readPropertyList(std::string_view bytes, Error* error,
                                       PropertyListFormat* format) {
    using Result = std::optional<Object>;
    if (bytes.size() > kMaxPropertyListBytes) {
        return failWith<Result>(error, propertyListReadError("The property list is too large."));
    }
    if (bytes.substr(0, kUTF8ByteOrderMark.size()) == kUTF8ByteOrderMark) {
        bytes.remove_prefix(kUTF8ByteOrderMark.size());
    }
    const bool binary = bytes.substr(0, kBinaryMagic.size()) == kBinaryMagic;
    if (!binary && !looksLikeXML(bytes)) {
        return failWith<Result>(error, propertyListReadError("The data is not a property list."));
    }
    if (auto problem = problemBeforeParsing(bytes, binary); !problem.empty()) {
        return failWith<Result>(error, propertyListReadError(std::move(problem)));
    }
    plist_t raw = nullptr;
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (binary) {
        plist_from_bin(bytes.data(), length, &raw);
    } else {
        plist_from_xml(bytes.data(), length, &raw);
    }
    const ParsedTree tree(raw);
    if (!tree)
        return failWith<Result>(error, propertyListReadError("The property list is damaged."));
    auto object = toObject(tree.get(), 0, error);
    if (object && format) *format = binary ? PropertyListFormat::Binary : PropertyListFormat::XML;
    return object;
}

std::optional<Object> readPropertyList(const Data& bytes, Error* error,
                                       PropertyListFormat* format) {
    return readPropertyList(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error, format);
}

std::optional<Object> readPropertyListFile(const std::filesystem::path& path, Error* error,
                                           PropertyListFormat* format) {
    Error readFailure;
    const auto bytes = readTextFile(path, &readFailure, kMaxPropertyListBytes);
    if (!bytes) return failWith<std::optional<Object>>(error, std::move(readFailure));
    Error parseFailure;
    auto object = readPropertyList(*bytes, &parseFailure, format);
    if (!object) {
        parseFailure.userInfo[kFilePathErrorKey] = path.string();
        return failWith<std::optional<Object>>(error, std::move(parseFailure));
    }
    return object;
}

bool isValidPropertyList(const Object& object, Error* error) {
    return validate(object, 0, error);
}

std::optional<Data> writePropertyList(const Object& object, PropertyListFormat format,
                                      Error* error) {
    if (!validate(object, 0, error)) return std::nullopt;
    const PlistPtr tree(toPlist(object));
    char* raw = nullptr;
    std::uint32_t length = 0;
    if (format == PropertyListFormat::Binary) {
        plist_to_bin(tree.get(), &raw, &length);
    } else {
        plist_to_xml(tree.get(), &raw, &length);
    }
    const std::unique_ptr<char, MallocDeleter> bytes(raw);
    if (!bytes) {
        return failWith<std::optional<Data>>(
            error, propertyListWriteError("libplist could not write the property list."));
    }
    // What could not be read back must not be written: a file that replaced a readable one
    // with one that is too large would lose everything in it at the next read.
    if (length > kMaxPropertyListBytes) {
        return failWith<std::optional<Data>>(
            error, propertyListWriteError("The property list would be larger than " +
                                          std::to_string(kMaxPropertyListBytes) + " bytes."));
    }
    const std::string_view written(bytes.get(), length);
    if (auto problem = problemBeforeParsing(written, format == PropertyListFormat::Binary);
        !problem.empty()) {
        return failWith<std::optional<Data>>(error, propertyListWriteError(std::move(problem)));
    }
    return Data(bytes.get(), bytes.get() + length);
}

bool writePropertyListFile(const std::filesystem::path& path, const Object& object,
                           PropertyListFormat format, Error* error) {
    const auto bytes = writePropertyList(object, format, error);
    return bytes && writeFileAtomically(path, *bytes, error);
}

}  // namespace platform
