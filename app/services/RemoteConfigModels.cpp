#include "app/services/RemoteConfigModels.h"

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "app/core/JsonDecoding.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Json.h"
#include "platform/foundation/Object.h"
#include "platform/ui/UIApplication.h"

namespace app {

namespace {

using nlohmann::json;

const json& member(const json& j, const char* key) {
    requireObject(j);
    const auto it = j.find(key);
    if (it == j.end() || it->is_null())
        throw DecodingFailure(DecodingErrorCode::keyNotFound, std::string("No value for ") + key);
    return *it;
}

[[noreturn]] void mismatch(const char* key, const char* expected) {
    throw DecodingFailure(DecodingErrorCode::typeMismatch,
                          std::string("Expected ") + expected + " for " + key);
}

bool boolValue(const json& value, const char* key) {
    if (!value.is_boolean()) mismatch(key, "a Boolean");
    return value.get<bool>();
}

std::optional<bool> optionalBool(const json& j, const char* key) {
    requireObject(j);
    const auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    return boolValue(*it, key);
}

std::int64_t integerValue(const json& value, const char* key) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            mismatch(key, "an integer");
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // 2^63 is the first double beyond the range.
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
    }
    mismatch(key, "an integer");
}

std::string stringValue(const json& value, const char* key) {
    if (!value.is_string()) mismatch(key, "a string");
    return value.get<std::string>();
}

std::map<std::string, std::string> stringMap(const json& value, const char* key) {
    if (!value.is_object()) mismatch(key, "an object");
    std::map<std::string, std::string> result;
    for (const auto& [k, v] : value.items())
        result[k] = stringValue(v, key);
    return result;
}

std::string req(const json& j, const char* key) {
    return stringValue(member(j, key), key);
}

// The documents' own shapes: objects of arrays, objects of objects.
template <typename T>
struct Decode {
    static T from(const json& j) {
        requireObject(j);
        return j.get<T>();
    }
};
template <>
struct Decode<std::string> {
    static std::string from(const json& j) { return stringValue(j, "element"); }
};
template <typename V>
struct Decode<std::vector<V>> {
    static std::vector<V> from(const json& j) {
        if (!j.is_array()) mismatch("document", "an array");
        std::vector<V> result;
        for (const auto& element : j)
            result.push_back(Decode<V>::from(element));
        return result;
    }
};
template <typename V>
struct Decode<std::map<std::string, V>> {
    static std::map<std::string, V> from(const json& j) {
        requireObject(j);
        std::map<std::string, V> result;
        for (const auto& [k, v] : j.items())
            result[k] = Decode<V>::from(v);
        return result;
    }
};

}  // namespace

void from_json(const json& j, AppMetaData& v) {
    const auto& identifiers = member(j, "appIdentifiers");
    if (!identifiers.is_array()) mismatch("appIdentifiers", "an array");
    v.appIdentifiers.clear();
    for (const auto& id : identifiers)
        v.appIdentifiers.push_back(stringValue(id, "appIdentifiers"));
    v.appName = stringMap(member(j, "appName"), "appName");
    v.appURL = req(j, "appURL");
    v.appURLPro = req(j, "appURLPro");
    v.ratingURL = req(j, "ratingURL");
    v.ratingURLPro = req(j, "ratingURLPro");
    v.storeURL = req(j, "storeURL");
    v.storeURLPro = req(j, "storeURLPro");
    v.isMultiApp = optionalBool(j, "isMultiApp");
    v.shouldShow = boolValue(member(j, "shouldShow"), "shouldShow");
    v.calculationsUntilInterstitial =
        integerValue(member(j, "calculationsUntilInterstitial"), "calculationsUntilInterstitial");
}

void from_json(const json& j, AllAppMetaData& v) {
    v.apps = Decode<std::vector<AppMetaData>>::from(member(j, "apps"));
}

void from_json(const json& j, QuroAdData& v) {
    v.imageName = req(j, "imageName");
    v.linkingString = req(j, "linkingString");
    v.discountNumber = req(j, "discountNumber");
}

void from_json(const json& j, OfferData& v) {
    v.buttonTexts = stringMap(member(j, "buttonTexts"), "buttonTexts");
    v.offerId = req(j, "offerId");
}

void from_json(const json& j, ZirReferenceData& v) {
    v.isConsentOrPayActivated = optionalBool(j, "isConsentOrPayActivated");
    v.purposeConsents = req(j, "purposeConsents");
    v.purposeLegitimateInterests = req(j, "purposeLegitimateInterests");
    v.vendorConsents = req(j, "vendorConsents");
    v.vendorLegitimateInterests = req(j, "vendorLegitimateInterests");
}

void to_json(json& j, const AppMetaData& v) {
    j = json{{"appIdentifiers", v.appIdentifiers},
             {"appName", v.appName},
             {"appURL", v.appURL},
             {"appURLPro", v.appURLPro},
             {"ratingURL", v.ratingURL},
             {"ratingURLPro", v.ratingURLPro},
             {"storeURL", v.storeURL},
             {"storeURLPro", v.storeURLPro},
             {"shouldShow", v.shouldShow},
             {"calculationsUntilInterstitial", v.calculationsUntilInterstitial}};
    if (v.isMultiApp) j["isMultiApp"] = *v.isMultiApp;
}

void to_json(json& j, const AllAppMetaData& v) {
    j = json{{"apps", v.apps}};
}

