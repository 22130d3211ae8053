#pragma once

// Where the app keeps its data. One data root holds the phone's Application Support and Library
// folders: $TESSALINE_HOME when set, else $XDG_DATA_HOME/tessaline, else
// ~/.local/share/tessaline. Tests set a fresh temporary root each.

#include <filesystem>

namespace platform {

std::filesystem::path dataRoot();
// Overrides the data root for this process (tests); an empty path returns to the environment.
void setDataRoot(std::filesystem::path root);

// <root>/Library/Application Support, created on demand.
std::filesystem::path applicationSupportDirectory();
// <root>/Library, created on demand.
std::filesystem::path libraryDirectory();
// <root>/Library/Preferences, created on demand.
std::filesystem::path preferencesDirectory();
// <root>/Library/Caches, created on demand.
std::filesystem::path cachesDirectory();
// <root>/Documents, created on demand.
std::filesystem::path documentsDirectory();

}  // namespace platform
