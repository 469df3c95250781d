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
    return makeError(ErrorCode::kDamaged, std::move(text));
}

void fail(ErrorCode code, std::string description) {
    throw JetException(makeError(code, std::move(description)));
}

void failDamage(const std::string& what, uint32_t page, int row) {
    throw JetException(damage(what, page, row));
}

}  // namespace jet
