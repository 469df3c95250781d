#include "os/Paths.h"

#include <filesystem>

#include "util/Failure.h"

namespace jet {

bool pathExists(Env& env, const std::string& path) { return env.infoOf(path, false).ok(); }

std::string folderOf(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
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
