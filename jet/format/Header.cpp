#include "format/Header.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "format/Bytes.h"
#include "format/Rc4.h"
#include "format/Text.h"
#include "util/Failure.h"

namespace jet {

namespace {
const std::array<uint8_t, kMaskedLength>& headerKeystream() {
    static const std::array<uint8_t, kMaskedLength> stream = [] {
        std::array<uint8_t, kMaskedLength> s{};
        const uint8_t key[4] = {0xC7, 0xDA, 0x39, 0x6B};
        Rc4 rc4(key, 4);
        rc4.apply(s.data(), s.size());
        return s;
    }();
    return stream;
}
}  // namespace

void maskHeaderRegion(uint8_t* page) {
    const auto& ks = headerKeystream();
    for (std::size_t i = 0; i < kMaskedLength; ++i) page[kMaskedStart + i] ^= ks[i];
}

std::array<uint8_t, 4> passwordMask(const Page& decoded) {
    double date = f64(decoded, kCreationDateOffset);
    // The date is positive in real files; anything else is treated as zero
    // rather than converted with undefined behaviour.
    uint32_t whole = 0;
    if (std::isfinite(date) && date >= 0 && date < 4294967296.0) {
        whole = static_cast<uint32_t>(date);
    }
    std::array<uint8_t, 4> mask{};
    put32(mask.data(), whole);
    return mask;
}

Header parseHeader(const Page& raw, const std::string& path) {
    static const char kJet[] = "Standard Jet DB";
    Header h;
    h.raw = raw;
    h.decoded = raw;
    const std::string refused = "Unrecognized database format '" + path + "'.";
    if (raw[0] != 0x00 || raw[1] != 0x01 || raw[2] != 0 || raw[3] != 0 ||
        std::memcmp(raw.data() + 4, kJet, sizeof kJet) != 0) {
        fail(ErrorCode::kUnrecognizedFormat, refused);
    }
    h.version = u32(raw, 0x14);
    if (h.version != 1) fail(ErrorCode::kUnrecognizedFormat, refused);
    maskHeaderRegion(h.decoded.data());
    h.codePage = u16(h.decoded, 0x3C);
    h.databaseKey = u32(h.decoded, 0x3E);
    h.sortLcid = u16(h.decoded, 0x6E);
    h.sortVersion = h.decoded[0x71];
    h.creationDate = f64(h.decoded, kCreationDateOffset);
    auto mask = passwordMask(h.decoded);
    for (std::size_t i = 0; i < kPasswordBytes; ++i) {
        h.password[i] = h.decoded[kPasswordOffset + i] ^ mask[i % 4];
    }
    return h;
}

bool Header::hasPassword() const {
    for (uint8_t b : password) {
        if (b != 0) return true;
    }
    return false;
}

bool encodePassword(const std::string& utf8, std::array<uint8_t, kPasswordBytes>& out) {
    out.fill(0);
    std::u16string units;
    if (!utf8ToUtf16(utf8, units) || units.size() > kPasswordBytes / 2) return false;
    for (std::size_t i = 0; i < units.size(); ++i) put16(out.data() + 2 * i, units[i]);
    return true;
}

uint32_t sidKey(const Page& decoded) {
    uint8_t region[80];
    std::memcpy(region, decoded.data() + kPasswordOffset, sizeof region);
    auto mask = passwordMask(decoded);
    for (std::size_t i = 0; i < kPasswordBytes; ++i) region[i] ^= mask[i % 4];
    uint32_t key = u32(decoded, kCreationDateOffset);
    for (uint32_t i = 0; i < 40; ++i) key ^= static_cast<uint32_t>(region[2 * i]) << (i % 24);
    return key;
}

void applySidMask(uint32_t key, uint8_t* sid, std::size_t n) {
    uint8_t k[4];
    put32(k, key);
    Rc4 rc4(k, 4);
    rc4.apply(sid, n);
}

Page makeHeaderPage(const HeaderFields& f) {
    Page d{};
    d[1] = 0x01;
    const char magic[] = "Standard Jet DB";
    std::memcpy(d.data() + 4, magic, sizeof magic);
    d[0x14] = 0x01;
    const uint8_t unknown[] = {0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,
                               0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                               0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
    std::memcpy(d.data() + kMaskedStart, unknown, sizeof unknown);
    put16(d.data() + 0x3C, f.codePage);
    put32(d.data() + 0x3E, f.databaseKey);
    put16(d.data() + 0x6E, f.sortLcid);
    d[0x71] = f.sortVersion;
    uint64_t date;
    std::memcpy(&date, &f.creationDate, sizeof date);
    put32(d.data() + kCreationDateOffset, static_cast<uint32_t>(date));
    put32(d.data() + kCreationDateOffset + 4, static_cast<uint32_t>(date >> 32));
    const auto mask = passwordMask(d);
    for (std::size_t i = 0; i < kPasswordBytes; ++i)
        d[kPasswordOffset + i] = f.password[i] ^ mask[i % 4];
    put32(d.data() + 0x98, 1620);
    std::memcpy(d.data() + 0x9C, "4.0", 4);
    d[0xE00] = 0x01;
    d[0xE01] = 0x01;
    for (std::size_t i = 0xE02; i < kPageSize; i += 2) d[i + 1] = 0x01;
    maskHeaderRegion(d.data());
    return d;
}

Page withPassword(const Header& h, const std::array<uint8_t, kPasswordBytes>& password) {
    Page decoded = h.decoded;
    auto mask = passwordMask(decoded);
    for (std::size_t i = 0; i < kPasswordBytes; ++i) {
        decoded[kPasswordOffset + i] = password[i] ^ mask[i % 4];
    }
    maskHeaderRegion(decoded.data());
    return decoded;
}

namespace {

// The masked field as stored (header region decoded).
std::array<uint8_t, kPasswordBytes> storedField(const Page& decoded) {
    std::array<uint8_t, kPasswordBytes> f{};
    std::copy_n(decoded.begin() + kPasswordOffset, kPasswordBytes, f.begin());
    return f;
}

// Whether bytes are UTF-16 text of at most 20 units, then zeros.
bool textThenZeros(const std::array<uint8_t, kPasswordBytes>& p) {
    std::size_t end = 0;
    while (end + 1 < kPasswordBytes && (p[end] | p[end + 1]) != 0) end += 2;
    return std::all_of(p.begin() + static_cast<std::ptrdiff_t>(end), p.end(),
                       [](uint8_t b) { return b == 0; });
}

Page reencoded(Page decoded) {
    maskHeaderRegion(decoded.data());
    return decoded;
}

}  // namespace

bool creationDatePlausible(const Page& decoded) {
    const double date = f64(decoded, kCreationDateOffset);
    return std::isfinite(date) && date >= 32874.0 && date < 73051.0;  // 1990-01-01, 2100-01-01
}

std::optional<std::array<uint8_t, 4>> maskImpliedBy(
    const Page& decoded, const std::array<uint8_t, kPasswordBytes>& password) {
    const auto f = storedField(decoded);
    std::array<uint8_t, 4> mask{};
    for (std::size_t k = 0; k < 4; ++k) mask[k] = f[k] ^ password[k];
    for (std::size_t i = 4; i < kPasswordBytes; ++i) {
        if ((f[i] ^ password[i]) != mask[i % 4]) return std::nullopt;
    }
    return mask;
}

std::optional<std::array<uint8_t, 4>> maskShownByField(const Page& decoded) {
    const auto f = storedField(decoded);
    std::array<uint8_t, 4> mask{};
    std::copy_n(f.end() - 4, 4, mask.begin());
    std::array<uint8_t, kPasswordBytes> plain{};
    for (std::size_t i = 0; i < kPasswordBytes; ++i) plain[i] = f[i] ^ mask[i % 4];
    if (!textThenZeros(plain)) return std::nullopt;
    return mask;
}

bool textBeforePaddingIs(const Page& decoded,
                         const std::array<uint8_t, kPasswordBytes>& password) {
    const auto f = storedField(decoded);
    const auto mask = passwordMask(decoded);
    for (std::size_t i = 0; i + 1 < kPasswordBytes; i += 2) {
        const uint8_t lo = f[i] ^ mask[i % 4], hi = f[i + 1] ^ mask[(i + 1) % 4];
        if (lo != password[i] || hi != password[i + 1]) return false;
        if ((lo | hi) == 0) return true;
    }
    return true;
}

bool fieldHoldsLatinText(const Page& decoded) {
    const auto f = storedField(decoded);
    for (std::size_t k : {1u, 3u}) {
        for (std::size_t i = k + 4; i < kPasswordBytes; i += 4) {
            if (f[i] != f[k]) return false;
        }
    }
    return true;
}

Page withDateForMask(const Header& h, const std::array<uint8_t, 4>& mask) {
    Page decoded = h.decoded;
    const double whole = static_cast<double>(u32(ByteView(mask.data(), 4), 0));
    uint64_t bits;
    std::memcpy(&bits, &whole, sizeof bits);
    // The high 4 bytes give the whole days; the low 4 only a fraction of a
    // day below 1/32, whatever they hold.
    put32(decoded.data() + kCreationDateOffset + 4, static_cast<uint32_t>(bits >> 32));
    return reencoded(decoded);
}

bool possibleCodePage(uint16_t cp) {
    // Windows' ANSI and OEM code pages, Unicode, and the Macintosh ones; 0
    // where a writer left it unset.
    return cp == 0 || cp == 437 || (cp >= 708 && cp <= 720) || cp == 737 || cp == 775 ||
           (cp >= 850 && cp <= 869) || cp == 874 || cp == 932 || cp == 936 || cp == 949 ||
           cp == 950 || cp == 1200 || cp == 1201 || (cp >= 1250 && cp <= 1258) || cp == 1361 ||
           (cp >= 10000 && cp <= 10082) || cp == 65001;
}

bool possibleSortOrder(const Page& decoded) {
    const uint16_t language = u16(decoded, 0x6E) & 0x3FF;
    return language >= 1 && language <= 0x92 && decoded[0x70] == 0 && decoded[0x71] <= 1;
}

uint16_t codePageOfLanguage(uint16_t lcid) {
    switch (lcid & 0x3FF) {
        case 0x05: case 0x0E: case 0x15: case 0x18: case 0x1A: case 0x1B: case 0x1C: case 0x24:
            return 1250;  // Czech, Hungarian, Polish, Romanian, Croatian, Slovak, Albanian, Slovenian
        case 0x02: case 0x19: case 0x22: case 0x23: case 0x2F:
            return 1251;  // Bulgarian, Russian, Ukrainian, Belarusian, Macedonian
        case 0x08:
            return 1253;  // Greek
        case 0x1F:
            return 1254;  // Turkish
        case 0x0D:
            return 1255;  // Hebrew
        case 0x01: case 0x20: case 0x29:
            return 1256;  // Arabic, Urdu, Farsi
        case 0x25: case 0x26: case 0x27:
            return 1257;  // Estonian, Latvian, Lithuanian
        case 0x2A:
            return 1258;  // Vietnamese
        case 0x1E:
            return 874;  // Thai
        case 0x11:
            return 932;  // Japanese
        case 0x12:
            return 949;  // Korean
        case 0x04:
            // Chinese: the PRC and Singapore simplified, the rest traditional
            return (lcid >> 10) == 2 || (lcid >> 10) == 4 ? 936 : 950;
        default:
            return 1252;
    }
}

Page withCodePage(const Header& h, uint16_t codePage) {
    Page decoded = h.decoded;
    put16(decoded.data() + 0x3C, codePage);
    return reencoded(decoded);
}

Page withSortOrder(const Header& h, uint16_t lcid, uint8_t version) {
    Page decoded = h.decoded;
    put16(decoded.data() + 0x6E, lcid);
    decoded[0x70] = 0;
    decoded[0x71] = version;
    return reencoded(decoded);
}

Page withJet4Version(const Page& raw) {
    Page p = raw;
    put32(p.data() + 0x14, 1);
    return p;
}

Page withDatabaseKey(const Header& h, uint32_t key) {
    Page decoded = h.decoded;
    put32(decoded.data() + 0x3E, key);
    maskHeaderRegion(decoded.data());
    return decoded;
}

bool Header::passwordHoldsText() const {
    std::size_t end = 0;
    while (end + 1 < kPasswordBytes && (password[end] | password[end + 1]) != 0) end += 2;
    return std::all_of(password.begin() + static_cast<std::ptrdiff_t>(end), password.end(),
                       [](uint8_t b) { return b == 0; });
}

bool Header::passwordMatches(const std::string& candidateUtf8) const {
    if (!hasPassword()) return true;  // as the platform engine: any password opens it
    std::array<uint8_t, kPasswordBytes> candidate{};
    if (!encodePassword(candidateUtf8, candidate)) return false;
    return candidate == password;
}

}  // namespace jet
