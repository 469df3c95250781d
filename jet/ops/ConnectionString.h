// OLE DB connection strings as the compaction call receives them:
// key=value pairs separated by ";", keys case-insensitive, values optionally
// quoted with " or ' (a doubled quote inside stands for itself).
#pragma once

#include <optional>
#include <string>

#include "util/Failure.h"

namespace jet {

inline constexpr const char* kJetProvider = "Microsoft.Jet.OLEDB.4.0";

struct ConnectionOptions {
    std::string dataSource;
    std::optional<std::string> password;
    std::optional<int> engineType;
};

// Accepts only the provider and the keys the engine knows; anything else is
// refused with an error that names it.
Result<ConnectionOptions> parseConnectionString(const std::string& text);

}  // namespace jet
