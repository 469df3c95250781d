// Test doubles for the runtime services.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/DatabaseEngine.h"
#include "platform/ErrorRecord.h"
#include "platform/FileDialog.h"
#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "platform/NumberFormat.h"

namespace platform::doubles {

struct ShownMessage {
    std::string text;
    MessageIcon icon;
    std::string title;
};

class RecordingMessageBox : public MessageBox {
  public:
    void show(const std::string& text, MessageIcon icon, const std::string& title) override {
        shown.push_back({text, icon, title});
    }
    std::vector<ShownMessage> shown;
};

// The real file system, with one chosen operation made to fail. The steps
// of a held database count as operations of their own: "hold", then
// "lookUp" (whether the temporary exists), "remove" (deleting it), "create",
// "flush" and "replace".
class FaultyFileSystem : public FileSystem {
  public:
    explicit FaultyFileSystem(FileSystem& real) : real_(real) {}
    // Fails the n-th call (1-based) of op ("lookUp", "length", "hold",
    // "remove", "create", "flush", "replace") with err.
    void failOn(const std::string& op, int n, ErrorRecord err) {
        failOp_ = op;
        failAt_ = n;
        error_ = std::move(err);
    }
    std::string lookUp(const std::string& path) override;
    int64_t length(const std::string& path) override;
    // Not a step: the real one's answer, unrecorded.
    std::string fileInUse(const std::string& path) override { return real_.fileInUse(path); }
    std::unique_ptr<HeldDatabase> hold(const std::string& path,
                                       const std::string& tempPath) override;
    std::vector<std::string> calls;
    // Run before and after each operation, with its name: a test pauses the
    // routine between two steps here, or changes the files under it.
    std::function<void(const std::string& op)> beforeStep;
    std::function<void(const std::string& op)> afterStep;

    // Runs one operation as a step.
    template <typename F>
    auto run(const std::string& op, F&& f) -> decltype(f()) {
        step(op);
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            if (afterStep) afterStep(op);
        } else {
            auto r = f();
            if (afterStep) afterStep(op);
            return r;
        }
    }

  private:
    void step(const std::string& op);
    FileSystem& real_;
    std::string failOp_;
    int failAt_ = 0;
    std::map<std::string, int> counts_;
    ErrorRecord error_;
};

// An engine factory whose creation or compaction can fail; otherwise it
// hands the call to the real engine.
class ScriptedEngineFactory : public DatabaseEngineFactory {
  public:
    std::unique_ptr<DatabaseEngine> create() override;
    bool failCreate = false;
    bool failCompact = false;
    ErrorRecord error{-2147221164, "Class not registered", "Test Engine"};
    std::vector<std::pair<std::string, std::string>> compactCalls;
    std::function<void()> duringCompaction;  // runs inside each compaction call
    jet::Env* env = nullptr;                 // the calls the real engine makes
    // Reported instead of the engine's own outcome after a compaction that
    // succeeded: a repair that dropped or changed rows.
    std::optional<CompactOutcome> repairReported;
    int created = 0;
    int released = 0;
};

// Groups with "," every three digits, whatever the machine's locale.
class FixedNumberFormat : public NumberFormat {
  public:
    std::string format(const std::string& value, const std::string& pattern) override;
};

}  // namespace platform::doubles

namespace platform::doubles {

// A file dialog that records its settings and plays a scripted outcome.
class FakeFileDialog : public FileDialog {
  public:
    enum class Outcome { kPick, kCancel };
    Outcome outcome = Outcome::kPick;
    std::string pick;           // the file "chosen" on kPick
    std::string failSetting;    // a setting whose setter raises ("Filter", ...)
    bool failFileName = false;  // reading the chosen name raises

    bool cancelError = false;
    int flags = -1;
    std::string initDir, fileNameSet, title, filter;
    std::vector<std::string> order;  // the settings in the order they were made
    int shown = 0;

    void setCancelError(bool v) override {
        set("CancelError", [&] { cancelError = v; });
    }
    void setFlags(int v) override {
        set("Flags", [&] { flags = v; });
    }
    void setInitDir(const std::string& v) override {
        set("InitDir", [&] { initDir = v; });
    }
    void setFileName(const std::string& v) override {
        set("FileName", [&] { fileNameSet = v; });
    }
    void setDialogTitle(const std::string& v) override {
        set("DialogTitle", [&] { title = v; });
    }
    void setFilter(const std::string& v) override {
        set("Filter", [&] { filter = v; });
    }
    void ShowOpen() override;
    std::string fileName() override;

  private:
    void set(const std::string& name, const std::function<void()>& apply);
    std::string chosen_;
};

}  // namespace platform::doubles
