#pragma once

// The link rules of the tutorial videos: a watch-page link or a short-video link of the video
// service gives an 11-character video identifier and the player variables.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace app {

inline constexpr std::string_view kVideoHost = "www.vidmora.com";
inline constexpr std::string_view kWatchLinkPrefix = "https://www.vidmora.com/watch?v=";
// The stored short-video prefix has no "//" after the scheme; links in the usual form (with
// "//") are accepted too.
inline constexpr std::string_view kShortLinkPrefix = "https:www.vidmora.com/shorts/";
inline constexpr std::string_view kShortLinkPrefixWithSlashes = "https://www.vidmora.com/shorts/";
inline constexpr std::size_t kVideoIdLength = 11;

struct VideoLink {
    std::string videoId;
    // "iv_load_policy" = 1; "start" = the start second as text when the link has a usable one.
    platform::Dictionary playerVars;
    bool operator==(const VideoLink&) const = default;
};

// For failure messages: VideoLink{videoId: "...", playerVars: {...}}.
void PrintTo(const VideoLink& link, std::ostream* os);

// Nothing for a link that no player can show.
std::optional<VideoLink> parseVideoLink(std::string_view link);

}  // namespace app
