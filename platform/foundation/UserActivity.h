#pragma once

// What the app is handed when the system continues an activity in it (a universal link opened
// from the browser): the activity's type and, for browsing, the web page's URL.

#include <optional>
#include <string>

namespace platform {

inline constexpr char NSUserActivityTypeBrowsingWeb[] = "NSUserActivityTypeBrowsingWeb";

struct NSUserActivity {
    std::string activityType;
    std::optional<std::string> webpageURL;
};

}  // namespace platform
