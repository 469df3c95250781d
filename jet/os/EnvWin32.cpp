// The standard Env on Windows: CreateFileW and its kin, paths taken as UTF-8
// and handed to the system as UTF-16. A handle travels as an int (Windows
// handles have 32 significant bits, HandleToLong). Reads and writes give
// their offset in an OVERLAPPED, so threads share a handle as they share a
// descriptor with pread and pwrite.
//
// Byte-range locks are LockFileEx's. Windows cannot be asked who holds a
// range, so a range is tried and let go again. The lock for one alone is an
// exclusive lock on the last bytes a file could have, past any data and past
// the ranges Microsoft's engine locks; the shared lock over the whole file
// reaches up to it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "jet/Env.h"
#include "jet/WideText.h"

namespace jet {

namespace {

constexpr uint64_t kAloneAt = 0xFFFFFFFFFFFFFFF0ull;  // the lock for one alone
constexpr uint64_t kAloneLength = 1;

HANDLE toHandle(FileHandle file) { return LongToHandle(file); }
FileHandle fromHandle(HANDLE h) { return HandleToLong(h); }

OsErrc codeOf(DWORD err) {
    switch (err) {
        case ERROR_SUCCESS:
            return OsErrc::kNone;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return OsErrc::kNotFound;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return OsErrc::kExists;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_PRIVILEGE_NOT_HELD:
            return OsErrc::kAccess;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return OsErrc::kNoSpace;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_IO_PENDING:
            return OsErrc::kHeld;
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BUFFER_OVERFLOW:
            return OsErrc::kNameTooLong;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
        case ERROR_CALL_NOT_IMPLEMENTED:
        case ERROR_INVALID_PARAMETER:
            return OsErrc::kNotSupported;
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT:
        case ERROR_IO_DEVICE:
            return OsErrc::kIo;
        default:
            return OsErrc::kOther;
    }
}

OsError lastError() {
    const DWORD err = GetLastError();
    return OsError{codeOf(err), static_cast<int>(err)};
}

template <typename T>
OsResult<T> value(T v) {
    return OsResult<T>{v, {}};
}

template <typename T>
OsResult<T> failed() {
    return OsResult<T>{T{}, lastError()};
}

OsError orError(BOOL ok) { return ok ? OsError{} : lastError(); }

OsResult<FileHandle> handle(HANDLE h) {
    return h != INVALID_HANDLE_VALUE ? value(fromHandle(h)) : failed<FileHandle>();
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct OpenFlags {
    DWORD access, share, disposition, attributes;
};

OpenFlags flagsOf(OpenMode mode) {
    switch (mode) {
        case OpenMode::kRead:
            return {GENERIC_READ, kShareAll, OPEN_EXISTING, 0};
        // Shared for reading and deletion, not writing: a program that has
        // the file open for writing (Microsoft's engine with a database or
        // its lock file open) makes it fail as held, and none opens it for
        // writing while it is held.
        case OpenMode::kProbe:
            return {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT};
        case OpenMode::kCreate:
        case OpenMode::kCreateShared:
            return {GENERIC_WRITE, kShareAll, CREATE_NEW, 0};
        case OpenMode::kCreateUpdate:
            return {GENERIC_READ | GENERIC_WRITE, kShareAll, CREATE_NEW, 0};
    }
    return {GENERIC_READ, kShareAll, OPEN_EXISTING, 0};
}

HANDLE openWide(const std::wstring& path, const OpenFlags& f) {
    return CreateFileW(path.c_str(), f.access, f.share, nullptr, f.disposition,
                       FILE_ATTRIBUTE_NORMAL | f.attributes, nullptr);
}

// The full name of an open file or folder, as the system gives it
// ("\\?\C:\folder\file").
bool finalPath(HANDLE h, std::wstring& out) {
    std::wstring buf(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return false;
        if (n < buf.size()) {
            buf.resize(n);
            out = buf;
            return true;
        }
        buf.assign(n + 1, L'\0');
    }
    return false;
}

// A name in an open folder as a full path (names with '/' as well as '\\').
bool pathIn(FileHandle folder, const std::string& name, std::wstring& out) {
    std::wstring wide = widen(name);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    if (folder == kWorkingFolder) {
        out = wide;
        return true;
    }
    std::wstring base;
    if (!finalPath(toHandle(folder), base)) return false;
    out = base + L"\\" + wide;
    return true;
}

// A time of the file system (100 ns steps since 1601) as seconds since 1970.
Timestamp timeOf(int64_t ticks) {
    constexpr int64_t kFrom1601 = 116444736000000000LL;
    const int64_t since = ticks - kFrom1601;
    int64_t seconds = since / 10000000;
    int64_t rest = since % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return Timestamp{seconds, static_cast<uint32_t>(rest * 100)};
}

int64_t ticksOf(const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

FileType typeOf(HANDLE h, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FileType::kLink;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileType::kFolder;
    return GetFileType(h) == FILE_TYPE_DISK ? FileType::kRegular : FileType::kOther;
}

// The 128-bit file id (ReFS has no 64-bit one) is asked of Windows 8 and
// later; Windows 7 refuses the class, and the 64-bit index stands. Its
// record, which the Windows 7 headers do not declare, is FILE_ID_INFO's.
struct FileIdRecord {
    ULONGLONG VolumeSerialNumber;
    BYTE FileId[16];
};
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);  // FileIdInfo

OsResult<FileInfo> infoOfHandle(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION bh{};
    if (!GetFileInformationByHandle(h, &bh)) return failed<FileInfo>();
    FileInfo info;
    info.id.volume = bh.dwVolumeSerialNumber;
    info.id.low = (static_cast<uint64_t>(bh.nFileIndexHigh) << 32) | bh.nFileIndexLow;
    FileIdRecord ids{};
    if (GetFileInformationByHandleEx(h, kFileIdInfo, &ids, sizeof ids)) {
        uint64_t parts[2];
        static_assert(sizeof parts == sizeof ids.FileId);
        std::memcpy(parts, ids.FileId, sizeof parts);
        info.id.volume = ids.VolumeSerialNumber;
        info.id.low = parts[0];
        info.id.high = parts[1];
    }
    info.type = typeOf(h, bh.dwFileAttributes);
    info.size = (static_cast<uint64_t>(bh.nFileSizeHigh) << 32) | bh.nFileSizeLow;
    info.modified = timeOf(ticksOf(bh.ftLastWriteTime));
    info.changed = info.modified;
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        info.changed = timeOf(basic.ChangeTime.QuadPart);
    info.links = bh.nNumberOfLinks;
    // What the attributes say of writing; the access list says the rest.
    info.permissions = (bh.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    return value(info);
}

// Opens the name only to ask about it.
HANDLE openToAsk(const std::wstring& path, bool followLink) {
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                       nullptr);
}

OsResult<FileInfo> infoOfPath(const std::wstring& path, bool followLink) {
    const HANDLE h = openToAsk(path, followLink);
    if (h == INVALID_HANDLE_VALUE) return failed<FileInfo>();
    auto info = infoOfHandle(h);
    CloseHandle(h);
    return info;
}

OsResult<uint64_t> roomIn(const std::wstring& folder) {
    ULARGE_INTEGER freeToCaller{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &freeToCaller, nullptr, nullptr))
        return failed<uint64_t>();
    return value(static_cast<uint64_t>(freeToCaller.QuadPart));
}

OVERLAPPED at(uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

// One call moves at most this much (a DWORD counts it).
constexpr std::size_t kMostAtOnce = std::size_t{1} << 30;

// The stretch a LockRange names; length 0 reaches up to the lock for one alone.
void stretchOf(const LockRange& range, OVERLAPPED& o, DWORD& low, DWORD& high) {
    o = at(range.start);
    const uint64_t length = range.length != 0        ? range.length
                            : range.start < kAloneAt ? kAloneAt - range.start
                                                     : 1;
    low = static_cast<DWORD>(length);
    high = static_cast<DWORD>(length >> 32);
}

OsError lockStretch(HANDLE h, const LockRange& range) {
    OVERLAPPED o;
    DWORD low, high;
    stretchOf(range, o, low, high);
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (range.exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return orError(LockFileEx(h, flags, 0, low, high, &o));
}

void unlockStretch(HANDLE h, const LockRange& range) {
    OVERLAPPED o;
    DWORD low, high;
    stretchOf(range, o, low, high);
    UnlockFileEx(h, 0, low, high, &o);
}

// Whether the stretch can be locked so now; it is let go again at once.
OsResult<bool> free(HANDLE h, const LockRange& range) {
    const OsError e = lockStretch(h, range);
    if (!e) {
        unlockStretch(h, range);
        return value(true);
    }
    if (e.code == OsErrc::kHeld) return value(false);
    return OsResult<bool>{false, e};
}

// A fresh name for a temporary file in folder.
std::wstring freshName(const std::wstring& folder) {
    static std::atomic<uint64_t> counter{0};
    wchar_t name[80];
    std::swprintf(name, 80, L"\\.jet4-spill-%lu-%llx-%llx.tmp", GetCurrentProcessId(),
                  static_cast<unsigned long long>(GetTickCount64()),
                  static_cast<unsigned long long>(counter.fetch_add(1)));
    return folder + name;
}

}  // namespace

std::string describe(const OsError& error) {
    if (error.system == 0) {
        switch (error.code) {
            case OsErrc::kNone:
                return "Success";
            case OsErrc::kNotFound:
                return "No such file or folder";
            case OsErrc::kExists:
                return "The file exists";
            case OsErrc::kAccess:
                return "Access is denied";
            case OsErrc::kNoSpace:
                return "There is not enough space on the disk";
            case OsErrc::kHeld:
                return "The file is in use by another process";
            case OsErrc::kInterrupted:
                return "Interrupted";
            case OsErrc::kNameTooLong:
                return "The file name is too long";
            case OsErrc::kNotSupported:
                return "The request is not supported";
            case OsErrc::kIo:
                return "The request could not be performed because of an I/O device error";
            case OsErrc::kOther:
                break;
        }
        return "Unknown error";
    }
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error.system), 0, reinterpret_cast<wchar_t*>(&text), 0,
        nullptr);
    std::string said = n != 0 ? narrow(std::wstring(text, n)) : std::string();
    if (text) LocalFree(text);
    while (!said.empty() &&
           (said.back() == '\n' || said.back() == '\r' || said.back() == '.' || said.back() == ' '))
        said.pop_back();
    return said.empty() ? "Error " + std::to_string(error.system) : said;
}

Env& Env::standard() {
    static Env env;
    return env;
}

OsResult<FileHandle> Env::open(const std::string& path, OpenMode mode) {
    return openIn(kWorkingFolder, path, mode);
}

OsResult<FileHandle> Env::openIn(FileHandle folder, const std::string& name, OpenMode mode) {
    std::wstring path;
    if (!pathIn(folder, name, path)) return failed<FileHandle>();
    return handle(openWide(path, flagsOf(mode)));
}

OsResult<FileHandle> Env::openTemporary(const std::string& folder) {
    const std::wstring base = widen(folder);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const HANDLE h = CreateFileW(
            freshName(base).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) return value(fromHandle(h));
        if (GetLastError() != ERROR_FILE_EXISTS) return failed<FileHandle>();
    }
    return failed<FileHandle>();
}

