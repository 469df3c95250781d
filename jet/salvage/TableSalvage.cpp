#include "salvage/TableSalvage.h"

namespace jet {

void TableSalvage::run() {
    const IndexEvidence evidence = gatherIndexEvidence(ctx_.file, def_);
    chosen_ = choosePages(ctx_, def_, evidence, ledger_);
    harvested_ = harvestRows(ctx_, def_, evidence, chosen_, ledger_);
    keyed_ = keyRows(ctx_, def_, evidence, harvested_, ledger_);
}

}  // namespace jet
