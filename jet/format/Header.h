// Page 0, the database header.
//
//   offset  size  field (in the decoded page)
//   0x00    4     00 01 00 00
//   0x04    16    engine name "Standard Jet DB\0" ("Standard ACE DB\0" for ACE)
//   0x14    4     format version: 0 Jet 3, 1 Jet 4, 2+ ACE
//   0x18    128   masked with the RC4 keystream of C7 DA 39 6B:
//     0x3C  2     code page
//     0x3E  4     database key (0: pages are not encoded)
//     0x42  40    password, UTF-16LE, XOR-ed with the integer part of the creation date
//     0x6E  4     default sort order (u16 LCID, u8 0, u8 version)
//     0x72  8     creation date (days since 1899-12-30)
//   0xE00   512   unknown structure, copied verbatim
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "format/Page.h"

namespace jet {

inline constexpr std::size_t kMaskedStart = 0x18;
inline constexpr std::size_t kMaskedLength = 128;
inline constexpr std::size_t kPasswordOffset = 0x42;
inline constexpr std::size_t kPasswordBytes = 40;
inline constexpr std::size_t kCreationDateOffset = 0x72;

struct Header {
    Page raw{};      // as stored
    Page decoded{};  // masked region undone
    uint32_t version = 0;
    uint16_t codePage = 0;
    uint32_t databaseKey = 0;
    uint16_t sortLcid = 0;
    uint8_t sortVersion = 0;
    double creationDate = 0;
    std::array<uint8_t, kPasswordBytes> password{};  // demasked UTF-16LE, zero-padded

    bool hasPassword() const;
    // Whether the password field holds text as the engine stores it: some
    // characters, then zeros to the end (damage leaves other bytes).
    bool passwordHoldsText() const;
    bool passwordMatches(const std::string& candidateUtf8) const;
};

// Decodes page 0. Refuses anything that is not Jet 4 with kUnrecognizedFormat.
Header parseHeader(const Page& raw, const std::string& path);

// XORs the fixed keystream into the masked header region (both directions).
void maskHeaderRegion(uint8_t* page);

// The 4 bytes that mask the password: the creation date's integer part.
std::array<uint8_t, 4> passwordMask(const Page& decoded);

// Whether the creation date is one a Jet 4 file can have been made on
// (1990 to 2100).
bool creationDatePlausible(const Page& decoded);

// Where the creation date is damaged, the password field itself shows its
// mask: the field is text then zeros under it.
//   maskImpliedBy: the mask under which the field holds exactly the
//     password given (the same 4 bytes at every place); nullopt when none.
//   maskShownByField: the mask the field's last 4 bytes show where the
//     password leaves them zero (18 characters or fewer), when the field
//     is text then zeros under it.
//   textBeforePaddingIs: whether, under the creation date's mask, the
//     field's text (its units up to the first zero) is the password given,
//     whatever its padding holds: the padding alone is damaged.
//   fieldHoldsLatinText: whether each high byte of the field's units is
//     the same under its place's mask byte, as in a password of Latin
//     letters, digits and signs, whatever its length: the field is intact.
std::optional<std::array<uint8_t, 4>> maskImpliedBy(
    const Page& decoded, const std::array<uint8_t, kPasswordBytes>& password);
std::optional<std::array<uint8_t, 4>> maskShownByField(const Page& decoded);
bool textBeforePaddingIs(const Page& decoded,
                         const std::array<uint8_t, kPasswordBytes>& password);
bool fieldHoldsLatinText(const Page& decoded);
// A copy of the raw page 0 whose creation date's integer part is mask,
// keeping the date's low 4 bytes (the seed of the security identifiers'
// key); the date's other bytes, and so the time of day, are lost.
Page withDateForMask(const Header& h, const std::array<uint8_t, 4>& mask);

// Whether a Jet 4 file can hold this default code page, and this default
// sort order (u16 LCID, u8 0, u8 version).
bool possibleCodePage(uint16_t codePage);
bool possibleSortOrder(const Page& decoded);
// The ANSI code page of a sort order's language (1252 for the rest).
uint16_t codePageOfLanguage(uint16_t lcid);
// A copy of the raw page 0 with another code page, or another sort order.
Page withCodePage(const Header& h, uint16_t codePage);
Page withSortOrder(const Header& h, uint16_t lcid, uint8_t version);
// The same with the format version of Jet 4.
Page withJet4Version(const Page& raw);

// Encodes a UTF-8 password as the 40-byte field; false when longer than 20
// UTF-16 units or not valid UTF-8.
bool encodePassword(const std::string& utf8, std::array<uint8_t, kPasswordBytes>& out);

// The RC4 key that masks security identifiers (MSysACEs.SID, MSysObjects.Owner):
// derived from the password field, the 40 bytes after it and the creation date.
uint32_t sidKey(const Page& decoded);
// XORs the SID keystream of key into a stored SID (masking and unmasking).
void applySidMask(uint32_t key, uint8_t* sid, std::size_t n);

// What a new page 0 holds; everything else is as the engine writes it.
struct HeaderFields {
    double creationDate = 0;
    uint16_t codePage = 1252;
    uint32_t databaseKey = 0;
    uint16_t sortLcid = 1033;  // General
    uint8_t sortVersion = 0;
    std::array<uint8_t, kPasswordBytes> password{};  // UTF-16LE, zero-padded
};

// Page 0 as the engine creates it (stored form: the masked region masked).
Page makeHeaderPage(const HeaderFields& fields);

// A copy of raw page 0 with a new password, masked as the engine stores it.
Page withPassword(const Header& h, const std::array<uint8_t, kPasswordBytes>& password);
// The same with another page-encoding key.
Page withDatabaseKey(const Header& h, uint32_t key);

}  // namespace jet
