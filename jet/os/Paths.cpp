#include "os/Paths.h"

#include <filesystem>

#include "util/Failure.h"

namespace jet {

bool pathExists(Env& env, const std::string& path) {
    struct stat st {};
    return env.lstat(path.c_str(), &st) == 0;
}

std::string folderOf(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

void requireRoom(Env& env, const std::string& destination, uint64_t bytes, int fd) {
    struct statvfs vfs {};
    if ((fd >= 0 ? env.fstatvfs(fd, &vfs) : env.statvfs(folderOf(destination).c_str(), &vfs)) != 0)
        return;
    const uint64_t have = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (have < bytes) {
        fail(ErrorCode::kNoSpace, "There is not enough room on the disk for the compacted copy '" +
                                      destination + "': it needs about " + std::to_string(bytes) +
                                      " bytes, " + std::to_string(have) + " are free.");
    }
}

}  // namespace jet
