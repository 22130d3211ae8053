#pragma once

// Who this app is: its display title, its app key and its edition.

#include <string>

namespace app {

inline constexpr char kAppKey[] = "QZ";
// The marker of the pro edition's bundle identifiers.
inline constexpr char kProEditionMarker[] = "-pro-";

// The localised display title ("Tessaline").
std::string appDisplayTitle();
// True when the main bundle's identifier contains "-pro-".
bool isProEdition();
// The main bundle's identifier, or nothing.
std::string mainBundleIdentifier();

}  // namespace app
