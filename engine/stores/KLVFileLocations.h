#pragma once

// Where the engine keeps its files, and the small file operations the stores stand on.
//
//   <Application Support>/Nexory/Measurement/   the measurement and experiments databases and
//                                               the persisted configuration's property list
//   <Library>/Preferences/<suite>.plist         a user-defaults suite's file, and the older place
//                                               of the persisted configuration's property list

#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace engine {

inline constexpr char kKLVMeasurementDirectory[] = "Nexory/Measurement";

// The file `name` in the engine's directory; empty for an empty name or when there is no
// application-support directory.
std::string KLVMeasurementFilePath(std::string_view name);
// The same, with the extension "plist" added unless the name already has it.
std::string KLVMeasurementPlistPath(std::string_view name);
// A suite's preference file: "<name>.plist" (always added) in the preferences directory; empty
// for an empty name or when there is no library directory.
std::string KLVPreferencesFilePath(std::string_view name);

// Marks the file or directory as excluded from device backup.
[[nodiscard]] bool KLVExcludePathFromBackup(std::string_view path,
                                            platform::Error* error = nullptr);
// Removes the file at `path`; an empty path is refused with code 1.
[[nodiscard]] bool KLVDeleteFileAtPath(std::string_view path, platform::Error* error = nullptr);

// Moves the persisted configuration's file `name` from the preferences directory into the
// engine's directory. True when the new place is settled (moved, or the old file was not there
// or lost to an existing new file); false when nothing could be done, leaving both files as they
// were.
bool KLVMigratePreferencesFile(std::string_view name);

}  // namespace engine
