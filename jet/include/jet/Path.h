// Paths as the system writes them, taken apart: the one place that knows
// what ends a folder's name. On Windows both '\\' and '/' do, and a
// drive's root keeps its separator ("C:\\"); elsewhere '/' alone.
#pragma once

#include <string>

namespace jet {

#ifdef _WIN32
inline constexpr const char* kPathSeparators = "\\/";
#else
inline constexpr const char* kPathSeparators = "/";
#endif
// The separator a path is joined with.
inline constexpr char kPathSeparator = kPathSeparators[0];

bool isPathSeparator(char c);

// The last name of a path ("data.dbf" of "/srv/qw/data.dbf"; "" when the
// path ends in a separator).
std::string lastName(const std::string& path);

// The folder a path names its file in: "." for a bare name; the root keeps
// its separator ("/", "C:\\").
std::string folderOf(const std::string& path);

// name in folder: folder, a separator unless it ends in one, name.
std::string joinPath(const std::string& folder, const std::string& name);

}  // namespace jet
