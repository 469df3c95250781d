// Helpers for the fuzz targets: an input as a database file in memory.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// A file in memory holding the bytes, reachable by path while it lives.
class MemFile {
  public:
    MemFile(const uint8_t* data, std::size_t size) {
        fd_ = ::memfd_create("fuzz", 0);
        std::size_t done = 0;
        while (fd_ >= 0 && done < size) {
            ssize_t w = ::write(fd_, data + done, size - done);
            if (w <= 0) break;
            done += static_cast<std::size_t>(w);
        }
    }
    ~MemFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace fuzz
