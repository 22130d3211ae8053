#pragma once

// A URL as the engine reads one: its text, and the scheme, host and query split out of it. A
// text that is no URL ("(not set)") stays usable: it keeps its text and has no parts.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class URL {
  public:
    // Splits "scheme://host/path?query#fragment" (a scheme followed by ":" alone, as in
    // "tessaline:path?x=1", also counts). A text without a valid scheme has no scheme, host or
    // query.
    explicit URL(std::string text);

    const std::string& absoluteString() const { return text_; }
    // Lower-cased; nothing when the text is no URL.
    const std::optional<std::string>& scheme() const { return scheme_; }
    // Without user information and port; nothing when there is no authority.
    const std::optional<std::string>& host() const { return host_; }
    // The text after the first "?" up to a "#", not decoded; nothing without "?".
    const std::optional<std::string>& query() const { return query_; }
    bool isValid() const { return scheme_.has_value(); }

  private:
    std::string text_;
    std::optional<std::string> scheme_;
    std::optional<std::string> host_;
    std::optional<std::string> query_;
};

}  // namespace platform
