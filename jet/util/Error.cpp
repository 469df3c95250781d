// The helpers that build errors.
#include "util/Failure.h"

namespace jet {

Error makeError(ErrorCode code, std::string description) {
    Error e;
    e.number = static_cast<int32_t>(code);
    e.description = std::move(description);
    return e;
}

Error damage(const std::string& what, uint32_t page, int row) {
    std::string text = "The database is damaged: " + what + " (page " + std::to_string(page);
    if (row >= 0) text += ", row " + std::to_string(row);
    text += ").";
    Error e = makeError(ErrorCode::kDamaged, std::move(text));
    e.page = page;
    if (row >= 0) e.row = static_cast<uint32_t>(row);
    return e;
}

Error damage(const DamagedTable& table, const std::string& what, uint32_t page, int row) {
    Error e = damage("table '" + table.name + "'" + what, page, row);
    e.table = table.name;
    e.tablePage = table.definitionPage;
    return e;
}

Error namedFor(const DamagedTable& table, Error e) {
    static const std::string kDamaged = "The database is damaged: ";
    const std::string names = "table '" + table.name + "': ";
    if (e.description.rfind(kDamaged, 0) == 0) {
        e.description.insert(kDamaged.size(), names);
    } else {
        e.description = "In " + names + e.description;
    }
    e.table = table.name;
    e.tablePage = table.definitionPage;
    return e;
}

void fail(ErrorCode code, std::string description) {
    throw JetException(makeError(code, std::move(description)));
}

void failDamage(const std::string& what, uint32_t page, int row) {
    throw JetException(damage(what, page, row));
}

void failDamage(const DamagedTable& table, const std::string& what, uint32_t page, int row) {
    throw JetException(damage(table, what, page, row));
}

}  // namespace jet
