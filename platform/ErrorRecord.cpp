#include "platform/ErrorRecord.h"

#include "jet/Error.h"

namespace platform {

namespace {

struct RuntimeText {
    int32_t number;
    const char* text;
};

RuntimeText runtimeTextOf(jet::OsErrc code) {
    switch (code) {
        case jet::OsErrc::kNotFound:
            return {kFileNotFound, "File not found"};
        case jet::OsErrc::kAccess:
            return {kPermissionDenied, "Permission denied"};
        case jet::OsErrc::kHeld:  // as the engine says of a database another program holds
            return {static_cast<int32_t>(jet::ErrorCode::kInUse), "In use"};
        case jet::OsErrc::kNameTooLong:
            return {kBadFileName, "Bad file name or number"};
        case jet::OsErrc::kExists:
            return {kFileAlreadyExists, "File already exists"};
        case jet::OsErrc::kNoSpace:
            return {kDiskFull, "Disk full"};
        case jet::OsErrc::kIo:
            return {kDeviceIoError, "Device I/O error"};
        case jet::OsErrc::kNone:
        case jet::OsErrc::kInterrupted:
        case jet::OsErrc::kNotSupported:
        case jet::OsErrc::kOther:
            break;
    }
    return {kPathFileAccessError, "Path/File access error"};
}

}  // namespace

void raise(int32_t number, const std::string& description, const std::string& source) {
    throw RaisedError(ErrorRecord{number, description, source});
}

int32_t runtimeNumberOf(const jet::OsError& err) { return runtimeTextOf(err.code).number; }

void raiseOsError(const jet::OsError& err, const std::string& path) {
    if (err.code == jet::OsErrc::kHeld) {
        raise(runtimeNumberOf(err),
              "The file '" + path + "' is in use by another program (" + jet::describe(err) +
                  "); close it and try again.",
              jet::kEngineSource);
    }
    const RuntimeText said = runtimeTextOf(err.code);
    raise(said.number, std::string(said.text) + " ('" + path + "': " + jet::describe(err) + ")");
}

void raiseNumbered(const jet::OsError& err, const std::string& account) {
    const RuntimeText said = runtimeTextOf(err.code);
    raise(said.number, std::string(said.text) + ": " + account,
          err.code == jet::OsErrc::kHeld ? jet::kEngineSource : kRuntimeSource);
}

}  // namespace platform
