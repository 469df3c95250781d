// The key encoder against the keys Access wrote: every leaf entry of every
// index of every fixture (system tables included) is encoded again from its
// row and compared byte for byte.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "GeneralLegacyTsv.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "format/Text.h"
#include "keys/KeyEncoding.h"
#include "keys/TextKey.h"
#include "keys/TextKeyTable.h"
#include "read/Database.h"
#include "support/EngineReads.h"
#include "support/Fixtures.h"
#include "support/Hex.h"

using namespace testsupport;

namespace {

bool hasTextColumn(const jet::TableDef& def, const jet::RealIndex& ri) {
    for (const auto& ic : ri.columns) {
        if (def.columnByNumber(ic.column)->type == static_cast<uint8_t>(jet::ColumnType::kText))
            return true;
    }
    return false;
}

bool generalOrder(const jet::TableDef& def, const jet::RealIndex& ri) {
    for (const auto& ic : ri.columns) {
        const jet::Column* c = def.columnByNumber(ic.column);
        if (c->type == static_cast<uint8_t>(jet::ColumnType::kText) &&
            !jet::isGeneralLegacy(c->sortLcid, c->sortVersion))
            return false;
    }
    return true;
}

// The index's text values of a row, for naming a mismatch.
std::string textValues(const jet::TableDef& def, const jet::RealIndex& ri, const jet::RowView& rv,
                       jet::RowPtr at) {
    std::string out;
    for (const auto& ic : ri.columns) {
        const jet::Column* c = def.columnByNumber(ic.column);
        if (c->type != static_cast<uint8_t>(jet::ColumnType::kText)) continue;
        auto stored = jet::columnBytes(def, *c, rv, at.page, at.row);
        out += (out.empty() ? "" : ", ") + c->name + "=" +
               (stored ? jet::utf16ToUtf8(jet::decodeText(*stored)) : "null");
    }
    return out;
}

// Whether the index's text values of a row hold a unit beyond Latin-1.
bool beyondLatin1(const jet::TableDef& def, const jet::RealIndex& ri, const jet::RowView& rv,
                  jet::RowPtr at) {
    for (const auto& ic : ri.columns) {
        const jet::Column* c = def.columnByNumber(ic.column);
        if (c->type != static_cast<uint8_t>(jet::ColumnType::kText)) continue;
        auto stored = jet::columnBytes(def, *c, rv, at.page, at.row);
        if (!stored) continue;
        for (char16_t u : jet::decodeText(*stored)) {
            if (u > 0xFF) return true;
        }
    }
    return false;
}

bool descendingText(const jet::TableDef& def, const jet::RealIndex& ri) {
    for (const auto& ic : ri.columns) {
        if (!ic.ascending &&
            def.columnByNumber(ic.column)->type == static_cast<uint8_t>(jet::ColumnType::kText))
            return true;
    }
    return false;
}

}  // namespace

