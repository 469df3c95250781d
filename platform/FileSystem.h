// The file operations of the runtime. Each raises a RaisedError when the
// operation fails.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // The name of the file the path names, or "" when no normal file does.
    // The path is taken literally; only regular files count, not hidden
    // ones (a name starting with "."), folders, devices, sockets or pipes.
    virtual std::string lookUp(const std::string& path) = 0;
    // The file's size in bytes.
    virtual int64_t length(const std::string& path) = 0;
    virtual void remove(const std::string& path) = 0;
    virtual void rename(const std::string& from, const std::string& to) = 0;
    // Makes a written file durable.
    virtual void flush(const std::string& path) = 0;
    // Replaces target with the file at from in one step: from takes target's
    // permission bits (and owner where allowed), is renamed over the file the
    // target names (through a symbolic link, which stays a link), and the
    // folder is flushed. On failure target is untouched and from stays.
    virtual void replace(const std::string& from, const std::string& target) = 0;
};

// The real file system.
class PosixFileSystem : public FileSystem {
  public:
    std::string lookUp(const std::string& path) override;
    int64_t length(const std::string& path) override;
    void remove(const std::string& path) override;
    void rename(const std::string& from, const std::string& to) override;
    void flush(const std::string& path) override;
    void replace(const std::string& from, const std::string& target) override;
};

}  // namespace platform
