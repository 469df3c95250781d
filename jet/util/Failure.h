// Inside the engine, failures travel as exceptions: damage found in the file
// and refused operations are thrown as JetException and turned into an Error
// at the public entry points (guard). Nothing here crosses the public face.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "jet/Error.h"

namespace jet {

// Damage found in the file: the description names the table (when known), the
// page and, where it applies, the row; the error's fields hold the same.
Error damage(const std::string& what, uint32_t page, int row = -1);

// A table that damage was found in: its name and its definition page. Its
// description begins "table 'name'", followed by what.
struct DamagedTable {
    const std::string& name;
    uint32_t definitionPage = 0;
};
Error damage(const DamagedTable& table, const std::string& what, uint32_t page, int row = -1);

// Thrown inside the engine only; the public entry points turn it into an Error.
class JetException : public std::exception {
  public:
    explicit JetException(Error e) : error_(std::move(e)) {}
    const Error& error() const { return error_; }
    const char* what() const noexcept override { return error_.description.c_str(); }

  private:
    Error error_;
};

[[noreturn]] void fail(ErrorCode code, std::string description);
[[noreturn]] void failDamage(const std::string& what, uint32_t page, int row = -1);
[[noreturn]] void failDamage(const DamagedTable& table, const std::string& what, uint32_t page,
                             int row = -1);

// Damage found while table was read or written, said to be the table's in
// its text as in its fields.
Error namedFor(const DamagedTable& table, Error e);

// Runs f; damage it meets whose place names no table is the given table's
// (found while that table was read or written).
template <typename F>
void withinTable(const DamagedTable& table, F&& f) {
    try {
        f();
    } catch (const JetException& e) {
        if (e.error().code() != ErrorCode::kDamaged || e.error().tablePage) throw;
        throw JetException(namedFor(table, e.error()));
    }
}

// Runs f, turning a JetException (or an allocation failure) into an Error.
template <typename F>
auto guard(F&& f) -> Result<decltype(f())> {
    try {
        return f();
    } catch (const JetException& e) {
        return e.error();
    } catch (const std::bad_alloc&) {
        return makeError(ErrorCode::kTooLarge, "Not enough memory to complete the operation.");
    } catch (const std::system_error& e) {  // a thread the system would not start
        return makeError(ErrorCode::kIo,
                         std::string("The system refused the operation: ") + e.what() + ".");
    }
}

}  // namespace jet