// Mismatches are counted against the published count of the sharp s (one
// position, SharpS::kOnePosition): the 2014-rebuilt key that holds every
// character matches it. The sample files, written by Jet 4.0, count the
// sharp s as two positions; those four keys are named below and must match
// the encoder's two-position count instead (the count the engine writes by
// default), so each is a correct key for the checker either way. The
// Japanese-sorted column is encoded in the General order here to show that
// its keys differ where the value is not plain ASCII.
TEST(KeyEncoder, ReproducesEveryKeyAccessWroteInTheFixtures) {
    SKIP_WITHOUT_FIXTURES();
    const std::multiset<std::string> knownMismatches = {
        "sample-traders-full-2000.mdb: Products: ProductName=NuNuCa Nu\u00df-Nougat-Creme",
        "sample-traders-deleted-rows.mdb: Products: ProductName=NuNuCa Nu\u00df-Nougat-Creme",
        "sample-traders-full-2000.mdb: Suppliers: CompanyName=Plutzer "
        "Lebensmittelgro\u00dfm\u00e4rkte AG",
        "sample-traders-deleted-rows.mdb: Suppliers: CompanyName=Plutzer "
        "Lebensmittelgro\u00dfm\u00e4rkte AG",
        "pwd-code-modules-2003-after-compact.mdb: f_53BD39AD55034B83B9A105F06AAB4564_Data: "
        "FileName=Office \u30c6\u30fc\u30de.thmx",
        "pwd-code-modules-2003-before-compact.mdb: f_53BD39AD55034B83B9A105F06AAB4564_Data: "
        "FileName=Office \u30c6\u30fc\u30de.thmx",
    };
    std::multiset<std::string> mismatches;
    std::size_t otherKeys = 0, textKeys = 0, descending = 0, outsideLatin1 = 0;
    for (const auto& f : jet4Fixtures()) {
        const std::string file = f.filename().string();
        SCOPED_TRACE(file);
        auto db = jet::Database::open(jet::Env::standard(), f.string(), fixturePassword(file));
        for (const auto& t : db->localTables()) {
            const jet::TableDef& def = db->tableDef(t.tdefPage(), t.name);
            for (const auto& ri : def.realIndexes) {
                const bool text = hasTextColumn(def, ri);
                jet::IndexTree tree =
                    jet::readIndexTree(db->file(), ri.rootPage, def.firstPage, t.name);
                for (const auto& e : tree.entries) {
                    jet::PageRef holder;
                    jet::RowPtr at;
                    jet::ByteView b = db->fetchRow(def, e.row, holder, &at);
                    jet::RowView rv = jet::crackRow(def, b, at.page, at.row);
                    auto one = jet::encodeRowKey(def, ri, rv, at.page, at.row, true,
                                                 jet::SharpS::kOnePosition);
                    ASSERT_TRUE(one || !text) << t.name << " page " << at.page;
                    if (!one) continue;  // a type the encoder does not support
                    if (*one == e.key) {
                        ++(text ? textKeys : otherKeys);
                        descending += descendingText(def, ri);
                        outsideLatin1 += text && beyondLatin1(def, ri, rv, at);
                        continue;
                    }
                    const std::string name =
                        file + ": " + t.name + ": " + textValues(def, ri, rv, at);
                    mismatches.insert(name);
                    if (generalOrder(def, ri)) {  // the sharp s counted as two
                        EXPECT_EQ(jet::encodeRowKey(def, ri, rv, at.page, at.row), e.key) << name;
                    }
                }
            }
        }
    }
    for (const auto& m : mismatches) std::cout << "[ mismatch: " << m << " ]\n";
    std::cout << "[ keys matched: " << textKeys << " with text, " << otherKeys << " others; "
              << mismatches.size() << " mismatches; " << outsideLatin1
              << " text keys beyond Latin-1, " << descending << " descending ]\n";
    EXPECT_EQ(mismatches, knownMismatches);
    EXPECT_GT(textKeys, 5000u);
    EXPECT_GT(otherKeys, 29000u);
}

namespace {
jet::Bytes key(const std::u16string& s, bool ascending = true,
               jet::SharpS sharpS = jet::SharpS::kTwoPositions) {
    return jet::encodeTextKey(s, ascending, sharpS);
}
}  // namespace

TEST(KeyEncoder, TheCommittedTableIsTheTsvItWasMadeFrom) {
    const fs::path tsv = fs::path(QW_SOURCE_DIR) / ".." / "shared" / "keys" / "general-legacy.tsv";
    if (!fs::exists(tsv)) GTEST_SKIP() << tsv << " is absent: the table is not compared";
    std::string error;
    const auto codes = keytable::readGeneralLegacyTsv(tsv.string(), error);
    ASSERT_FALSE(codes.empty()) << error;
    ASSERT_EQ(codes.size(), 0x10000u);
    std::size_t differ = 0, listed = 0;
    for (std::size_t u = 0; u < codes.size(); ++u) {
        if (jet::isSurrogate(static_cast<char32_t>(u))) {
            EXPECT_EQ(codes[u].cls, jet::TextKeyClass::kNone);
            continue;
        }
        ++listed;
        if (jet::textKeyCode(static_cast<char16_t>(u)) != codes[u] && ++differ <= 5)
            ADD_FAILURE() << "U+" << std::hex << u << " differs: regenerate the table";
    }
    EXPECT_EQ(listed, 63488u);
    EXPECT_EQ(differ, 0u) << "cmake --build --preset release --target text-key-table-regenerate";
}

