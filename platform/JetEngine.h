// The adapter between our Jet 4 engine's results and the platform's engine
// interface, shared by the real engine and the test doubles that wrap it.
#pragma once

#include "jet/Compact.h"
#include "jet/InPlace.h"
#include "platform/DatabaseEngine.h"

namespace platform {

// The outcome of a compaction, or the engine's error raised as a RaisedError.
CompactOutcome outcomeOf(const jet::Result<jet::RepairSummary>& r);

}  // namespace platform
