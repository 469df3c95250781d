// Real Access files with their text in another script: the values of chosen
// text columns rewritten as Greek, Cyrillic or CJK text, and the indexes on
// those columns written anew with keys from the engine's encoder, so that
// tests of the Greek (and other) users' files start from a Microsoft-made
// file that is still sound.
//
// How: each value is rewritten in place at the byte length it had, so that
// no row moves. A value of odd length becomes FF FE 00 and UTF-16 (Jet's
// compressed form switched to two bytes a unit), one of even length plain
// UTF-16; a value too short to hold one unit that way (a single compressed
// character) is left as it was. Distinct values stay distinct, and equal
// values (in any of the columns rewritten together) stay equal: the k-th
// distinct value of each length gets the k-th text of that length, which
// starts with k written in the script's capital letters.
//
// Each index on a rewritten column is written again from all its rows, its
// entries sorted by the new keys, on the pages its old tree had (in
// ascending order; pages it no longer needs are zeroed), then on pages
// added at the end of the file. Its definition's root and its usage map are
// updated, and added pages are marked used in the file's global map.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/Fixtures.h"

namespace testsupport {

enum class Script { kGreek, kCyrillic, kCjk };

struct TextColumn {
    std::string table, column;
};

struct RewriteReport {
    std::size_t values = 0;      // values rewritten
    std::size_t unchanged = 0;   // values too short for the script, left as they were
    std::size_t indexes = 0;     // indexes written anew
    std::size_t pagesAdded = 0;  // pages the new trees took beyond their old ones
};

// Rewrites the columns of the (unencoded or encoded) database at file. Throws
// std::runtime_error when it cannot: a column that is not variable-length
// text in the General order, more distinct values of a length than the
// script's letters can tell apart, or a map too small for added pages.
RewriteReport rewriteInScript(const fs::path& file, const std::string& password,
                              const std::vector<TextColumn>& columns, Script script);

inline RewriteReport rewriteAsGreek(const fs::path& file, const std::vector<TextColumn>& columns,
                                    const std::string& password = "") {
    return rewriteInScript(file, password, columns, Script::kGreek);
}
inline RewriteReport rewriteAsCyrillic(const fs::path& file, const std::vector<TextColumn>& columns,
                                       const std::string& password = "") {
    return rewriteInScript(file, password, columns, Script::kCyrillic);
}
inline RewriteReport rewriteAsCjk(const fs::path& file, const std::vector<TextColumn>& columns,
                                  const std::string& password = "") {
    return rewriteInScript(file, password, columns, Script::kCjk);
}

// The indexed text columns of sample-traders-full-2000.mdb (and of
// sample-traders-deleted-rows.mdb) rewritten together: the customer code
// where it is the primary key and where the orders refer to it, company and
// product names, cities, categories, surnames and postal codes.
const std::vector<TextColumn>& sampleTradersText();

// The text the k-th distinct value of m units becomes, with width capital
// letters for k (exposed for tests that look for the values).
std::u16string scriptText(Script script, std::size_t k, std::size_t width, std::size_t m);

}  // namespace testsupport
