// What both programs set up first, before any file is opened.
#pragma once

namespace platform {

// Standard streams the caller closed are reopened on /dev/null: otherwise the
// files a run opens would take their numbers, and a message written to one
// would land in the database's copy. SIGPIPE (a reader that stops early,
// `jet4 dump | head`) and SIGXFSZ (a file size limit met while the copy is
// written) are ignored: the write fails instead, and the run ends with a
// message and removes its copy. False when a stream cannot be reopened.
bool prepareProcess();

}  // namespace platform
