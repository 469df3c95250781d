// A checker's finding as data: what is wrong, where it was found, and what a
// compaction does about it. The remedy is a kind; its words are written once,
// in remedyText, and nothing compares them.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "jet/Check.h"
#include "util/Failure.h"

namespace jet {

// What a compaction does about a kind of problem.
enum class Remedy {
    kMapRebuilt,
    kIndexRebuilt,
    kRowDropped,
    kValueNulled,
    kPagesFound,
    kOwnerRepaired,
    kPageReturned,
    kForeign,
    kUnlistedTaken,
    kTableLost,
    kCatalogue,
    kNone,
    // Damage found as the file was opened: its pages' grid and length, and
    // page 0's fields.
    kPagesRegridded,
    kFileCut,
    kPasswordLost,
    kKeyFound,
    kVersionRepaired,
    kDateRepaired,
    kCodePageGiven,   // the code page given: Finding::given
    kSortOrderGiven,  // the sort order's LCID given: Finding::given
    kHeaderRebuilt,
};

struct Finding {
    Remedy remedy = Remedy::kNone;
    std::string text;  // what is wrong and where, as the check says it
    // Where, as far as it is known: the table (by its definition page; the
    // catalogue's page for the catalogue), the page and the row on it.
    std::optional<uint32_t> table = {};
    std::optional<uint32_t> page = {};
    std::optional<uint32_t> row = {};
    // The table loses rows to some damage, so that its remedy does not say
    // that nothing is lost.
    bool tableLosesRows = false;
    uint32_t given = 0;  // what the remedy gives the copy, for the kinds that say so
};

// What a compaction does about a finding, and what that loses.
std::string remedyText(const Finding& f);

// A finding as the public report gives it.
inline CheckProblem describe(const Finding& f) { return {f.text, remedyText(f)}; }

// A finding of a check that goes on, where it was found. Its table is
// given once the table's check is done.
inline void problem(std::vector<Finding>& found, std::string text, Remedy r,
                    std::optional<uint32_t> page = {}, std::optional<uint32_t> row = {}) {
    found.push_back({r, std::move(text), {}, page, row});
}

// A step of a check whose damage (or lack of memory) ends the step, not
// the check: it becomes a finding, with where the error says it was found.
template <typename F>
void attempt(std::vector<Finding>& found, const std::string& where, Remedy r, F&& f) {
    try {
        f();
    } catch (const JetException& e) {
        problem(found, where + ": " + e.error().description, r, e.error().page, e.error().row);
    } catch (const std::bad_alloc&) {
        problem(found, where + ": not enough memory to check it", Remedy::kNone);
    }
}

}  // namespace jet
