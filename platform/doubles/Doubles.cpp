#include "platform/doubles/Doubles.h"

#include <cstdlib>

#include "platform/JetEngine.h"

namespace platform::doubles {

void FaultyFileSystem::step(const std::string& op) {
    calls.push_back(op);
    if (beforeStep) beforeStep(op);
    if (op == failOp_ && ++counts_[op] == failAt_) throw RaisedError(error_);
}

std::string FaultyFileSystem::lookUp(const std::string& path) {
    step("lookUp");
    return real_.lookUp(path);
}
int64_t FaultyFileSystem::length(const std::string& path) {
    step("length");
    return real_.length(path);
}
void FaultyFileSystem::remove(const std::string& path) {
    step("remove");
    real_.remove(path);
}
void FaultyFileSystem::rename(const std::string& from, const std::string& to) {
    step("rename");
    real_.rename(from, to);
}
void FaultyFileSystem::flush(const std::string& path) {
    step("flush");
    real_.flush(path);
}
void FaultyFileSystem::replace(const std::string& from, const std::string& target) {
    step("replace");
    real_.replace(from, target);
}

namespace {
class ScriptedEngine : public DatabaseEngine {
  public:
    explicit ScriptedEngine(ScriptedEngineFactory& f) : f_(f) {}
    ~ScriptedEngine() override { ++f_.released; }
    CompactOutcome CompactDatabase(const std::string& src, const std::string& dst) override {
        f_.compactCalls.emplace_back(src, dst);
        if (f_.duringCompaction) f_.duringCompaction();
        if (f_.failCompact) throw RaisedError(f_.error);
        return outcomeOf(jet::CompactDatabase(src, dst));
    }

  private:
    ScriptedEngineFactory& f_;
};
}  // namespace

std::unique_ptr<DatabaseEngine> ScriptedEngineFactory::create() {
    if (failCreate) throw RaisedError(error);
    ++created;
    return std::make_unique<ScriptedEngine>(*this);
}

std::string FixedNumberFormat::format(const std::string& value, const std::string&) {
    return groupDigits(std::strtold(value.c_str(), nullptr), ",", "\3");
}

}  // namespace platform::doubles

namespace platform::doubles {

void FakeFileDialog::set(const std::string& name, const std::function<void()>& apply) {
    order.push_back(name);
    if (name == failSetting) raise(380, "Invalid property value", "CommonDialog");
    apply();
}

void FakeFileDialog::ShowOpen() {
    ++shown;
    if (outcome == Outcome::kCancel) {
        if (cancelError) raise(kCancelError, "Cancel was selected.", "CommonDialog");
        return;
    }
    chosen_ = pick;
}

std::string FakeFileDialog::fileName() {
    if (failFileName) raise(380, "Invalid property value", "CommonDialog");
    return chosen_.empty() ? fileNameSet : chosen_;
}

}  // namespace platform::doubles
