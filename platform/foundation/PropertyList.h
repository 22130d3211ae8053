#pragma once

// Property lists, the phone's file format for preferences, Info.plist and small stores, read and
// written through libplist. Reading detects XML or binary; writing produces either.
//
// Kinds: bool, integer (64-bit, negative values included), double, string, data, date,
// array and dictionary. A null object has no property-list form and is refused.
// Dates: property lists count seconds from 2001; Object's Date counts from 1970 and is converted.
// They keep microseconds in the binary form and whole seconds in XML, and must lie between
// 1933 and 2069 (the range libplist can hold). An unsigned integer beyond the 64-bit signed
// range, which other writers may produce, reads as a double.
// Failures are errors in the Cocoa domain: kPropertyListReadCorruptError for what cannot be
// read, kPropertyListWriteInvalidError for what cannot be written, file errors for files.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace platform {

enum class PropertyListFormat { XML, Binary };

// Nesting deeper than this is refused on reading and writing, so that neither this code nor
// libplist can run out of stack on a hostile file.
inline constexpr std::size_t kMaxPropertyListDepth = 512;
// Property-list files and buffers larger than this are refused, on reading and writing.
inline constexpr std::size_t kMaxPropertyListBytes = 16u << 20;
// What reading may build in memory, estimated before anything is built: every object (a shared
// one of a binary list each time it is referred to, dictionary keys included) and the text and
// data it holds. A list that would build more is refused, on reading and writing, so a file of a
// few hundred bytes cannot expand to gigabytes.
inline constexpr std::size_t kMaxPropertyListBuildBytes = 4 * kMaxPropertyListBytes;

// Parses a property list; `format` (optional) receives the format found.
std::optional<Object> readPropertyList(std::string_view bytes, Error* error = nullptr,
                                       PropertyListFormat* format = nullptr);
std::optional<Object> readPropertyList(const Data& bytes, Error* error = nullptr,
                                       PropertyListFormat* format = nullptr);
std::optional<Object> readPropertyListFile(const std::filesystem::path& path,
                                           Error* error = nullptr,
                                           PropertyListFormat* format = nullptr);

// Whether `object` can be written as a property list; the error says what cannot.
[[nodiscard]] bool isValidPropertyList(const Object& object, Error* error = nullptr);

std::optional<Data> writePropertyList(const Object& object, PropertyListFormat format,
                                      Error* error = nullptr);
// Writes atomically (see writeFileAtomically); the directory must exist.
bool writePropertyListFile(const std::filesystem::path& path, const Object& object,
                           PropertyListFormat format, Error* error = nullptr);

}  // namespace platform
