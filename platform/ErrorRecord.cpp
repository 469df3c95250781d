#include "platform/ErrorRecord.h"

#include <cerrno>
#include <cstring>

namespace platform {

void raise(int32_t number, const std::string& description, const std::string& source) {
    throw RaisedError(ErrorRecord{number, description, source});
}

void raiseOsError(const jet::OsError& err, const std::string& path) {
    const std::string detail = " ('" + path + "': " + jet::describe(err) + ")";
    switch (err.code) {
        case jet::OsErrc::kNotFound:
            raise(kFileNotFound, "File not found" + detail);
        case jet::OsErrc::kAccess:
        case jet::OsErrc::kHeld:
            raise(kPermissionDenied, "Permission denied" + detail);
        case jet::OsErrc::kNameTooLong:
            raise(kBadFileName, "Bad file name or number" + detail);
        case jet::OsErrc::kExists:
            raise(kFileAlreadyExists, "File already exists" + detail);
        case jet::OsErrc::kNoSpace:
            raise(kDiskFull, "Disk full" + detail);
        case jet::OsErrc::kIo:
            raise(kDeviceIoError, "Device I/O error" + detail);
        default:
            raise(kPathFileAccessError, "Path/File access error" + detail);
    }
}

void raiseErrno(int err, const std::string& path) {
    const std::string detail = " ('" + path + "': " + std::strerror(err) + ")";
    switch (err) {
        case ENOENT:
            raise(kFileNotFound, "File not found" + detail);
        case ENOTDIR:
            raise(kPathNotFound, "Path not found" + detail);
        case EACCES:
        case EPERM:
        case EROFS:
        case ETXTBSY:
        case EBUSY:
            raise(kPermissionDenied, "Permission denied" + detail);
        case ENAMETOOLONG:
        case EINVAL:
        case ELOOP:
            raise(kBadFileName, "Bad file name or number" + detail);
        case EEXIST:
            raise(kFileAlreadyExists, "File already exists" + detail);
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            raise(kDiskFull, "Disk full" + detail);
        case EIO:
            raise(kDeviceIoError, "Device I/O error" + detail);
        default:
            raise(kPathFileAccessError, "Path/File access error" + detail);
    }
}

}  // namespace platform
