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
    return run("lookUp", [&] { return real_.lookUp(path); });
}
int64_t FaultyFileSystem::length(const std::string& path) {
    return run("length", [&] { return real_.length(path); });
}

namespace {
class FaultyHeldDatabase : public HeldDatabase {
  public:
    FaultyHeldDatabase(FaultyFileSystem& files, std::unique_ptr<HeldDatabase> real)
        : files_(files), real_(std::move(real)) {}
    std::string path() const override { return real_->path(); }
    std::string temporaryPath() const override { return real_->temporaryPath(); }
    int database() const override { return real_->database(); }
    bool temporaryExists() override {
        return files_.run("lookUp", [&] { return real_->temporaryExists(); });
    }
    void removeTemporary() override {
        files_.run("remove", [&] { real_->removeTemporary(); });
    }
    int createTemporary() override {
        return files_.run("create", [&] { return real_->createTemporary(); });
    }
    void flushTemporary() override {
        files_.run("flush", [&] { real_->flushTemporary(); });
    }
    std::string replace(bool keepOriginal) override {
        return files_.run("replace", [&] { return real_->replace(keepOriginal); });
    }

  private:
    FaultyFileSystem& files_;
    std::unique_ptr<HeldDatabase> real_;
};
}  // namespace

std::unique_ptr<HeldDatabase> FaultyFileSystem::hold(const std::string& path,
                                                     const std::string& tempPath) {
    auto held = run("hold", [&] { return real_.hold(path, tempPath); });
    return std::make_unique<FaultyHeldDatabase>(*this, std::move(held));
}

namespace {
class ScriptedEngine : public DatabaseEngine {
  public:
    explicit ScriptedEngine(ScriptedEngineFactory& f) : f_(f) {}
    ~ScriptedEngine() override { ++f_.released; }
    CompactOutcome CompactDatabase(const std::string& src, const std::string& dst,
                                   const HeldFiles& files) override {
        f_.compactCalls.emplace_back(src, dst);
        if (f_.duringCompaction) f_.duringCompaction();
        if (f_.failCompact) throw RaisedError(f_.error);
        CompactOutcome outcome = outcomeOf(jet::CompactDatabase(src, dst, files, f_.env));
        return f_.repairReported.value_or(outcome);
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
