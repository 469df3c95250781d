// Checking each table of the copy as soon as it is written, on a thread of
// its own, while later tables are copied; a large table's rows a few pages
// at a time while the rest of it is written.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ops/check/Checker.h"
#include "ops/compact/CopyObserver.h"
#include "read/Database.h"
#include "util/Background.h"
#include "util/ThreadSafety.h"
#include "write/OutputFile.h"

namespace jet {

// Checks each table of the copy once it is written, on a thread of its own,
// while later tables are copied. A check that cannot be made leaves its
// table to the check of the whole copy.
class EarlyChecks : public CopyObserver {
  public:
    // heldFd: the copy as the caller holds it open (-1: opened by its path).
    // out: the copy being written, which tells when pages are in the file.
    EarlyChecks(Env& env, std::string path, std::string password, int heldFd,
                CheckOptions options = {}, OutputFile* out = nullptr)
        : env_(env),
          path_(std::move(path)),
          password_(std::move(password)),
          heldFd_(heldFd),
          options_(std::move(options)),
          out_(out) {}
    ~EarlyChecks() override;
    EarlyChecks(const EarlyChecks&) = delete;
    EarlyChecks& operator=(const EarlyChecks&) = delete;

    // Each step of a table is checked once its pages are in the file.
    void rowsWritten(const CatalogEntry& table, std::shared_ptr<const TableDef> layout,
                     std::vector<uint32_t> pages, uint64_t ticket) override;
    void indexWritten(const CatalogEntry& table, std::size_t i, uint32_t root,
                      uint64_t ticket) override;
    void tableWritten(const CatalogEntry& table, std::map<uint32_t, std::vector<uint32_t>> maps,
                      uint64_t ticket) override;

    // Pages before this one (definitions, usage maps) stay in the system's
    // cache when what is checked is let go of. Before the first table is
    // told of, while the worker's part is still the caller's.
    void keepBefore(uint32_t page) {
        checking_.assumeHeld();
        released_ = page;
    }

    // Waits for the checks; the tables checked, by definition page.
    const std::map<uint32_t, CheckedTable>& finish();

  private:
    struct Job {
        enum Kind { kRows, kIndex, kWhole };
        CatalogEntry table;
        Kind kind = kRows;
        std::size_t index = 0;
        uint32_t root = 0;
        std::shared_ptr<const TableDef> layout;  // rows only
        std::vector<uint32_t> pages;
        uint64_t ticket = 0;
        std::map<uint32_t, std::vector<uint32_t>> maps;
    };

    void push(Job job) EXCLUDES(mutex_);
    void work() EXCLUDES(mutex_);
    void run(Job& job) REQUIRES(checking_);
    Database& copy() REQUIRES(checking_);

    Env& env_;
    const std::string path_, password_;
    const int heldFd_;
    const CheckOptions options_;
    OutputFile* const out_;  // its waitWritten() is safe from any thread
    // Between the thread that tells and the worker: the jobs.
    Mutex mutex_;
    CondVar more_;  // a job, or closed_
    std::deque<Job> jobs_ GUARDED_BY(mutex_);
    bool closed_ GUARDED_BY(mutex_) = false;
    // The telling thread's alone.
    ThreadRole telling_;
    Background worker_ GUARDED_BY(telling_);
    // The thread could not be started: everything is left to the end.
    bool noWorker_ GUARDED_BY(telling_) = false;
    // The worker's alone, until it is joined.
    ThreadRole checking_;
    std::map<uint32_t, CheckedTable> done_ GUARDED_BY(checking_);
    std::unique_ptr<Database> copy_ GUARDED_BY(checking_);  // the table checked in steps: the copy
    std::unique_ptr<TableCheck> steps_ GUARDED_BY(checking_);  // and its check so far
    uint32_t failed_ GUARDED_BY(checking_) = 0;    // a table whose check failed, left to the end
    uint32_t released_ GUARDED_BY(checking_) = 0;  // pages before it are let go of
};

}  // namespace jet
