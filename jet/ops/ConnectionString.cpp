#include "ops/ConnectionString.h"

#include <algorithm>
#include <cctype>

namespace jet {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

Error refuse(const std::string& why) {
    return makeError(ErrorCode::kConnectionString, "Invalid connection string: " + why + ".");
}

}  // namespace

Result<ConnectionOptions> parseConnectionString(const std::string& text) {
    ConnectionOptions opts;
    bool provider = false;
    bool dataSource = false;
    // No message quotes the string's text once a password was given in it:
    // whatever follows may be part of a password that holds a ';'.
    bool afterPassword = false;
    std::string lastKey;
    auto where = [&] { return lastKey.empty() ? std::string() : " after '" + lastKey + "'"; };
    auto quoted = [&](const std::string& piece) {
        return afterPassword ? std::string("text") : "'" + piece + "'";
    };
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t eq = text.find('=', i);
        std::size_t semi = text.find(';', i);
        if (semi != std::string::npos && (eq == std::string::npos || semi < eq)) {
            std::string piece = text.substr(i, semi - i);
            if (!trim(piece).empty()) {
                return refuse(quoted(piece) + where() +
                              " is not a key=value pair (a path or password containing ';' "
                              "cannot be given unquoted)");
            }
            i = semi + 1;
            continue;
        }
        if (eq == std::string::npos) {
            std::string piece = text.substr(i);
            if (trim(piece).empty()) break;
            return refuse(quoted(piece) + where() + " is not a key=value pair");
        }
        std::string key = trim(text.substr(i, eq - i));
        if (key.empty()) return refuse("a value without a key");
        std::size_t v = eq + 1;
        std::string value;
        std::size_t firstNonBlank = text.find_first_not_of(" \t", v);
        if (firstNonBlank != std::string::npos &&
            (text[firstNonBlank] == '"' || text[firstNonBlank] == '\'')) {
            const char q = text[firstNonBlank];
            std::size_t k = firstNonBlank + 1;
            bool closed = false;
            while (k < text.size()) {
                if (text[k] == q) {
                    if (k + 1 < text.size() && text[k + 1] == q) {
                        value.push_back(q);
                        k += 2;
                        continue;
                    }
                    closed = true;
                    ++k;
                    break;
                }
                value.push_back(text[k++]);
            }
            if (!closed) return refuse("the value of '" + key + "' has no closing quote");
            std::size_t after = text.find_first_not_of(" \t", k);
            if (after != std::string::npos && text[after] != ';') {
                return refuse("text after the quoted value of '" + key + "'");
            }
            i = after == std::string::npos ? text.size() : after + 1;
        } else {
            std::size_t end = text.find(';', v);
            value = text.substr(v, end == std::string::npos ? std::string::npos : end - v);
            i = end == std::string::npos ? text.size() : end + 1;
        }
        const std::string k = lower(key);
        if (k == "provider") {
            if (lower(trim(value)) != lower(kJetProvider)) {
                return makeError(ErrorCode::kUnsupported, "The provider " + quoted(value) +
                                                              " is not supported; only " +
                                                              kJetProvider + " is.");
            }
            provider = true;
        } else if (k == "data source") {
            opts.dataSource = value;
            dataSource = true;
        } else if (k == "jet oledb:database password") {
            opts.password = value;
            afterPassword = true;
        } else if (k == "jet oledb:engine type") {
            const std::string t = trim(value);
            if (t != "5") {
                return makeError(ErrorCode::kUnsupported,
                                 (afterPassword ? std::string("This Jet OLEDB:Engine Type")
                                                : "Jet OLEDB:Engine Type " + value) +
                                     " is not supported; only 5 (Jet 4) is.");
            }
            opts.engineType = 5;
        } else {
            return refuse(afterPassword ? "an unknown key" + where() +
                                              " (a password containing ';' must be quoted)"
                                        : "unknown key '" + key + "'");
        }
        lastKey = key;
    }
    if (!provider) return refuse("no Provider");
    if (!dataSource || opts.dataSource.empty()) return refuse("no Data Source");
    return opts;
}

}  // namespace jet
