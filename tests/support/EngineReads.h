// Reads of the engine's structures that only tests make: a whole index tree
// with its entries kept, the password a header stores.
#pragma once

#include <cstdint>
#include <string>

#include "format/Header.h"
#include "format/IndexPage.h"
#include "format/PageFile.h"

namespace jet {

// Walks the tree from its root as the engine does (bounded in depth, never a
// page twice), keeping every leaf entry.
IndexTree readIndexTree(PageFile& file, uint32_t root, uint32_t owner, const std::string& what);

}  // namespace jet

namespace testsupport {

// The password page 0 stores, as UTF-8.
std::string storedPassword(const jet::Header& h);

}  // namespace testsupport
