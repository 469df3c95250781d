// What both programs set up first, before any file is opened.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// Standard streams the caller closed are reopened on /dev/null: otherwise the
// files a run opens would take their numbers, and a message written to one
// would land in the database's copy. SIGPIPE (a reader that stops early,
// `jet4 dump | head`) and SIGXFSZ (a file size limit met while the copy is
// written) are ignored: the write fails instead, and the run ends with a
// message and removes its copy. False when a stream cannot be reopened.
// On Windows: the console writes UTF-8, and Ctrl+C and the closing of the
// console take the run's temporary files with them (jet::RemoveOnInterrupt).
bool prepareProcess();

// For a program that compacts large databases: large freed blocks are kept
// instead of being handed back to the system. A compaction allocates and
// frees index trees of tens of megabytes, table after table; by default glibc
// returns such blocks at once and the next table faults them in again page by
// page, which costs a compaction of gigabytes about a tenth of its time. Call
// once at start-up, before any thread starts. Nothing to do on Windows.
void keepLargeFreedBlocks();

// The program's arguments as UTF-8: argv itself on POSIX systems; on Windows
// the command line as the system holds it, in UTF-16 (CommandLineToArgvW),
// since the C library's argv has lost what the code page cannot show.
std::vector<std::string> commandArguments(int argc, char** argv);

// Whether the stream writes to a terminal (a console on Windows), where
// progress that rewrites its line may be shown.
bool isTerminal(std::FILE* stream);

}  // namespace platform
