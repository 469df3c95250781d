#include "salvage/SalvageLedger.h"

namespace jet {

void SalvageLedger::add(SalvageIssue issue) {
    using Kind = SalvageIssue::Kind;
    switch (issue.kind) {
        case Kind::kValueNulled:
            ++tally_.rowsChanged;
            break;
        case Kind::kRowLeftOut:
            ++leftOut_;
            break;
        case Kind::kPageLost:
            pagesLost_ = true;
            lostCapacity_ = lostCapacity_ > UINT64_MAX - issue.count ? UINT64_MAX
                                                                     : lostCapacity_ + issue.count;
            break;
        case Kind::kRowsMissing:
            missing_ = issue.count;
            break;
        case Kind::kRowForeign:
            ++tally_.rowsForeign;
            break;
        case Kind::kRowsMovedBack:
            tally_.rowsMovedBack += issue.count;
            break;
        case Kind::kRowRestored:
            ++tally_.rowsRestored;
            break;
        case Kind::kDeleteKept:
            ++tally_.deletesKept;
            break;
        case Kind::kRowDropped:  // dropped rows are the rows found less those kept
        case Kind::kKeyClash:
        case Kind::kSecondReference:
        case Kind::kIndexReordered:
            break;
    }
    issues_.push_back(std::move(issue));
}

void SalvageLedger::rowsRead() {
    if (found_ >= declared_) return;
    const uint64_t missing = declared_ - found_;
    add(SalvageIssue::Kind::kRowsMissing, {table_, 0},
        "its definition counts " + std::to_string(declared_) + " rows; " + std::to_string(found_) +
            " were found" +
            (pagesLost_ ? ": the rest were on pages that are lost"
                        : " (the count may be stale, or rows lost)"),
        {}, missing);
}

RepairCounts SalvageLedger::counts(uint64_t kept) const {
    RepairCounts c = tally_;
    c.rowsKept = kept;
    c.rowsDropped = found_ - kept + leftOut_ + rowsLost();
    c.countStale = countStale();
    return c;
}

}  // namespace jet
