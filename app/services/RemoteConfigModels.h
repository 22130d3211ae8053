#pragma once

// The decoded forms of the five remote-configuration documents. JSON keys are the field names;
// a required field must be present with the right JSON type or the whole document fails; an
// optional field may be absent or null. A Boolean is only true or false; an integer is an
// integral number within int64 (5 or 5.0, not 5.5 or "5"). Unknown keys are ignored.

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/Error.h"

namespace app {

struct AppMetaData {
    std::vector<std::string> appIdentifiers;
    std::map<std::string, std::string> appName;
    std::string appURL;
    std::string appURLPro;
    std::string ratingURL;
    std::string ratingURLPro;
    std::string storeURL;
    std::string storeURLPro;
    std::optional<bool> isMultiApp;
    bool shouldShow = false;
    std::int64_t calculationsUntilInterstitial = 0;
    bool operator==(const AppMetaData&) const = default;
};

// For failure messages: every field, by name.
void PrintTo(const AppMetaData& data, std::ostream* os);

struct AllAppMetaData {
    std::vector<AppMetaData> apps;
    bool operator==(const AllAppMetaData&) const = default;
};

struct QuroAdData {
    std::string imageName;
    std::string linkingString;
    std::string discountNumber;
    bool operator==(const QuroAdData&) const = default;
};

struct OfferData {
    std::map<std::string, std::string> buttonTexts;
    std::string offerId;
    bool operator==(const OfferData&) const = default;
};

struct ZirReferenceData {
    std::optional<bool> isConsentOrPayActivated;
    std::string purposeConsents;
    std::string purposeLegitimateInterests;
    std::string vendorConsents;
    std::string vendorLegitimateInterests;
    bool operator==(const ZirReferenceData&) const = default;
};

using QuroAdsDocument = std::map<std::string, std::vector<QuroAdData>>;
using OffersDocument = std::map<std::string, std::vector<OfferData>>;
using VideoTutorialsDocument =
    std::map<std::string, std::map<std::string, std::vector<std::string>>>;

// Decoders from parsed JSON; they throw DecodingFailure (JsonDecoding.h).
void from_json(const nlohmann::json& j, AppMetaData& v);
void from_json(const nlohmann::json& j, AllAppMetaData& v);
void from_json(const nlohmann::json& j, QuroAdData& v);
void from_json(const nlohmann::json& j, OfferData& v);
void from_json(const nlohmann::json& j, ZirReferenceData& v);
// Encoders: every field under its key; an absent optional is left out.
void to_json(nlohmann::json& j, const AppMetaData& v);
void to_json(nlohmann::json& j, const AllAppMetaData& v);
void to_json(nlohmann::json& j, const QuroAdData& v);
void to_json(nlohmann::json& j, const OfferData& v);
void to_json(nlohmann::json& j, const ZirReferenceData& v);

// Decodes JSON text into T (a record or one of the document types); nothing and the error when
// the text is not JSON or does not have T's shape.
template <typename T>
std::optional<T> decodeDocument(std::string_view text, platform::Error* error = nullptr);

// Opens an advertisement's link on the main queue; a text that is not a URL does nothing.
void openAdLink(const std::string& link);

}  // namespace app
