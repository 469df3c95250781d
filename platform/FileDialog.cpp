#include "platform/FileDialog.h"

#include <unistd.h>

#include <climits>

namespace platform {

std::vector<NameFilter> parseFilter(const std::string& filter) {
    std::vector<std::string> fields;
    std::string cur;
    for (char c : filter) {
        if (c == '|') {
            fields.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) fields.push_back(cur);
    std::vector<NameFilter> out;
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
        if (fields[i].empty() && fields[i + 1].empty()) continue;
        out.push_back({fields[i], fields[i + 1]});
    }
    return out;
}

std::string programFolder() {
    std::string buf(static_cast<std::size_t>(PATH_MAX), '\0');
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0) return ".";
    buf.resize(static_cast<std::size_t>(n));
    std::size_t slash = buf.find_last_of('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : buf.substr(0, slash));
}

}  // namespace platform
