// Compacts a database as jet4 compact does and counts what the engine read
// of each file through its Env: the source, the copy (read back by the
// check of it) and temporary files. The copy's figure against its size
// shows how many times the check reads the copy.
//
// Usage: jet4-readback SOURCE DEST
// Prints one line per kind of file: "source|copy|temporary BYTES", then
// "copy-size BYTES" and "copy-read-ratio R".
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include "jet/Compact.h"
#include "jet/Env.h"
#include "platform/Process.h"

namespace {

// The standard calls, with the bytes read counted by the file they were
// read from. Only reads, opens, duplicates and closes are its own.
class CountingEnv : public jet::Env {
  public:
    CountingEnv(std::string source, std::string copy)
        : source_(std::move(source)), copy_(std::move(copy)) {}

    jet::OsResult<jet::FileHandle> open(const std::string& path, jet::OpenMode mode) override {
        auto r = real().open(path, mode);
        if (r.ok()) name(r.value, kindOf(path));
        return r;
    }
    jet::OsResult<jet::FileHandle> openTemporary(const std::string& folder) override {
        auto r = real().openTemporary(folder);
        if (r.ok()) name(r.value, "temporary");
        return r;
    }
    jet::OsResult<jet::FileHandle> duplicate(jet::FileHandle file) override {
        auto r = real().duplicate(file);
        if (r.ok()) {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = kinds_.find(file);
            kinds_[r.value] = it == kinds_.end() ? "other" : it->second;
        }
        return r;
    }
    jet::OsError close(jet::FileHandle file) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            kinds_.erase(file);
        }
        return real().close(file);
    }
    jet::OsResult<std::size_t> readAt(jet::FileHandle file, void* buf, std::size_t n,
                                      uint64_t offset) override {
        auto r = real().readAt(file, buf, n, offset);
        if (r.ok()) count(file, r.value);
        return r;
    }
    jet::OsResult<std::size_t> readPartsAt(jet::FileHandle file, const jet::Buffer* parts,
                                           int count, uint64_t offset) override {
        auto r = real().readPartsAt(file, parts, count, offset);
        if (r.ok()) this->count(file, r.value);
        return r;
    }

    // Bytes read, by kind of file.
    std::map<std::string, uint64_t> read() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return read_;
    }

  private:
    static jet::Env& real() { return jet::Env::standard(); }
    std::string kindOf(const std::string& path) const {
        if (path == source_) return "source";
        if (path == copy_) return "copy";
        return "other";
    }
    void name(jet::FileHandle file, std::string kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        kinds_[file] = std::move(kind);
    }
    void count(jet::FileHandle file, std::size_t n) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = kinds_.find(file);
        read_[it == kinds_.end() ? "other" : it->second] += n;
    }

    std::string source_, copy_;
    mutable std::mutex mutex_;
    std::map<jet::FileHandle, std::string> kinds_;
    std::map<std::string, uint64_t> read_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: jet4-readback SOURCE DEST\n";
        return 2;
    }
    platform::keepLargeFreedBlocks();  // as the jet4 tool does
    CountingEnv env(argv[1], argv[2]);
    jet::CompactRequest req;
    req.sourcePath = argv[1];
    req.destinationPath = argv[2];
    req.env = &env;
    auto r = jet::compactFile(req);
    if (!r) {
        std::cerr << "jet4-readback: " << r.error().description << "\n";
        return 1;
    }
    const auto read = env.read();
    for (const char* kind : {"source", "copy", "temporary", "other"}) {
        auto it = read.find(kind);
        std::cout << kind << " " << (it == read.end() ? 0 : it->second) << "\n";
    }
    const uint64_t size = uint64_t{r.value().destinationPages} * 4096;
    auto copy = read.find("copy");
    const double ratio =
        size == 0 || copy == read.end() ? 0.0 : double(copy->second) / double(size);
    std::cout << "copy-size " << size << "\n";
    std::printf("copy-read-ratio %.2f\n", ratio);
    return 0;
}
