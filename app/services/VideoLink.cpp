#include "app/services/VideoLink.h"

#include <charconv>
#include <cstdint>
#include <ostream>
#include <vector>

#include "app/core/Strings.h"
#include "platform/foundation/Text.h"

namespace app {

namespace {

constexpr char kLoadPolicyVar[] = "iv_load_policy";
constexpr char kStartVar[] = "start";
constexpr std::string_view kTimeMarker = "t=";

bool hasVideoIdLength(std::string_view id) {
    return platform::codePointCount(id) == kVideoIdLength;
}

// A decimal integer as a whole: an optional sign, then digits, within int64.
bool isDecimalInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

// The start second a piece like "t=90s" carries.
std::optional<std::string> startTime(std::string piece) {
    if (piece.find(kTimeMarker) == std::string::npos || piece.empty() || piece.back() != 's')
        return std::nullopt;
    for (auto at = piece.find(kTimeMarker); at != std::string::npos; at = piece.find(kTimeMarker))
        piece.erase(at, kTimeMarker.size());
    if (piece.empty()) return std::nullopt;
    piece.pop_back();
    if (piece.empty() || !isDecimalInteger(piece)) return std::nullopt;
    return piece;
}

std::optional<VideoLink> watchLink(std::string_view rest) {
    const auto pieces = splitDroppingEmpty(rest, "&");
    const std::string id = pieces.empty() ? "" : pieces.front();
    if (!hasVideoIdLength(id)) return std::nullopt;
    VideoLink link{id, {{kLoadPolicyVar, 1}}};
    if (const auto start = startTime(pieces.back())) link.playerVars[kStartVar] = *start;
    return link;
}

std::optional<VideoLink> shortLink(std::string_view rest) {
    if (!hasVideoIdLength(rest)) return std::nullopt;
    return VideoLink{std::string(rest), {{kLoadPolicyVar, 1}}};
}

}  // namespace

std::optional<VideoLink> parseVideoLink(std::string_view link) {
    if (link.starts_with(kWatchLinkPrefix)) return watchLink(link.substr(kWatchLinkPrefix.size()));
    if (link.starts_with(kShortLinkPrefix)) return shortLink(link.substr(kShortLinkPrefix.size()));
    if (link.starts_with(kShortLinkPrefixWithSlashes))
        return shortLink(link.substr(kShortLinkPrefixWithSlashes.size()));
    return std::nullopt;
}

void PrintTo(const VideoLink& link, std::ostream* os) {
    *os << "VideoLink{videoId: " << platform::Object(link.videoId).description()
        << ", playerVars: " << platform::Object(link.playerVars).description() << '}';
}

}  // namespace app
