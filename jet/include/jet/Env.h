// The engine's way to the operating system. Every call the engine makes on
// files and locks goes through an Env, and so does every one the platform's
// real file system makes: a program passes the one it wants with its request
// (none: Env::standard(), the system's own calls), and a test passes one
// that fails, shortens, pauses or counts any of them.
//
// Nothing here is the system's own type: a file is a FileHandle, what the
// system says of it a FileInfo, and a failure an OsError, whose code is how
// the engine tells causes apart and whose system number gives the message.
// The system's calls behind it live in EnvPosix.cpp and EnvWin32.cpp.
//
// The engine calls an Env from several threads at once. The one call it does
// not make through it is the removal of a temporary file when the process is
// interrupted, where only the system's own call is safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace jet {

// What went wrong, as far as the engine tells causes apart.
enum class OsErrc : uint8_t {
    kNone,
    kNotFound,      // no such file or folder
    kExists,        // a file of that name is already there
    kAccess,        // not allowed to this user
    kNoSpace,       // the disk or the user's quota is full
    kHeld,          // locked, or open, by another program
    kInterrupted,   // a signal came before anything was done: try again
    kNameTooLong,   // the name does not fit the file system
    kNotSupported,  // not on this system or file system
    kIo,            // the device failed
    kOther,
};

struct OsError {
    OsErrc code = OsErrc::kNone;
    int system = 0;  // errno, or GetLastError(); 0 for an error an Env made up
    explicit operator bool() const { return code != OsErrc::kNone; }
};

// The system's text for an error ("No space left on device"); for an error
// an Env made up, the text of its code.
std::string describe(const OsError& error);

template <typename T>
struct OsResult {
    T value{};
    OsError error;
    bool ok() const { return !error; }
};

// A file or folder the Env opened: a descriptor, or a Windows handle (which
// only ever has 32 significant bits).
using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;
// Names relative to it are relative to the working folder.
inline constexpr FileHandle kWorkingFolder = -100;

// Which file a name refers to: the volume, and the file's number on it.
struct FileId {
    uint64_t volume = 0;
    uint64_t high = 0, low = 0;  // 128 bits: an inode number, or FILE_ID_128
    bool operator==(const FileId&) const = default;
};

struct Timestamp {
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    bool operator==(const Timestamp&) const = default;
};

enum class FileType : uint8_t { kOther, kRegular, kFolder, kLink };

struct FileInfo {
    FileId id;
    FileType type = FileType::kOther;
    uint64_t size = 0;
    Timestamp modified;  // the contents
    Timestamp changed;   // the contents or anything the system keeps of the file
    uint32_t links = 1;  // names the file has
    // Owner, group and permission bits where the system has them (0 where
    // the file's access list says it all).
    uint32_t owner = 0, group = 0, permissions = 0;
};

// How a file is opened.
enum class OpenMode : uint8_t {
    kRead,          // an existing file, for reading
    kProbe,         // for reading, never blocking, never through a link at the
                    // name; refused (kHeld) where the system tells that another
                    // program has the file open for itself
    kCreate,        // a new file for writing, for this user alone (kExists if there)
    kCreateShared,  // the same, readable by others
    kCreateUpdate,  // a new file for reading and writing, for this user alone
};

// What the file system keeps of a file beside its permission bits, as far
// as it keeps anything (Linux's file attributes, chattr).
struct FileFlags {
    bool immutable = false;   // no change at all, not even a rename over it
    bool appendOnly = false;  // only added to; a folder: names added, none replaced
};

// One buffer of a read into several.
struct Buffer {
    void* data;
    std::size_t size;
};

// A stretch of a file for a byte-range lock; length 0 reaches past any end.
struct LockRange {
    uint64_t start = 0;
    uint64_t length = 0;
    bool exclusive = false;
};

// Another program's byte-range lock over a stretch, if there is one.
struct LockHolder {
    bool held = false;
    LockRange range;  // what it holds, where the system tells
};

class Env {
  public:
    virtual ~Env() = default;
    // The system's own calls; lives as long as the process.
    static Env& standard();

    // Names. A name "in" a folder is taken relative to that open folder.
    virtual OsResult<FileHandle> open(const std::string& path, OpenMode mode);
    virtual OsResult<FileHandle> openIn(FileHandle folder, const std::string& name, OpenMode mode);
    // A private file in folder that goes when it is closed (or when the
    // process ends), with no name or with one removed at once.
    virtual OsResult<FileHandle> openTemporary(const std::string& folder);
    virtual OsError remove(const std::string& path);
    // What the name refers to; with followLink false, a link itself.
    virtual OsResult<FileInfo> infoOf(const std::string& path, bool followLink);
    virtual OsResult<FileInfo> infoIn(FileHandle folder, const std::string& name, bool followLink);
    // Bytes free to this user on the file system that holds the path.
    virtual OsResult<uint64_t> freeSpace(const std::string& path);

