// Rows read in one order and passed on in another: the rows of a table whose
// primary key does not follow its pages are read page after page (no page
// read twice) and passed on in key order. Each is read into a staging batch
// with its place in key order; when the batch outgrows its share of memory
// its rows are sorted by place and written to a spill file as a run. At the
// end the runs, and what is left in the batch, are merged by place.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ops/compact/RowBatch.h"
#include "os/SpillFile.h"
#include "util/FunctionRef.h"

namespace jet {

class RowRuns {
  public:
    RowRuns(std::size_t memory, SpillFolders where, std::size_t longValues)
        : memory_(memory), where_(std::move(where)), longValues_(longValues) {}

    // The batch to read the next row into; then placed() gives its place.
    RowBatch& stage() { return stage_; }
    void placed(uint32_t place);

    // Every row, in order of place: each is copied to the end of the batch
    // next() gives, and added() is told.
    void drain(FunctionRef<RowBatch&()> next, FunctionRef<void()> added);

  private:
    struct Run {
        uint64_t begin = 0, end = 0;
        std::unique_ptr<SpillReader> reader;
        uint32_t head = 0;  // place of the row it reads next
    };
    void spill();
    void sortStage();
    static void copyFromStage(const RowBatch& from, std::size_t job, std::size_t longValues,
                              RowBatch& to);
    void copyFromRun(Run& r, RowBatch& to);
    bool pull(Run& r);

    std::size_t memory_;
    SpillFolders where_;
    std::size_t longValues_;
    RowBatch stage_;
    // The stage's rows, each as its place << 32 | its number in the stage;
    // sorted, they are the rows by place.
    std::vector<uint64_t> places_;
    std::unique_ptr<SpillFile> file_;
    std::vector<Run> runs_;
    std::vector<uint32_t> head_;  // of the row a run reads next
};

}  // namespace jet
