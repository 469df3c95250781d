#include "ops/compact/EarlyChecks.h"

#include <algorithm>
#include <system_error>

namespace jet {

EarlyChecks::~EarlyChecks() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.clear();
    }
    finish();
}

void EarlyChecks::add(const CatalogEntry& table, std::map<uint32_t, std::vector<uint32_t>> maps) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back({table, std::move(maps)});
    }
    more_.notify_one();
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.clear();  // no thread to spare: the whole copy is checked at the end
        }
    }
}

const std::map<uint32_t, CheckedTable>& EarlyChecks::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    more_.notify_one();
    if (thread_.joinable()) thread_.join();
    return done_;
}

void EarlyChecks::work() {
    CheckOptions options;  // every table's keys, as for the whole copy
    while (true) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            more_.wait(lock, [&] { return closed_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            // Opened again for each table: the file has grown since.
            auto copy = Database::open(path_, password_, heldFd_);
            CheckedTable t = checkTableEarly(*copy, job.table, std::move(job.maps), options);
            // Pages are given out in turn, so the table's last page ends
            // what is checked. Let go of it: a copy of gigabytes would
            // otherwise fill the page cache, pushing out what the rest
            // of the machine uses, and the system would find fresh
            // memory for each page written; let go, the same memory
            // takes the tables after.
            const auto last = std::max_element(t.livePages.begin(), t.livePages.end());
            if (last != t.livePages.end()) copy->file().releaseCached(*last + 1);
            done_.emplace(job.table.tdefPage(), std::move(t));
        } catch (...) {
            // Left to the check of the whole copy.
        }
    }
}

}  // namespace jet
