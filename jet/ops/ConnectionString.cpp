#include "ops/ConnectionString.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

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

// What the string has said so far.
struct Parsed {
    ConnectionOptions opts;
    bool provider = false;
    bool dataSource = false;
    // No message quotes the string's text once a password was given in it:
    // whatever follows may be part of a password that holds a ';'.
    bool afterPassword = false;
    std::string lastKey;

    std::string where() const {
        return lastKey.empty() ? std::string() : " after '" + lastKey + "'";
    }
    std::string quoted(const std::string& piece) const {
        return afterPassword ? std::string("text") : "'" + piece + "'";
    }
};

// A key=value pair, and where the text after it starts.
struct Pair {
    std::string key;
    std::string value;
    std::size_t next = 0;
};

// A value in quotes from the quote at 'quote': a doubled quote stands for
// itself, and nothing but blanks may follow the closing one before the ';'.
Result<Pair> readQuoted(const std::string& text, std::string key, std::size_t quote) {
    const char q = text[quote];
    Pair pair{std::move(key), {}, 0};
    std::size_t k = quote + 1;
    bool closed = false;
    while (k < text.size()) {
        if (text[k] == q) {
            if (k + 1 < text.size() && text[k + 1] == q) {
                pair.value.push_back(q);
                k += 2;
                continue;
            }
            closed = true;
            ++k;
            break;
        }
        pair.value.push_back(text[k++]);
    }
    if (!closed) return refuse("the value of '" + pair.key + "' has no closing quote");
    std::size_t after = text.find_first_not_of(" \t", k);
    if (after != std::string::npos && text[after] != ';') {
        return refuse("text after the quoted value of '" + pair.key + "'");
    }
    pair.next = after == std::string::npos ? text.size() : after + 1;
    return pair;
}

// The value after the '=' at eq: quoted, or everything up to the next ';'.
Result<Pair> readValue(const std::string& text, std::string key, std::size_t eq) {
    const std::size_t v = eq + 1;
    std::size_t firstNonBlank = text.find_first_not_of(" \t", v);
    if (firstNonBlank != std::string::npos &&
        (text[firstNonBlank] == '"' || text[firstNonBlank] == '\'')) {
        return readQuoted(text, std::move(key), firstNonBlank);
    }
    std::size_t end = text.find(';', v);
    Pair pair{std::move(key), {}, 0};
    pair.value = text.substr(v, end == std::string::npos ? std::string::npos : end - v);
    pair.next = end == std::string::npos ? text.size() : end + 1;
    return pair;
}

// The next key=value pair from i, past empty pieces; none at the end.
Result<std::optional<Pair>> nextPair(const std::string& text, std::size_t i, const Parsed& p) {
    while (i < text.size()) {
        std::size_t eq = text.find('=', i);
        std::size_t semi = text.find(';', i);
        if (semi != std::string::npos && (eq == std::string::npos || semi < eq)) {
            std::string piece = text.substr(i, semi - i);
            if (!trim(piece).empty()) {
                return refuse(p.quoted(piece) + p.where() +
                              " is not a key=value pair (a path or password containing ';' "
                              "cannot be given unquoted)");
            }
            i = semi + 1;
            continue;
        }
        if (eq == std::string::npos) {
            std::string piece = text.substr(i);
            if (trim(piece).empty()) break;
            return refuse(p.quoted(piece) + p.where() + " is not a key=value pair");
        }
        std::string key = trim(text.substr(i, eq - i));
        if (key.empty()) return refuse("a value without a key");
        auto pair = readValue(text, std::move(key), eq);
        if (!pair) return pair.error();
        return std::optional<Pair>(std::move(*pair));
    }
    return std::optional<Pair>();
}

// Takes one pair: only the keys the engine knows, with values it supports.
Status take(const Pair& pair, Parsed& p) {
    const std::string k = lower(pair.key);
    const std::string& value = pair.value;
    if (k == "provider") {
        if (lower(trim(value)) != lower(kJetProvider)) {
            return makeError(ErrorCode::kUnsupported, "The provider " + p.quoted(value) +
                                                          " is not supported; only " +
                                                          kJetProvider + " is.");
        }
        p.provider = true;
    } else if (k == "data source") {
        p.opts.dataSource = value;
        p.dataSource = true;
    } else if (k == "jet oledb:database password") {
        p.opts.password = value;
        p.afterPassword = true;
    } else if (k == "jet oledb:engine type") {
        if (trim(value) != "5") {
            return makeError(ErrorCode::kUnsupported,
                             (p.afterPassword ? std::string("This Jet OLEDB:Engine Type")
                                              : "Jet OLEDB:Engine Type " + value) +
                                 " is not supported; only 5 (Jet 4) is.");
        }
        p.opts.engineType = 5;
    } else {
        return refuse(p.afterPassword ? "an unknown key" + p.where() +
                                            " (a password containing ';' must be quoted)"
                                      : "unknown key '" + pair.key + "'");
    }
    p.lastKey = pair.key;
    return Unit{};
}

}  // namespace

Result<ConnectionOptions> parseConnectionString(const std::string& text) {
    Parsed p;
    std::size_t i = 0;
    while (i < text.size()) {
        auto pair = nextPair(text, i, p);
        if (!pair) return pair.error();
        if (!*pair) break;
        if (auto taken = take(**pair, p); !taken) return taken.error();
        i = (*pair)->next;
    }
    if (!p.provider) return refuse("no Provider");
    if (!p.dataSource || p.opts.dataSource.empty()) return refuse("no Data Source");
    return p.opts;
}

}  // namespace jet
