// The error record: what a failed platform operation reports. Operations
// raise it as a RaisedError; a procedure that traps errors reads it back.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "jet/Env.h"

namespace platform {

struct ErrorRecord {
    int32_t number = 0;  // 0: no error
    std::string description;
    std::string source;
};

class RaisedError : public std::exception {
  public:
    explicit RaisedError(ErrorRecord r) : record_(std::move(r)) {}
    const ErrorRecord& record() const { return record_; }
    const char* what() const noexcept override { return record_.description.c_str(); }

  private:
    ErrorRecord record_;
};

// The source named by errors of the runtime's own file operations.
inline constexpr const char* kRuntimeSource = "Maintenance";

// Runtime error numbers of the file operations, as the platform runtime numbers them.
enum RuntimeError : int32_t {
    kBadFileName = 52,
    kFileNotFound = 53,
    kDeviceIoError = 57,
    kFileAlreadyExists = 58,
    kDiskFull = 61,
    kPermissionDenied = 70,
    kPathFileAccessError = 75,
    kCancelError = 32755,
};

[[noreturn]] void raise(int32_t number, const std::string& description,
                        const std::string& source = kRuntimeSource);

// The one table from what the engine's Env says of a failure to the runtime's
// number for it. The number follows the Env's code alone (the system's own
// number only gives the text), so that a failure the system reports and the
// same failure a test's Env makes up report the same number.
int32_t runtimeNumberOf(const jet::OsError& err);
// Raises the runtime error that matches what the Env said, with its text
// ("File not found ('path': No such file or directory)").
[[noreturn]] void raiseOsError(const jet::OsError& err, const std::string& path);
// The same number and text, the text followed by the caller's own account
// ("Device I/O error: the database's attribute ...").
[[noreturn]] void raiseNumbered(const jet::OsError& err, const std::string& account);

}  // namespace platform