// A copy numbered straight through (the units from U+E000 labelled as
// surrogates), or one that stops short, is refused with the line named.
TEST(KeyEncoder, TheTableReaderTakesOnlyTheLabelsAsWritten) {
    TempDir dir;
    const std::string head = "code_unit\tclass\tprimary\textra\tkana_flag\n";
    std::string listed;
    char line[48];
    for (unsigned u = 0; u < 0xD800; ++u) {
        std::snprintf(line, sizeof line, "U+%04X\tsimple\t07\t\t\n", u);
        listed += line;
    }
    const auto read = [&](const std::string& name, const std::string& text) {
        writeFile(dir / name, text);
        std::string error;
        EXPECT_TRUE(keytable::readGeneralLegacyTsv((dir / name).string(), error).empty());
        return error;
    };
    EXPECT_NE(read("old.tsv", head + listed + "U+D800\tsimple\tE6 02\t\t\n")
                  .find(":55298: expected the line of U+E000"),
              std::string::npos);
    EXPECT_NE(read("short.tsv", head + listed).find("the table ends before U+E000"),
              std::string::npos);
}

TEST(KeyEncoder, TextKeysFollowTheGeneralOrder) {
    EXPECT_EQ(key(u"Tables"), hex("7F 6D 4A 4C 5E 51 6B 01 00"));
    EXPECT_EQ(key(u"Tables", false), hex("80 92 B5 B3 A1 AE 94 FE FF 00"));
    EXPECT_EQ(key(u"-1"), hex("7F 38 01 01 01 01 80 07 06 82 00"));
    EXPECT_EQ(key(u""), hex("7F 01 00"));
    EXPECT_EQ(key(u"CORE USER"), key(u"Core User "));
    EXPECT_EQ(key(u"C\u00f4te de Blaye"),
              hex("7F 4D 64 6D 51 07 4F 51 07 4C 5E 4A 76 51 01 02 12 00"));
    EXPECT_LT(key(u"apple"), key(u"Banana"));
    // Greek, Cyrillic and CJK: capitals and small letters alike, tonos as a diacritic.
    EXPECT_EQ(key(u"\u0391\u03b8\u03ae\u03bd\u03b1"),
              hex("7F 79 0C 79 13 79 12 79 18 79 0C 01 02 02 05 00"));
    EXPECT_EQ(key(u"\u0391\u0398\u0397\u039d\u0391"),
              hex("7F 79 0C 79 13 79 12 79 18 79 0C 01 00"));
    EXPECT_LT(key(u"\u0391\u03b8\u03b7\u03bd\u03b1"), key(u"\u0391\u03b8\u03ae\u03bd\u03b1"));
    EXPECT_EQ(key(u"\u0410\u0438\u0440"), hex("7F 79 2F 79 3B 79 48 01 00"));
    EXPECT_EQ(key(u"\u6f22\u5b57"), hex("7F C0 B6 AC AC 01 00"));
    // Fullwidth letters and digits key as their ASCII ones; the ff ligature
    // as two f; the replacement character and U+FFFF are ignored.
    EXPECT_EQ(key(u"\uff21\uff42\uff10"), key(u"Ab0"));
    EXPECT_EQ(key(u"\ufb00"), key(u"ff"));
    EXPECT_EQ(key(u"a\ufffd\uffff"), key(u"a"));
    EXPECT_EQ(key(u"\uf800"), hex("7F FE 32 01 00"));
    // Halfwidth katakana are kana, as their fullwidth forms.
    EXPECT_EQ(key(u"\uff71"), key(u"\u30a2"));
}

