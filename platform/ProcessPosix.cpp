// The process on POSIX systems.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <climits>
#include <csignal>

#include "jet/Path.h"
#include "platform/FileDialog.h"
#include "platform/Process.h"

namespace platform {

bool prepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0)
            return false;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

void keepLargeFreedBlocks() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts on 64-bit systems
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
}

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

std::vector<std::string> commandArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string programFolder() {
    std::string buf(static_cast<std::size_t>(PATH_MAX), '\0');
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0) return ".";
    buf.resize(static_cast<std::size_t>(n));
    return jet::folderOf(buf);
}

}  // namespace platform
