#include "engine/measurement/KLVLoggedEventBatch.h"

#include <cstring>

namespace engine {

using platform::Object;

namespace {

enum Tag : std::uint8_t {
    kNull,
    kFalse,
    kTrue,
    kInteger,
    kDouble,
    kString,
    kData,
    kDate,
    kArray,
    kDictionary,
};

enum Flag : std::uint8_t {
    kPublic = 1,
    kEnabled = 2,
    kIgnoreEnabled = 4,
    kIgnoreInterceptor = 8,
    kHasInterceptor = 16,
};

void putVarint(std::uint64_t value, std::string& out) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

template <typename T>
void putRaw(const T& value, std::string& out) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

void putText(std::string_view text, std::string& out) {
    putVarint(text.size(), out);
    out.append(text);
}

bool getVarint(const std::uint8_t*& at, const std::uint8_t* end, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64 && at < end; shift += 7) {
        const std::uint8_t byte = *at++;
        value |= std::uint64_t{byte & 0x7fu} << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

template <typename T>
bool getRaw(const std::uint8_t*& at, const std::uint8_t* end, T& value) {
    if (static_cast<std::size_t>(end - at) < sizeof(T)) return false;
    std::memcpy(&value, at, sizeof(T));
    at += sizeof(T);
    return true;
}

bool getText(const std::uint8_t*& at, const std::uint8_t* end, std::string& text) {
    std::uint64_t size = 0;
    if (!getVarint(at, end, size) || size > static_cast<std::uint64_t>(end - at)) return false;
    text.assign(reinterpret_cast<const char*>(at), static_cast<std::size_t>(size));
    at += size;
    return true;
}

void putDictionary(const platform::Dictionary& dictionary, std::string& out) {
    putVarint(dictionary.size(), out);
    for (const auto& [key, value] : dictionary) {
        putText(key, out);
        KLVLoggedEventBatch::encodeObject(value, out);
    }
}

bool getDictionary(const std::uint8_t*& at, const std::uint8_t* end,
                   platform::Dictionary& dictionary) {
    std::uint64_t count = 0;
    if (!getVarint(at, end, count)) return false;
    dictionary.clear();
    std::string key;
    for (std::uint64_t i = 0; i < count; ++i) {
        Object value;
        if (!getText(at, end, key) || !KLVLoggedEventBatch::decodeObject(at, end, value)) {
            return false;
        }
        dictionary.emplace_hint(dictionary.end(), key, std::move(value));
    }
    return true;
}

}  // namespace

void KLVLoggedEventBatch::encodeObject(const Object& value, std::string& out) {
    switch (value.type()) {
        case Object::Type::Null:
            out.push_back(static_cast<char>(kNull));
            return;
        case Object::Type::Bool:
            out.push_back(static_cast<char>(value.asBool() ? kTrue : kFalse));
            return;
        case Object::Type::Integer: {
            out.push_back(static_cast<char>(kInteger));
            // Zigzag: small negative numbers stay short too.
            const auto v = static_cast<std::uint64_t>(value.asInteger());
            putVarint((v << 1) ^ (value.asInteger() < 0 ? ~std::uint64_t{0} : 0), out);
            return;
        }
        case Object::Type::Double:
            out.push_back(static_cast<char>(kDouble));
            putRaw(value.asDouble(), out);
            return;
        case Object::Type::String:
            out.push_back(static_cast<char>(kString));
            putText(value.asString(), out);
            return;
        case Object::Type::Data: {
            out.push_back(static_cast<char>(kData));
            const auto& bytes = value.asData();
            putVarint(bytes.size(), out);
            out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            return;
        }
        case Object::Type::Date:
            out.push_back(static_cast<char>(kDate));
            putRaw(value.asDate().secondsSince1970, out);
            return;
        case Object::Type::Array:
            out.push_back(static_cast<char>(kArray));
            putVarint(value.asArray().size(), out);
            for (const auto& item : value.asArray())
                encodeObject(item, out);
            return;
        case Object::Type::Dictionary:
            out.push_back(static_cast<char>(kDictionary));
            putDictionary(value.asDictionary(), out);
            return;
    }
}

bool KLVLoggedEventBatch::decodeObject(const std::uint8_t*& at, const std::uint8_t* end,
                                       Object& value) {
    if (at >= end) return false;
    switch (*at++) {
        case kNull:
            value = Object();
            return true;
        case kFalse:
            value = Object(false);
            return true;
        case kTrue:
            value = Object(true);
            return true;
        case kInteger: {
            std::uint64_t zigzag = 0;
            if (!getVarint(at, end, zigzag)) return false;
            value = Object(static_cast<std::int64_t>((zigzag >> 1) ^ (~(zigzag & 1) + 1)));
            return true;
        }
        case kDouble: {
            double number = 0;
            if (!getRaw(at, end, number)) return false;
            value = Object(number);
            return true;
        }
        case kString: {
            std::string text;
            if (!getText(at, end, text)) return false;
            value = Object(std::move(text));
            return true;
        }
        case kData: {
            std::uint64_t size = 0;
            if (!getVarint(at, end, size) || size > static_cast<std::uint64_t>(end - at)) {
                return false;
            }
            value = Object(platform::Data(at, at + size));
            at += size;
            return true;
        }
        case kDate: {
            double seconds = 0;
            if (!getRaw(at, end, seconds)) return false;
            value = Object(platform::Date{seconds});
            return true;
        }
        case kArray: {
            std::uint64_t count = 0;
            if (!getVarint(at, end, count) || count > static_cast<std::uint64_t>(end - at)) {
                return false;
            }
            platform::Array items(static_cast<std::size_t>(count));
            for (auto& item : items) {
                if (!decodeObject(at, end, item)) return false;
            }
            value = Object(std::move(items));
            return true;
        }
        case kDictionary: {
            platform::Dictionary dictionary;
            if (!getDictionary(at, end, dictionary)) return false;
            value = Object(std::move(dictionary));
            return true;
        }
        default:
            return false;
    }
}

void KLVLoggedEventBatch::append(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const platform::Dictionary& parameters,
                                 double timestamp, bool enabled, bool ignoreEnabled,
                                 bool ignoreInterceptor, KLVLogEventInterceptor interceptor,
                                 const platform::Dictionary& addedScreenParameters) {
    std::string& event = scratch_;
    event.clear();
    std::uint8_t flags = 0;
    if (isPublicEvent) flags |= kPublic;
    if (enabled) flags |= kEnabled;
    if (ignoreEnabled) flags |= kIgnoreEnabled;
    if (ignoreInterceptor) flags |= kIgnoreInterceptor;
    if (interceptor) flags |= kHasInterceptor;
    event.push_back(static_cast<char>(flags));
    putRaw(timestamp, event);
    putText(origin, event);
    putText(name, event);
    putDictionary(parameters, event);
    putDictionary(addedScreenParameters, event);
    if (interceptor) interceptors_.push_back(std::move(interceptor));

    if (chunks_.empty() || chunks_.back().size() + event.size() > kChunkSize) {
        chunks_.emplace_back();
        chunks_.back().reserve(std::max(kChunkSize, event.size()));
    }
    chunks_.back().append(event);
    ++count_;
}

bool KLVLoggedEventBatch::next(KLVLoggedEvent& event) {
    while (chunk_ < chunks_.size() && offset_ >= chunks_[chunk_].size()) {
        // Read to its end: released now, not when the whole batch is done.
        std::string().swap(chunks_[chunk_]);
        ++chunk_;
        offset_ = 0;
    }
    if (read_ >= count_ || chunk_ >= chunks_.size()) return false;
    const std::string& bytes = chunks_[chunk_];
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::uint8_t* at = begin + offset_;
    const std::uint8_t* end = begin + bytes.size();
    std::uint8_t flags = 0;
    // The bytes were written by append() above: a malformed event cannot occur, and one that
    // did would end the batch rather than be read as something else.
    if (!getRaw(at, end, flags) || !getRaw(at, end, event.timestamp) ||
        !getText(at, end, event.origin) || !getText(at, end, event.name) ||
        !getDictionary(at, end, event.parameters) ||
        !getDictionary(at, end, event.addedScreenParameters)) {
        read_ = count_;
        return false;
    }
    offset_ = static_cast<std::size_t>(at - begin);
    ++read_;
    event.isPublicEvent = flags & kPublic;
    event.enabled = flags & kEnabled;
    event.ignoreEnabled = flags & kIgnoreEnabled;
    event.ignoreInterceptor = flags & kIgnoreInterceptor;
    event.interceptor = nullptr;
    if ((flags & kHasInterceptor) && interceptor_ < interceptors_.size()) {
        event.interceptor = std::move(interceptors_[interceptor_++]);
    }
    return true;
}

}  // namespace engine
