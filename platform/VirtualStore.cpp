#include "platform/VirtualStore.h"

namespace platform {

namespace {

// Windows keeps these folders' names in ASCII whatever the language (only
// the names shown to the user are translated), so ASCII case is the case
// that matters here.
char folded(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Whether path lies inside folder (not the folder itself).
bool inside(const std::string& path, std::string folder) {
    while (!folder.empty() && isSeparator(folder.back())) folder.pop_back();
    if (folder.empty() || path.size() <= folder.size() + 1) return false;
    for (std::size_t i = 0; i < folder.size(); ++i) {
        const bool bothSeparators = isSeparator(path[i]) && isSeparator(folder[i]);
        if (!bothSeparators && folded(path[i]) != folded(folder[i])) return false;
    }
    return isSeparator(path[folder.size()]);
}

}  // namespace

std::string virtualStorePathOf(const std::string& fullPath, const ProtectedFolders& protectedBy) {
    if (protectedBy.virtualStore.empty()) return "";
    // "C:\..." only: the VirtualStore keeps the path less its drive letter.
    if (fullPath.size() < 4 || fullPath[1] != ':' || !isSeparator(fullPath[2])) return "";
    bool isProtected = false;
    for (const std::string& folder : protectedBy.folders)
        isProtected = isProtected || inside(fullPath, folder);
    if (!isProtected) return "";
    std::string store = protectedBy.virtualStore;
    while (!store.empty() && isSeparator(store.back())) store.pop_back();
    return store + "\\" + fullPath.substr(3);
}

}  // namespace platform
