#include "os/Paths.h"

#include "util/Failure.h"

namespace jet {

bool pathExists(Env& env, const std::string& path) { return env.infoOf(path, false).ok(); }

bool isPathSeparator(char c) {
    for (const char* s = kPathSeparators; *s; ++s) {
        if (*s == c) return true;
    }
    return false;
}

std::string lastName(const std::string& path) {
    const std::size_t slash = path.find_last_of(kPathSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of(kPathSeparators);
#ifdef _WIN32
    const bool drive = path.size() >= 2 && path[1] == ':';
    if (slash == std::string::npos) return drive ? path.substr(0, 2) : ".";
    // The root keeps its separator ("C:\", "\").
    if (slash == 0 || (drive && slash == 2)) return path.substr(0, slash + 1);
#else
    if (slash == std::string::npos) return ".";
    if (slash == 0) return path.substr(0, 1);
#endif
    return path.substr(0, slash);
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || isPathSeparator(folder.back())) return folder + name;
    return folder + kPathSeparator + name;
}

void requireRoom(Env& env, const std::string& destination, uint64_t bytes, FileHandle fd) {
    const auto room =
        fd != kNoFile ? env.freeSpaceOfFile(fd) : env.freeSpace(folderOf(destination));
    if (!room.ok()) return;
    const uint64_t have = room.value;
    if (have < bytes) {
        fail(ErrorCode::kNoSpace, "There is not enough room on the disk for the compacted copy '" +
                                      destination + "': it needs about " + std::to_string(bytes) +
                                      " bytes, " + std::to_string(have) + " are free.");
    }
}

}  // namespace jet