OsError Env::remove(const std::string& path) { return orError(DeleteFileW(widen(path).c_str())); }

OsResult<FileInfo> Env::infoOf(const std::string& path, bool followLink) {
    return infoOfPath(widen(path), followLink);
}

OsResult<FileInfo> Env::infoIn(FileHandle folder, const std::string& name, bool followLink) {
    std::wstring path;
    if (!pathIn(folder, name, path)) return failed<FileInfo>();
    return infoOfPath(path, followLink);
}

OsResult<uint64_t> Env::freeSpace(const std::string& path) { return roomIn(widen(path)); }

OsResult<std::size_t> Env::readAt(FileHandle file, void* buf, std::size_t n, uint64_t offset) {
    OVERLAPPED o = at(offset);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(n < kMostAtOnce ? n : kMostAtOnce);
    if (ReadFile(toHandle(file), buf, want, &got, &o)) return value(std::size_t{got});
    if (GetLastError() == ERROR_HANDLE_EOF) return value(std::size_t{0});
    return failed<std::size_t>();
}

OsResult<std::size_t> Env::readPartsAt(FileHandle file, const Buffer* parts, int count,
                                       uint64_t offset) {
    std::size_t done = 0;
    for (int i = 0; i < count; ++i) {
        const auto got = readAt(file, parts[i].data, parts[i].size, offset + done);
        if (!got.ok()) return done != 0 ? value(done) : got;
        done += got.value;
        if (got.value < parts[i].size) break;
    }
    return value(done);
}

