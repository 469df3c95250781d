// Paths and the room on their file system.
#pragma once

#include <cstdint>
#include <string>

#include "jet/Env.h"
#include "jet/Path.h"

namespace jet {

// Whether anything (a file, a folder, a dangling link) has the name.
bool pathExists(Env& env, const std::string& path);

// Refuses (kNoSpace) when the file system that would hold destination has
// fewer than bytes free. When that cannot be told, writing will tell. With
// fd, the destination open, that file's own file system is asked.
void requireRoom(Env& env, const std::string& destination, uint64_t bytes, FileHandle fd = kNoFile);

}  // namespace jet