// A character beyond the basic plane is its two surrogates, each a
// character with two computed primary bytes and the diacritic 3F.
TEST(KeyEncoder, SurrogatesTakeComputedKeys) {
    // U+1D11E (musical G clef): D834 DD1E.
    EXPECT_EQ(key(u"\U0001D11E"), hex("7F B0 36 B6 1A 01 3F 3F 00"));
    // An emoji after a letter and before a special character: each
    // surrogate is a position.
    EXPECT_EQ(key(u"a\U0001F600-"), hex("7F 4A B0 3F B6 FC 01 02 3F 3F 01 01 01 80 13 06 82 00"));
    // The high surrogates count up one a unit from B0 02; the low ones from
    // B4 F8, their second byte running 02 to FF.
    const std::pair<char16_t, const char*> kComputed[] = {
        {0xD800, "B0 02"}, {0xD83D, "B0 3F"}, {0xD8FD, "B0 FF"}, {0xD900, "B1 02"},
        {0xD8FE, "B1 02"}, {0xDBFF, "B4 02"}, {0xDC00, "B4 F8"}, {0xDC07, "B4 FF"},
        {0xDC08, "B5 02"}, {0xDD06, "B6 02"}, {0xDFFF, "B8 FF"},
    };
    for (const auto& [unit, primary] : kComputed) {
        const jet::TextKeyCode& c = jet::textKeyCode(unit);
        EXPECT_EQ(c.cls, jet::TextKeyClass::kSurrogate);
        EXPECT_EQ(jet::Bytes(c.primary.begin(), c.primary.begin() + c.primaryLength), hex(primary))
            << std::hex << int(unit);
        EXPECT_EQ(jet::Bytes(c.extra.begin(), c.extra.begin() + c.extraLength), hex("3F"));
    }
    // No unit gives a primary byte below 02, which would end the primary
    // section (01) or the text part (00) early.
    for (uint32_t u = jet::kFirstSurrogate; u <= jet::kLastSurrogate; ++u) {
        const jet::TextKeyCode& c = jet::textKeyCode(static_cast<char16_t>(u));
        ASSERT_GE(c.primary[1], 0x02) << std::hex << u;
    }
    // Only the first 255 units count, then trailing spaces are dropped.
    EXPECT_EQ(key(std::u16string(300, u'a')), key(std::u16string(255, u'a')));
    EXPECT_EQ(key(std::u16string(254, u'a') + u"  b"), key(std::u16string(254, u'a')));
    EXPECT_EQ(key(std::u16string(256, u'a')).size(), 1 + 255 + 2u);
}

