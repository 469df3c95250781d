// Reading the per-character table of the General (legacy) sort order from its
// tab-separated source (one line a code unit, U+0000 to U+D7FF and U+E000 to
// U+FFFF: the surrogates' codes are computed), and turning it into the runs
// the engine stores.
#pragma once

#include <string>
#include <vector>

#include "keys/TextKeyTable.h"

namespace keytable {

// The code of every unit, indexed by unit (U+0000 to U+FFFF, the
// surrogates' left as kNone); on failure empty, with error naming the line.
std::vector<jet::TextKeyCode> readGeneralLegacyTsv(const std::string& path, std::string& error);

// The fewest runs (greedily, in unit order) that give back exactly codes,
// the surrogates left out.
std::vector<jet::TextKeyRun> makeRuns(const std::vector<jet::TextKeyCode>& codes);

// The runs as the C++ source of GeneralLegacyTable.inc.
std::string runsSource(const std::vector<jet::TextKeyRun>& runs);

}  // namespace keytable
