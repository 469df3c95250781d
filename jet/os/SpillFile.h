// Temporary files for what a run cannot hold in memory (sorted runs of
// records, orders of rows). They are private to the process (this user's
// alone, created exclusively) and never outlive it: where the system allows,
// a file is created without a name or to go when it is closed
// (Env::openTemporary), so there is nothing to remove; otherwise it is
// created under a fresh name, registered for removal on a signal, and
// removed at once, so that it lives only as long as it is open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jet/Env.h"

namespace jet {

// Where temporary files may go, in order of preference.
struct SpillFolders {
    std::vector<std::string> folders;
    Env* env = &Env::standard();  // the calls the files are made and used with
    // The folder of the file being written (it is on a disk with room for
    // it), then the system's temporary folder ($TMPDIR, else /tmp).
    static SpillFolders near(Env& env, const std::string& path);
    // The system's temporary folder alone.
    static SpillFolders system(Env& env = Env::standard());
};

class SpillFile {
  public:
    // A new, empty file in the first folder that takes one. Fails (kNoSpace,
    // kFileAccess) when none does.
    static std::unique_ptr<SpillFile> create(const SpillFolders& where);
    ~SpillFile();
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    // Appends bytes, written in large pieces.
    void append(const void* data, std::size_t n);
    // Bytes appended so far.
    uint64_t size() const { return size_; }
    // Reads n bytes at offset; anything appended before can be read.
    void read(uint64_t offset, void* out, std::size_t n);

  private:
    SpillFile(Env& env, FileHandle fd, std::string folder)
        : env_(env), fd_(fd), folder_(std::move(folder)) {}
    void writeBuffer();
    [[noreturn]] void failIo(const OsError& err) const;

    static constexpr std::size_t kBufferBytes = 256u << 10;
    Env& env_;
    FileHandle fd_;
    std::string folder_;  // for messages
    uint64_t size_ = 0;
    uint64_t written_ = 0;  // bytes in the file; the rest are in buffer_
    std::vector<uint8_t> buffer_;
};

// Reads a stretch of a spill file from start to end in order, a buffer at a
// time.
class SpillReader {
  public:
    SpillReader(SpillFile& file, uint64_t begin, uint64_t end, std::size_t buffer)
        : file_(&file), pos_(begin), end_(end), capacity_(buffer < 64 ? 64 : buffer) {}
    bool atEnd() const { return next_ == buffer_.size() && pos_ == end_; }
    // The next n bytes; valid until the next call. Fails when fewer remain.
    const uint8_t* take(std::size_t n);

  private:
    SpillFile* file_;
    uint64_t pos_, end_;  // what is left in the file
    std::size_t capacity_;
    std::vector<uint8_t> buffer_;
    std::size_t next_ = 0;
};

}  // namespace jet