TEST(KeyEncoder, DiacriticsModifiersKanaAndSpecialsHaveTheirSections) {
    // A combining accent adds its value to the diacritic of the letter
    // before it: a + U+0301 is á.
    EXPECT_EQ(key(u"a\u0301"), key(u"\u00e1"));
    EXPECT_EQ(key(u"a\u0301"), hex("7F 4A 01 0E 00"));
    // One before any letter is the section's first byte, and not counted
    // where a special character stands.
    EXPECT_EQ(key(u"\u0301a-"), hex("7F 4A 01 0C 01 01 01 80 0B 06 82 00"));
    // A two-byte diacritic counts two where a special character stands.
    EXPECT_EQ(key(u"\u01c4-"), hex("7F 4F 78 01 02 14 01 01 01 80 0F 06 82 00"));
    // Kana: a flag each (2 where the table flags the character, else 3),
    // three to a byte, trailing 3s dropped, then FF 02 80 FF 80.
    EXPECT_EQ(key(u"\u30a2"), hex("7F 7F 02 01 01 01 FF 02 80 FF 80 00"));
    EXPECT_EQ(key(u"\u3041"), hex("7F 7F 02 01 01 01 A0 FF 02 80 FF 80 00"));
    EXPECT_EQ(key(u"\u3041\u3041\u3041\u3041"),
              hex("7F 7F 02 7F 02 7F 02 7F 02 01 01 01 AA A0 FF 02 80 FF 80 00"));
    EXPECT_EQ(key(u"\u3041\u30a2"), hex("7F 7F 02 7F 02 01 01 01 A0 FF 02 80 FF 80 00"));
    // Kana and a special character: one more FF, then 01 and the entries.
    EXPECT_EQ(key(u"\u30a2-"), hex("7F 7F 02 01 01 01 FF 02 80 FF 80 FF 01 80 0B 06 82 00"));
    // Descending: the ascending bytes after the flag (their final 00
    // included) inverted, then a final 00.
    for (const char16_t* v : {u"\u30a2-", u"\u01c4-", u"\u0391\u03b8\u03ae\u03bd\u03b1", u"x"}) {
        const jet::Bytes ascending = key(v);
        jet::Bytes expect = {0x80};
        for (std::size_t i = 1; i < ascending.size(); ++i)
            expect.push_back(static_cast<uint8_t>(~ascending[i]));
        expect.push_back(0x00);
        EXPECT_EQ(key(v, false), expect);
    }
}

TEST(KeyEncoder, TheSharpSCountsTwoPositionsOrOneAsAsked) {
    const auto one = jet::SharpS::kOnePosition;
    EXPECT_EQ(key(u"\u00df-"), hex("7F 6B 6B 01 01 01 01 80 0F 06 82 00"));
    EXPECT_EQ(key(u"\u00df-", true, one), hex("7F 6B 6B 01 01 01 01 80 0B 06 82 00"));
    EXPECT_EQ(key(u"\u00df\u00e4"), hex("7F 6B 6B 4A 01 02 02 13 00"));
    EXPECT_EQ(key(u"\u00df\u00e4", true, one), hex("7F 6B 6B 4A 01 02 13 00"));
    EXPECT_TRUE(jet::sharpSCountMatters(u"Gro\u00dfm\u00e4rkte"));
    EXPECT_TRUE(jet::sharpSCountMatters(u"Nu\u00df-Nougat"));
    // No diacritic or special character after it: one key.
    EXPECT_FALSE(jet::sharpSCountMatters(u"\u00e4 Stra\u00dfe"));
    EXPECT_EQ(key(u"Stra\u00dfe"), key(u"Stra\u00dfe", true, one));
    EXPECT_FALSE(jet::sharpSCountMatters(u"Nu-Nougat"));
}

TEST(KeyEncoder, StoredValuesGiveTheKeysOfTheirText) {
    const std::u16string text = u"\u00c9lan \u0391\u03b8\u03ae\u03bd\u03b1-1";
    const jet::Bytes expect = key(text);
    jet::Bytes utf16;
    for (char16_t c : text) utf16.insert(utf16.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
    // Compressed: one byte a unit, 00 switching to two bytes a unit and back.
    const jet::Bytes mixed = hex("FF FE C9 6C 61 6E 20 00 91 03 B8 03 AE 03 BD 03 B1 03 00 2D 31");
    jet::Bytes out;
    for (const jet::Bytes& stored : {utf16, mixed}) {
        out.clear();
        jet::appendStoredTextKey(out, stored, true);
        EXPECT_EQ(out, expect);
    }
    const jet::Bytes latin = hex("FF FE 54 61 62 6C 65 73");
    out = {0x7F, 0x80, 0x00, 0x00, 0x01};  // a key's earlier column stays
    jet::appendStoredTextKey(out, latin, false);
    EXPECT_EQ(out, hex("7F 80 00 00 01 80 92 B5 B3 A1 AE 94 FE FF 00"));
    EXPECT_TRUE(jet::storedSharpSCountMatters(hex("FF FE 47 72 6F DF 6D E4")));
    EXPECT_FALSE(jet::storedSharpSCountMatters(latin));
}
