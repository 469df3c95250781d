// The form engine's handling of errors that no procedure traps: the error is
// shown in one critical message and the program goes on.
#pragma once

#include <functional>
#include <string>

#include "platform/MessageBox.h"

namespace platform {

inline constexpr const char* kTitle = "Maintenance - QW DBASE";

// Runs an event handler; an error it raises is shown, never lets the program end.
void runHandler(const std::function<void()>& handler, MessageBox& messageBox);

}  // namespace platform
