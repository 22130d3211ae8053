#pragma once

// What the system says about the user's language and time zone.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The user's preferred languages, most preferred first, as language tags ("de-AT", "en"): from
// $LANGUAGE (a colon-separated list), else the first of $LC_ALL, $LC_MESSAGES and $LANG that is
// set, read through ProcessInfo. Encodings and modifiers are dropped ("en_US.UTF-8@euro" gives
// "en-US"); the "C" and "POSIX" locales name no language. A phone's list is never empty: when
// the environment names no language the answer is its default language, "en".
std::vector<std::string> preferredLanguages();

// The language tag of one locale name, or "" for none (see preferredLanguages()).
std::string languageTagFromLocaleName(const std::string& localeName);

// The local time zone's offset from GMT in seconds at the given time (east positive).
std::int64_t secondsFromGMT(double secondsSince1970);

}  // namespace platform
