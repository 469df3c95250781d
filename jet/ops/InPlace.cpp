#include "jet/InPlace.h"

#include "jet/Compact.h"
#include "ops/ConnectionString.h"
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

Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection,
                                      const HeldFiles& held, Env* env,
                                      const LostKey& lostKey, CompactWatch* watch) {
    auto src = parseConnectionString(sourceConnection);
    if (!src) return src.error();
    auto dst = parseConnectionString(destinationConnection);
    if (!dst) return dst.error();
    CompactRequest req;
    req.sourcePath = src->dataSource;
    req.sourcePassword = src->password.value_or("");
    req.destinationPath = dst->dataSource;
    req.destinationPassword = dst->password.value_or("");
    req.sourceFd = held.source;
    req.destinationFd = held.destination;
    req.env = env;
    req.lostKey = lostKey;
    req.watch = watch;
    auto r = compactFile(req);
    if (!r) return r.error();
    return r->repair;
}

}  // namespace jet
