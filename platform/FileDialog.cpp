#include "platform/FileDialog.h"

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

}  // namespace platform
