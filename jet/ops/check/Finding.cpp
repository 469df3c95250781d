// The words of each remedy: what a compaction does about a kind of problem.
#include "ops/check/Finding.h"

namespace jet {

std::string remedyText(const Finding& f) {
    // Said where a compaction loses nothing to this problem, unless the
    // table loses rows to some other damage.
    const std::string lossless = f.tableLosesRows
                                     ? "yet the table loses rows: its compaction line says how many"
                                     : "nothing is lost";
    switch (f.remedy) {
        case Remedy::kMapRebuilt:
            return "a compaction rebuilds it; " + lossless;
        case Remedy::kIndexRebuilt:
            return "a compaction rebuilds the index from the table's rows (of two rows that "
                   "share a unique key the first is kept, the other listed in MSysCompactError); " +
                   lossless;
        case Remedy::kRowDropped:
            return "a compaction recovers the row where its neighbours' bounds allow, else drops "
                   "it and lists it, with its readable values, in MSysCompactError";
        case Remedy::kValueNulled:
            return "a compaction keeps the row with the value set to null and lists it in "
                   "MSysCompactError";
        case Remedy::kPagesFound:
            return "a compaction finds the table's pages by reading the whole file; rows on "
                   "pages that cannot be read are lost and listed in MSysCompactError";
        case Remedy::kOwnerRepaired:
            return "a compaction takes the page back where its rows read as the table's and no "
                   "other table claims it; " +
                   lossless;
        case Remedy::kPageReturned:
            return "a compaction copies the page's rows into the table they belong to; " + lossless;
        case Remedy::kForeign:
            return "a compaction leaves the page's rows out of every table and lists them in "
                   "MSysCompactError; whatever rows the table kept there are lost";
        case Remedy::kUnlistedTaken:
            return "a compaction finds the page and copies its rows; " + lossless;
        case Remedy::kTableLost:
            return "a compaction cannot read the table: it is left out of the copy and listed "
                   "as lost in MSysCompactError";
        case Remedy::kCatalogue:
            return "a compaction finds the tables from their definitions; a table whose "
                   "catalogue row is lost comes back under a name that says it was recovered";
        case Remedy::kNone:
            return "a compaction cannot repair this";
        case Remedy::kPagesRegridded:
            return "a compaction reads each page where it now lies; a page that held the change "
                   "and could not be put right is read as lost, its rows listed in "
                   "MSysCompactError";
        case Remedy::kFileCut:
            return "a compaction reads every whole page; only what lay past the cut is lost, "
                   "and listed in MSysCompactError";
        case Remedy::kPasswordLost:
            return "a compaction gives the copy the password it is given; the key that masks "
                   "the permissions' security identifiers may be lost";
        case Remedy::kKeyFound:
            return "a compaction writes the copy's header with that key; nothing is lost";
        case Remedy::kVersionRepaired:
            return "a compaction reads it as Jet 4 and writes the copy's header so; nothing is "
                   "lost";
        case Remedy::kDateRepaired:
            return "the mask the password field shows gave the date's whole days again; a "
                   "compaction writes them, and the time of day is lost";
        case Remedy::kCodePageGiven:
            return "a compaction gives the copy the code page of the sort order's language (" +
                   std::to_string(f.given) + ")";
        case Remedy::kSortOrderGiven:
            return "a compaction gives the copy the sort order the catalogue's columns declare "
                   "(LCID " +
                   std::to_string(f.given) + ")";
        case Remedy::kHeaderRebuilt:
            return "a compaction makes it anew with the password it is given; the creation date "
                   "and the key that masks the permissions' security identifiers are lost";
    }
    return "a compaction cannot repair this";
}

}  // namespace jet
