// The table of error numbers and the helpers that build errors.
#include "util/Failure.h"

namespace jet {

namespace {
constexpr ErrorInfo kTable[] = {
    {ErrorCode::kUnrecognizedFormat, "UnrecognizedFormat",
     "the file is not a Jet 4 database (Jet 3, ACE or not a database at all)"},
    {ErrorCode::kInvalidPassword, "InvalidPassword", "the database password is wrong or missing"},
    {ErrorCode::kFileNotFound, "FileNotFound", "the database file does not exist"},
    {ErrorCode::kFileAccess, "FileAccess", "the file cannot be opened or created"},
    {ErrorCode::kIo, "Io", "reading, writing or flushing a file failed"},
    {ErrorCode::kDamaged, "Damaged", "the file is damaged; the text names the page and row"},
    {ErrorCode::kNoSuchTable, "NoSuchTable", "a table named by the caller does not exist"},
    {ErrorCode::kConnectionString, "ConnectionString", "a connection string is malformed"},
    {ErrorCode::kUnsupported, "Unsupported", "a requested option is not supported"},
    {ErrorCode::kDestinationExists, "DestinationExists", "the destination file already exists"},
    {ErrorCode::kPasswordTooLong, "PasswordTooLong", "a password longer than 20 characters"},
    {ErrorCode::kTooLarge, "TooLarge", "the result would exceed the format's 2 GB limit"},
    {ErrorCode::kVerifyFailed, "VerifyFailed", "the written copy failed its own check"},
    {ErrorCode::kInUse, "InUse", "another program has the database open"},
    {ErrorCode::kNoSpace, "NoSpace", "not enough room on the disk for the copy"},
};
}  // namespace

const ErrorInfo* errorTable(std::size_t& count) {
    count = sizeof(kTable) / sizeof(kTable[0]);
    return kTable;
}

Error makeError(ErrorCode code, std::string description) {
    Error e;
    e.number = static_cast<int32_t>(code);
    e.description = std::move(description);
    return e;
}

Error damage(const std::string& what, uint32_t page, int row) {
    std::string text = "The database is damaged: " + what + " (page " + std::to_string(page);
    if (row >= 0) text += ", row " + std::to_string(row);
    text += ").";
    return makeError(ErrorCode::kDamaged, std::move(text));
}

void fail(ErrorCode code, std::string description) {
    throw JetException(makeError(code, std::move(description)));
}

void failDamage(const std::string& what, uint32_t page, int row) {
    throw JetException(damage(what, page, row));
}

}  // namespace jet