OsResult<std::size_t> Env::writeAt(FileHandle file, const void* buf, std::size_t n,
                                   uint64_t offset) {
    OVERLAPPED o = at(offset);
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(n < kMostAtOnce ? n : kMostAtOnce);
    if (WriteFile(toHandle(file), buf, want, &put, &o)) return value(std::size_t{put});
    return failed<std::size_t>();
}

OsError Env::flush(FileHandle file) { return orError(FlushFileBuffers(toHandle(file))); }

// Windows writes back by itself; there is no call to start it sooner.
OsError Env::startWriteBack(FileHandle) { return {}; }

// Nor one to drop a stretch from the cache.
OsError Env::dropCached(FileHandle, uint64_t, uint64_t) { return {}; }

OsError Env::setSize(FileHandle file, uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return orError(SetFileInformationByHandle(toHandle(file), FileEndOfFileInfo, &end, sizeof end));
}

OsResult<FileInfo> Env::infoOfFile(FileHandle file) { return infoOfHandle(toHandle(file)); }

OsResult<uint64_t> Env::freeSpaceOfFile(FileHandle file) {
    std::wstring path;
    if (!finalPath(toHandle(file), path)) return failed<uint64_t>();
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos) path.resize(slash + 1);
    return roomIn(path);
}

OsResult<FileHandle> Env::duplicate(FileHandle file) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, toHandle(file), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return failed<FileHandle>();
    return value(fromHandle(copy));
}

OsError Env::close(FileHandle file) { return orError(CloseHandle(toHandle(file))); }

