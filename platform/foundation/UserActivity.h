#pragma once

// What the app is handed when the system continues an activity in it (a universal link opened
// from the browser): the activity's type and, for browsing, the web page's URL.

#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace platform {

inline constexpr char NSUserActivityTypeBrowsingWeb[] = "NSUserActivityTypeBrowsingWeb";

// Launch options of an app opened by a link: the URL's text, or a dictionary holding the user
// activity (in its object form) under UIApplicationLaunchOptionsUserActivityKey.
inline constexpr char UIApplicationLaunchOptionsURLKey[] = "UIApplicationLaunchOptionsURLKey";
inline constexpr char UIApplicationLaunchOptionsUserActivityDictionaryKey[] =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr char UIApplicationLaunchOptionsUserActivityKey[] =
    "UIApplicationLaunchOptionsUserActivityKey";

struct NSUserActivity {
    std::string activityType;
    std::optional<std::string> webpageURL;

    // {"activityType": .., "webpageURL": ..} and back; nothing for another object.
    Object toObject() const {
        Dictionary d{{"activityType", activityType}};
        if (webpageURL) d.emplace("webpageURL", *webpageURL);
        return Object(std::move(d));
    }
    static std::optional<NSUserActivity> fromObject(const Object& object) {
        const auto* d = object.getDictionary();
        if (!d) return std::nullopt;
        NSUserActivity activity;
        if (const auto it = d->find("activityType"); it != d->end() && it->second.getString())
            activity.activityType = *it->second.getString();
        if (const auto it = d->find("webpageURL"); it != d->end() && it->second.getString())
            activity.webpageURL = *it->second.getString();
        return activity;
    }
};

}  // namespace platform