    // Open files. Reads and writes give the bytes done (0 at the end of the
    // file, for a read), which may be fewer than asked.
    virtual OsResult<std::size_t> readAt(FileHandle file, void* buf, std::size_t n,
                                         uint64_t offset);
    // One read into several buffers, in order (a run of pages, each into its own).
    virtual OsResult<std::size_t> readPartsAt(FileHandle file, const Buffer* parts, int count,
                                              uint64_t offset);
    virtual OsResult<std::size_t> writeAt(FileHandle file, const void* buf, std::size_t n,
                                          uint64_t offset);
    // Waits until what was written is on the disk.
    virtual OsError flush(FileHandle file);
    // Starts writing back what is written so far, without waiting for it.
    virtual OsError startWriteBack(FileHandle file);
    // Advice that a stretch will not be read again soon.
    virtual OsError dropCached(FileHandle file, uint64_t offset, uint64_t length);
    virtual OsError setSize(FileHandle file, uint64_t size);
    virtual OsResult<FileInfo> infoOfFile(FileHandle file);
    virtual OsResult<uint64_t> freeSpaceOfFile(FileHandle file);
    // Another handle on the same open file, not passed to child processes.
    virtual OsResult<FileHandle> duplicate(FileHandle file);
    virtual OsError close(FileHandle file);

    // Locks, none of which waits. A byte-range lock belongs to the open file
    // (its duplicates too) and lasts until it is closed.
    virtual OsResult<LockHolder> lockOfOthers(FileHandle file, const LockRange& range);
    virtual OsError lockRange(FileHandle file, const LockRange& range);
    // The file for this open file alone: a second one taken on the same file
    // (by any process) fails with kHeld. Apart from the byte ranges: on
    // POSIX systems an flock, elsewhere an exclusive lock far past any data.
    virtual OsError lockAlone(FileHandle file);

    // What a program that rewrites a file in place needs besides (the
    // in-place compaction's steps, platform/FileSystem).
    // The path with every link and "." or ".." resolved.
    virtual OsResult<std::string> realPath(const std::string& path);
    // A folder held open, for the names in it.
    virtual OsResult<FileHandle> openFolder(const std::string& path);
    virtual OsError removeIn(FileHandle folder, const std::string& name);
    // Puts the file named from in the place of the one named to, in one
    // step. On Windows the file replaced gives the new one its access list
    // and attributes (ReplaceFileW); elsewhere the caller carries them over.
    virtual OsError renameIn(FileHandle folder, const std::string& from, const std::string& to);
    // A further name, to, for the file named from.
    virtual OsError linkIn(FileHandle folder, const std::string& from, const std::string& to);
    // The owner and group, and the permission bits (POSIX systems).
    virtual OsError setOwner(FileHandle file, uint32_t owner, uint32_t group);
    virtual OsError setPermissions(FileHandle file, uint32_t permissions);
    // The flags of an open file or folder; kNotSupported where the file
    // system keeps none (and on Windows, which has none of these).
    virtual OsResult<FileFlags> fileFlags(FileHandle file);
    // Whether this user (its effective ids) may write the file named in the
    // folder, or, for a folder, add and remove names in it: kAccess when
    // not (with the system's number, EROFS, say, when its file system is
    // read-only).
    virtual OsError mayWrite(FileHandle folder, const std::string& name);
    // Whether the open file is the root of a mount: a file mounted over its
    // name (nothing can then be renamed over it). kNotSupported where the
    // system cannot tell (Linux before 5.8, Windows).
    virtual OsResult<bool> isMountRoot(FileHandle file);
    // The longest name the folder takes, in bytes (0: not known).
    virtual OsResult<std::size_t> longestName(FileHandle folder);
    // Extended attributes (access lists among them, as "system.posix_acl_*")
    // of an open file. kNotSupported where the file system keeps none; a
    // missing one is kNotFound. None on Windows, whose ReplaceFileW carries
    // a file's own over.
    virtual OsResult<std::vector<std::string>> attributeNames(FileHandle file);
    virtual OsResult<std::string> attribute(FileHandle file, const std::string& name);
    virtual OsError setAttribute(FileHandle file, const std::string& name, const std::string& text);
    virtual OsError removeAttribute(FileHandle file, const std::string& name);
};

// A file or folder an Env opened, closed through it when this goes (also
// when a constructor throws). Moves, never copies.
class OwnedFile {
  public:
    explicit OwnedFile(Env& env, FileHandle file = kNoFile) : env_(&env), file_(file) {}
    ~OwnedFile() { reset(); }
    OwnedFile(OwnedFile&& other) noexcept : env_(other.env_), file_(other.release()) {}
    OwnedFile& operator=(OwnedFile&& other) noexcept {
        if (this != &other) {
            reset();
            env_ = other.env_;
            file_ = other.release();
        }
        return *this;
    }
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;

    FileHandle get() const { return file_; }
    explicit operator bool() const { return file_ != kNoFile; }
    // Closes what it holds, and holds file instead.
    void reset(FileHandle file = kNoFile) {
        if (file_ != kNoFile) env_->close(file_);
        file_ = file;
    }
    // Lets go of the file without closing it.
    FileHandle release() {
        const FileHandle file = file_;
        file_ = kNoFile;
        return file;
    }

  private:
    Env* env_;
    FileHandle file_;
};

// The Env a request names, or the standard one.
inline Env& envOr(Env* env) { return env ? *env : Env::standard(); }

}  // namespace jet
