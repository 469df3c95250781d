// Checking each table of the copy as soon as it is written, on a thread of
// its own, while later tables are copied; a large table's rows a few pages
// at a time while the rest of it is written.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ops/check/Checker.h"
#include "ops/compact/CopyObserver.h"
#include "read/Database.h"
#include "util/Background.h"
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
    // cache when what is checked is let go of.
    void keepBefore(uint32_t page) { released_ = page; }

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

    void push(Job job);
    void work();
    void run(Job& job);
    Database& copy();

    Env& env_;
    std::string path_, password_;
    int heldFd_;
    CheckOptions options_;
    OutputFile* out_;
    std::mutex mutex_;
    std::condition_variable more_;
    std::deque<Job> jobs_;
    bool closed_ = false;
    Background worker_;
    bool noWorker_ = false;  // the thread could not be started: everything is left to the end
    // The thread's alone until it is joined:
    std::map<uint32_t, CheckedTable> done_;
    std::unique_ptr<Database> copy_;     // the table checked in steps: the copy
    std::unique_ptr<TableCheck> steps_;  // and its check so far
    uint32_t failed_ = 0;                // a table whose check failed, left to the end
    uint32_t released_ = 0;              // pages before it are let go of
};

}  // namespace jet
