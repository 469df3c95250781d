#include "jet/InPlace.h"

#include "os/Cleanup.h"
#include "os/Lock.h"
#include "util/Failure.h"

namespace jet {

Status lockDatabase(int fd, int folderFd, const std::string& path, Env* env) {
    return guard([&] {
        lockForCompaction(envOr(env), fd, path, folderFd);
        return Unit{};
    });
}

struct RemoveOnInterrupt::Registration {
    RemoveOnSignal onSignal;
    Registration(const std::string& name, int folderFd) : onSignal(name, folderFd) {}
};

RemoveOnInterrupt::RemoveOnInterrupt(const std::string& name, int folderFd)
    : registration_(std::make_unique<Registration>(name, folderFd)) {}

RemoveOnInterrupt::~RemoveOnInterrupt() = default;

}  // namespace jet
