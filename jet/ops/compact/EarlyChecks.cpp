#include "ops/compact/EarlyChecks.h"

#include <algorithm>

namespace jet {

EarlyChecks::~EarlyChecks() {
    {
        MutexLock lock(mutex_);
        jobs_.clear();
    }
    finish();
}

void EarlyChecks::rowsWritten(const CatalogEntry& table, std::shared_ptr<const TableDef> layout,
                              std::vector<uint32_t> pages, uint64_t ticket) {
    Job job;
    job.table = table;
    job.layout = std::move(layout);
    job.pages = std::move(pages);
    job.ticket = ticket;
    push(std::move(job));
}

void EarlyChecks::indexWritten(const CatalogEntry& table, std::size_t i, uint32_t root,
                               uint64_t ticket) {
    Job job;
    job.kind = Job::kIndex;
    job.table = table;
    job.index = i;
    job.root = root;
    job.ticket = ticket;
    push(std::move(job));
}

void EarlyChecks::tableWritten(const CatalogEntry& table,
                               std::map<uint32_t, std::vector<uint32_t>> maps, uint64_t ticket) {
    Job job;
    job.table = table;
    job.kind = Job::kWhole;
    job.ticket = ticket;
    job.maps = std::move(maps);
    push(std::move(job));
}

void EarlyChecks::push(Job job) {
    telling_.assumeHeld();  // told by the copier, on its thread
    // Once no thread could be had, none is tried again: a thread that came
    // later would check a table from its middle.
    if (noWorker_) return;
    {
        MutexLock lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    more_.notifyOne();
    if (!worker_.started() && !worker_.tryStart([this] { work(); })) {
        noWorker_ = true;
        MutexLock lock(mutex_);
        jobs_.clear();  // no thread to spare: the whole copy is checked at the end
    }
}

const std::map<uint32_t, CheckedTable>& EarlyChecks::finish() {
    telling_.assumeHeld();
    {
        MutexLock lock(mutex_);
        closed_ = true;
    }
    more_.notifyOne();
    worker_.join();          // work() keeps its failures: each leaves its table to the end
    checking_.assumeHeld();  // the worker is joined: what it had is this thread's
    steps_.reset();
    copy_.reset();
    return done_;
}

void EarlyChecks::work() {
    checking_.assumeHeld();  // the worker's thread
    while (true) {
        Job job;
        {
            MutexLock lock(mutex_);
            while (!closed_ && jobs_.empty()) more_.wait(mutex_);
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        if (job.table.tdefPage() == failed_) continue;
        try {
            run(job);
        } catch (...) {
            // Left to the check of the whole copy, with what is still to
            // come of it.
            steps_.reset();
            failed_ = job.table.tdefPage();
        }
    }
}

void EarlyChecks::run(Job& job) {
    const uint32_t table = job.table.tdefPage();
    const bool inSteps = steps_ && steps_->table() == table;
    uint32_t last = 0;  // the last page checked
    if (job.kind == Job::kRows) {
        if (out_) out_->waitWritten(job.ticket);
        if (!inSteps) {
            steps_.reset();
            steps_ = std::make_unique<TableCheck>(copy(), job.table, *job.layout, options_);
        }
        steps_->rows(job.pages);
        last = job.pages.empty() ? 0 : job.pages.back();
    } else if (job.kind == Job::kIndex) {
        if (!inSteps) return;  // its check failed to start: the whole check has it
        if (out_) out_->waitWritten(job.ticket);
        steps_->index(job.index, job.root);
    } else {
        if (out_) out_->waitWritten(job.ticket);
        CheckedTable t;
        if (inSteps) {
            t = steps_->finish(std::move(job.maps));
            steps_.reset();
        } else {
            steps_.reset();
            t = checkTableEarly(copy(), job.table, std::move(job.maps), options_);
        }
        const auto lastLive = std::max_element(t.livePages.begin(), t.livePages.end());
        if (lastLive != t.livePages.end()) last = *lastLive;
        done_.emplace(table, std::move(t));
    }
    // Pages are given out in turn, so what is checked ends with the last
    // page checked. Let go of it: a copy of gigabytes would otherwise fill
    // the page cache, pushing out what the rest of the machine uses, and
    // the system would find fresh memory for each page written; let go,
    // the same memory takes the pages written after. The first pages
    // (definitions, usage maps) are kept: tables checked later read them.
    if (last >= released_ && copy_) {
        copy_->file().releaseCached(released_, last + 1);
        released_ = last + 1;
    }
}

// The copy, opened once and taken again as it stands for each step: the
// file has grown since.
Database& EarlyChecks::copy() {
    if (!copy_) {
        copy_ = Database::open(env_, path_, password_, heldFd_);
    } else {
        copy_->refresh();
    }
    return *copy_;
}

}  // namespace jet
