// Checking each table of the copy as soon as it is written, on a thread of
// its own, while later tables are copied.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ops/check/Checker.h"
#include "read/Database.h"

namespace jet {

// Checks each table of the copy once it is written, on a thread of its own,
// while later tables are copied. A check that cannot be made leaves its
// table to the check of the whole copy.
class EarlyChecks {
  public:
    // heldFd: the copy as the caller holds it open (-1: opened by its path).
    EarlyChecks(std::string path, std::string password, int heldFd)
        : path_(std::move(path)), password_(std::move(password)), heldFd_(heldFd) {}
    ~EarlyChecks();
    EarlyChecks(const EarlyChecks&) = delete;
    EarlyChecks& operator=(const EarlyChecks&) = delete;

    void add(const CatalogEntry& table, std::map<uint32_t, std::vector<uint32_t>> maps);

    // Waits for the checks; the tables checked, by definition page.
    const std::map<uint32_t, CheckedTable>& finish();

  private:
    struct Job {
        CatalogEntry table;
        std::map<uint32_t, std::vector<uint32_t>> maps;
    };

    void work();

    std::string path_, password_;
    int heldFd_;
    std::mutex mutex_;
    std::condition_variable more_;
    std::deque<Job> jobs_;
    bool closed_ = false;
    std::thread thread_;
    std::map<uint32_t, CheckedTable> done_;  // the thread's alone until it is joined
};

}  // namespace jet
