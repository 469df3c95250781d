// The one error type of the Jet 4 engine: a 32-bit number, a description and a
// source; for damage, where in the file it was found, in the description for
// people and in fields for the code. Every number the engine
// can report lives in the table in Error.cpp; numbers are never renumbered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace jet {

inline constexpr const char* kEngineSource = "Jet4 Engine";

// Numbers are 32-bit signed, as the platform's error record holds them. Where
// the platform engine's number is known it is reused; the rest lie in the
// block 0x80043000..0x800430FF, which is ours.
enum class ErrorCode : int32_t {
    kUnrecognizedFormat = -2147467259,  // 0x80004005, as the platform engine reports it
    kInvalidPassword = -2147217843,     // 0x80040E4D DB_SEC_E_AUTH_FAILED
    kFileNotFound = -2147209215,        // 0x80043001
    kFileAccess = -2147209214,          // 0x80043002
    kIo = -2147209213,                  // 0x80043003
    kDamaged = -2147209212,             // 0x80043004
    kNoSuchTable = -2147209211,         // 0x80043005
    kConnectionString = -2147209210,    // 0x80043006
    kUnsupported = -2147209209,         // 0x80043007
    kDestinationExists = -2147209208,   // 0x80043008
    kPasswordTooLong = -2147209207,     // 0x80043009
    kTooLarge = -2147209206,            // 0x8004300A
    kVerifyFailed = -2147209205,        // 0x8004300B
    kInUse = -2147209204,               // 0x8004300C
    kNoSpace = -2147209203,             // 0x8004300D
    kDuplicateKey = -2147209202,        // 0x8004300E: a row repeats a unique key (damage log)
    kUnaccounted = -2147209201,         // 0x8004300F: a repair could not account for every row
    kStopped = -2147209200,             // 0x80043010: a search for a lost key was stopped
};

struct Error {
    int32_t number = 0;
    std::string description;
    std::string source = kEngineSource;
    // Where damage was found, as far as it is known: the page and the row on
    // it, and the table, by its definition page (its Id) and its name. What
    // acts on damage reads these, never the description.
    std::optional<uint32_t> page;
    std::optional<uint32_t> row;
    std::optional<uint32_t> tablePage;
    std::string table;

    ErrorCode code() const { return static_cast<ErrorCode>(number); }
};

Error makeError(ErrorCode code, std::string description);

// A value or an error.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    const Error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, Error> v_;
};

struct Unit {};
using Status = Result<Unit>;

}  // namespace jet