void to_json(json& j, const QuroAdData& v) {
    j = json{{"imageName", v.imageName},
             {"linkingString", v.linkingString},
             {"discountNumber", v.discountNumber}};
}

void to_json(json& j, const OfferData& v) {
    j = json{{"buttonTexts", v.buttonTexts}, {"offerId", v.offerId}};
}

void to_json(json& j, const ZirReferenceData& v) {
    j = json{{"purposeConsents", v.purposeConsents},
             {"purposeLegitimateInterests", v.purposeLegitimateInterests},
             {"vendorConsents", v.vendorConsents},
             {"vendorLegitimateInterests", v.vendorLegitimateInterests}};
    if (v.isConsentOrPayActivated) j["isConsentOrPayActivated"] = *v.isConsentOrPayActivated;
}

// Parses `text` unless its document would take more than the platform's JSON budget in memory,
// counted the way the platform's reading counts it while the parse runs: a value costs about 64
// bytes in its container, a key 64 and its own bytes, a string its bytes. A text of a few
// megabytes of empty arrays would otherwise build over a gigabyte before its shape is checked.
json parseWithinBudget(std::string_view text) {
    constexpr std::size_t kBytesPerValue = 64;
    std::size_t built = 0;
    const json::parser_callback_t count = [&built](int, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::key:
            case json::parse_event_t::value:
                built += kBytesPerValue +
                         (parsed.is_string() ? parsed.get_ref<const std::string&>().size() : 0);
                break;
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start:
                built += kBytesPerValue;
                break;
            default:
                break;
        }
        if (built > platform::kMaxJSONBuildBytes) {
            throw DecodingFailure(DecodingErrorCode::dataCorrupted,
                                  "The JSON text would take more than " +
                                      std::to_string(platform::kMaxJSONBuildBytes) +
                                      " bytes in memory.");
        }
        return true;
    };
    return json::parse(text, count, false);
}

template <typename T>
std::optional<T> decodeDocument(std::string_view text, platform::Error* error) {
    json parsed;
    try {
        parsed = parseWithinBudget(text);
    } catch (const DecodingFailure& failure) {
        return platform::failWith<std::optional<T>>(
            error,
            {kDecodingErrorDomain, static_cast<std::int64_t>(failure.code), failure.what(), {}});
    }
    if (parsed.is_discarded()) {
        return platform::failWith<std::optional<T>>(
            error, {kDecodingErrorDomain,
                    static_cast<std::int64_t>(DecodingErrorCode::dataCorrupted),
                    "The given data was not valid JSON.",
                    {}});
    }
    try {
        return Decode<T>::from(parsed);
    } catch (const DecodingFailure& failure) {
        return platform::failWith<std::optional<T>>(
            error,
            {kDecodingErrorDomain, static_cast<std::int64_t>(failure.code), failure.what(), {}});
    } catch (const json::exception& failure) {
        return platform::failWith<std::optional<T>>(
            error, {kDecodingErrorDomain,
                    static_cast<std::int64_t>(DecodingErrorCode::typeMismatch),
                    failure.what(),
                    {}});
    }
}

template std::optional<AppMetaData> decodeDocument(std::string_view, platform::Error*);
template std::optional<AllAppMetaData> decodeDocument(std::string_view, platform::Error*);
template std::optional<QuroAdData> decodeDocument(std::string_view, platform::Error*);
template std::optional<OfferData> decodeDocument(std::string_view, platform::Error*);
template std::optional<ZirReferenceData> decodeDocument(std::string_view, platform::Error*);
template std::optional<QuroAdsDocument> decodeDocument(std::string_view, platform::Error*);
template std::optional<OffersDocument> decodeDocument(std::string_view, platform::Error*);
template std::optional<VideoTutorialsDocument> decodeDocument(std::string_view, platform::Error*);

void openAdLink(const std::string& link) {
    // A URL needs at least a scheme and something after it.
    const auto colon = link.find(':');
    if (link.empty() || colon == std::string::npos || colon == 0 || colon + 1 == link.size() ||
        link.find_first_of(" \t\n") != std::string::npos)
        return;
    platform::mainQueue().async([link] { platform::UIApplication::shared().open(link); });
}

void PrintTo(const AppMetaData& data, std::ostream* os) {
    const auto text = [](const std::string& value) {
        return platform::Object(value).description();
    };
    platform::Array identifiers(data.appIdentifiers.begin(), data.appIdentifiers.end());
    platform::Dictionary names(data.appName.begin(), data.appName.end());
    *os << "AppMetaData{appIdentifiers: " << platform::Object(std::move(identifiers)).description()
        << ", appName: " << platform::Object(std::move(names)).description()
        << ", appURL: " << text(data.appURL) << ", appURLPro: " << text(data.appURLPro)
        << ", ratingURL: " << text(data.ratingURL) << ", ratingURLPro: " << text(data.ratingURLPro)
        << ", storeURL: " << text(data.storeURL) << ", storeURLPro: " << text(data.storeURLPro)
        << ", isMultiApp: " << (data.isMultiApp ? (*data.isMultiApp ? "true" : "false") : "none")
        << ", shouldShow: " << (data.shouldShow ? "true" : "false")
        << ", calculationsUntilInterstitial: " << data.calculationsUntilInterstitial << '}';
}

}  // namespace app
