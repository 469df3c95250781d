// The runtime services the compaction command and routine use.
#pragma once

#include "platform/DatabaseEngine.h"
#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "platform/NumberFormat.h"

namespace compaction {

struct Runtime {
    platform::MessageBox& messageBox;
    platform::FileSystem& files;
    platform::NumberFormat& numbers;
    platform::DatabaseEngineFactory& engines;
};

}  // namespace compaction
