// Where Windows keeps the database the product really uses. A program
// without a manifest (32-bit, run by a user who is not an administrator
// with the rights raised) that writes in a folder Windows protects (the
// programs' folders, the Windows folder, ProgramData) has its writes put in
// the user's VirtualStore folder instead, under the same path less the
// drive; once a copy is there, that program reads the copy. The product is
// such a program: when its database lies in such a folder and the user's
// VirtualStore holds a copy, the copy is the database it uses.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct ProtectedFolders {
    std::vector<std::string> folders;  // full paths, as C:\Program Files
    std::string virtualStore;          // the user's, as C:\Users\u\AppData\Local\VirtualStore
};

// The path in the VirtualStore that stands for a full path in a protected
// folder ("" for a path in none): the folder compared without regard to
// case, as Windows compares names.
std::string virtualStorePathOf(const std::string& fullPath, const ProtectedFolders& protectedBy);

// Windows only (VirtualStoreWin32.cpp): this system's protected folders and
// the user's VirtualStore, and the full, long form of a path (no "..", no
// 8.3 names) where the system can give it (the path itself otherwise).
ProtectedFolders systemProtectedFolders();
std::string fullLongPath(const std::string& path);

}  // namespace platform
