#include "support/ErrorTable.h"

namespace testsupport {

const std::vector<ErrorInfo>& errorTable() {
    using jet::ErrorCode;
    static const std::vector<ErrorInfo> table = {
        {ErrorCode::kUnrecognizedFormat, "UnrecognizedFormat",
         "not a Jet 4 database (Jet 3, ACE, or not a database)"},
        {ErrorCode::kInvalidPassword, "InvalidPassword", "\"Not a valid password.\""},
        {ErrorCode::kFileNotFound, "FileNotFound", "the database file does not exist"},
        {ErrorCode::kFileAccess, "FileAccess", "the file cannot be opened or created"},
        {ErrorCode::kIo, "Io", "reading, writing or flushing failed"},
        {ErrorCode::kDamaged, "Damaged", "the file is damaged; the text names table, page and row"},
        {ErrorCode::kNoSuchTable, "NoSuchTable", "a table named by the caller does not exist"},
        {ErrorCode::kConnectionString, "ConnectionString", "a connection string is malformed"},
        {ErrorCode::kUnsupported, "Unsupported", "a requested option is not supported"},
        {ErrorCode::kDestinationExists, "DestinationExists", "the destination file already exists"},
        {ErrorCode::kPasswordTooLong, "PasswordTooLong", "a password longer than 20 characters"},
        {ErrorCode::kTooLarge, "TooLarge", "the result would exceed the format's 2 GB limit"},
        {ErrorCode::kVerifyFailed, "VerifyFailed", "the written copy failed its own check"},
        {ErrorCode::kInUse, "InUse", "another program has the database open"},
        {ErrorCode::kNoSpace, "NoSpace", "not enough room on the disk for the copy"},
        {ErrorCode::kDuplicateKey, "DuplicateKey",
         "in MSysCompactError: a row dropped because it repeats another's unique key"},
        {ErrorCode::kUnaccounted, "Unaccounted",
         "a repair whose copy would lose a row without a word: refused, the database kept"},
        {ErrorCode::kStopped, "Stopped",
         "the search for a lost header's encoding key was stopped: nothing written"},
    };
    return table;
}

}  // namespace testsupport