OsResult<LockHolder> Env::lockOfOthers(FileHandle file, const LockRange& range) {
    const HANDLE h = toHandle(file);
    auto exclusive = free(h, LockRange{range.start, range.length, true});
    if (!exclusive.ok()) return {LockHolder{}, exclusive.error};
    if (exclusive.value) return value(LockHolder{});
    // Held: shared locks alone still let a shared one be taken.
    auto shared = free(h, LockRange{range.start, range.length, false});
    LockHolder holder{true, LockRange{range.start, range.length, !(shared.ok() && shared.value)}};
    return value(holder);
}

OsError Env::lockRange(FileHandle file, const LockRange& range) {
    return lockStretch(toHandle(file), range);
}

OsError Env::lockAlone(FileHandle file) {
    return lockStretch(toHandle(file), LockRange{kAloneAt, kAloneLength, true});
}

OsResult<std::string> Env::realPath(const std::string& path) {
    const HANDLE h = openToAsk(widen(path), true);
    if (h == INVALID_HANDLE_VALUE) return failed<std::string>();
    std::wstring full;
    const bool got = finalPath(h, full);
    CloseHandle(h);
    if (!got) return failed<std::string>();
    if (full.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        full = L"\\\\" + full.substr(8);
    } else if (full.rfind(L"\\\\?\\", 0) == 0) {
        full = full.substr(4);
    }
    return value(narrow(full));
}

OsResult<FileHandle> Env::openFolder(const std::string& path) {
    return handle(CreateFileW(widen(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

OsError Env::removeIn(FileHandle folder, const std::string& name) {
    std::wstring path;
    if (!pathIn(folder, name, path)) return lastError();
    return orError(DeleteFileW(path.c_str()));
}

// The file replaced gives the new one its access list and attributes; where
// the file system cannot (or nothing is there yet), a plain replacing move,
// written through before it returns.
OsError Env::renameIn(FileHandle folder, const std::string& from, const std::string& to) {
    std::wstring source, target;
    if (!pathIn(folder, from, source) || !pathIn(folder, to, target)) return lastError();
    if (ReplaceFileW(target.c_str(), source.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                     nullptr, nullptr))
        return {};
    const DWORD err = GetLastError();
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT(_2): both files are as they were.
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_UNABLE_TO_REMOVE_REPLACED &&
        err != ERROR_NOT_SUPPORTED && err != ERROR_INVALID_PARAMETER)
        return OsError{codeOf(err), static_cast<int>(err)};
    return orError(MoveFileExW(source.c_str(), target.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

OsError Env::linkIn(FileHandle folder, const std::string& from, const std::string& to) {
    std::wstring source, target;
    if (!pathIn(folder, from, source) || !pathIn(folder, to, target)) return lastError();
    return orError(CreateHardLinkW(target.c_str(), source.c_str(), nullptr));
}

// Windows keeps these in the access list, which ReplaceFileW carries over.
OsError Env::setOwner(FileHandle, uint32_t, uint32_t) { return {OsErrc::kNotSupported, 0}; }
OsError Env::setPermissions(FileHandle, uint32_t) { return {OsErrc::kNotSupported, 0}; }

// Windows has no immutable or append-only flag; its read-only attribute is
// the permission bits' (infoOfFile).
OsResult<FileFlags> Env::fileFlags(FileHandle) { return {{}, {OsErrc::kNotSupported, 0}}; }

// The read-only attribute; the access list is asked when the file is opened.
OsError Env::mayWrite(FileHandle folder, const std::string& name) {
    std::wstring path;
    if (!pathIn(folder, name, path)) return lastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return lastError();
    const bool readOnly =
        (attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return readOnly ? OsError{OsErrc::kAccess, ERROR_ACCESS_DENIED} : OsError{};
}

// Windows mounts volumes on folders only, and a rename over a file is never
// refused for it: nothing to tell.
OsResult<bool> Env::isMountRoot(FileHandle) { return {false, {OsErrc::kNotSupported, 0}}; }

// NTFS, FAT and ReFS all take 255 UTF-16 units, so at least as many bytes.
OsResult<std::size_t> Env::longestName(FileHandle) { return value(std::size_t{255}); }

// ReplaceFileW carries a file's extended attributes and streams over itself.
OsResult<std::vector<std::string>> Env::attributeNames(FileHandle) {
    return {{}, {OsErrc::kNotSupported, 0}};
}
OsResult<std::string> Env::attribute(FileHandle, const std::string&) {
    return {{}, {OsErrc::kNotSupported, 0}};
}
OsError Env::setAttribute(FileHandle, const std::string&, const std::string&) {
    return {OsErrc::kNotSupported, 0};
}
OsError Env::removeAttribute(FileHandle, const std::string&) { return {OsErrc::kNotSupported, 0}; }

}  // namespace jet
