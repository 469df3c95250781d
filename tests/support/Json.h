// A small JSON reader for flat objects, enough for mdb-json and jet4 dump lines.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace testsupport {

struct JsonValue {
    enum Kind { kNull, kBool, kNumber, kString, kBinary } kind = kNull;
    std::string text;  // number text, string contents or base64
    bool boolean = false;
};

using JsonObject = std::map<std::string, JsonValue>;

// Parses one object a line; nullopt when the line is not such an object.
std::optional<JsonObject> parseJsonObject(const std::string& line);

}  // namespace testsupport
