// The file-open dialog (the common-dialog control): its settings, ShowOpen
// and the chosen file. Setting or showing may raise; with CancelError set,
// cancelling raises error 32755.
#pragma once

#include <string>
#include <vector>

namespace platform {

class FileDialog {
  public:
    virtual ~FileDialog() = default;
    virtual void setCancelError(bool value) = 0;
    virtual void setFlags(int flags) = 0;
    virtual void setInitDir(const std::string& dir) = 0;
    virtual void setFileName(const std::string& name) = 0;
    virtual void setDialogTitle(const std::string& title) = 0;
    virtual void setFilter(const std::string& filter) = 0;
    virtual void ShowOpen() = 0;
    virtual std::string fileName() = 0;
};

// The settings a dialog is given, kept until ShowOpen uses them; the chosen
// file replaces the file name.
class StoredFileDialog : public FileDialog {
  public:
    void setCancelError(bool value) override { cancelError_ = value; }
    void setFlags(int flags) override { flags_ = flags; }
    void setInitDir(const std::string& dir) override { initDir_ = dir; }
    void setFileName(const std::string& name) override { fileName_ = name; }
    void setDialogTitle(const std::string& title) override { title_ = title; }
    void setFilter(const std::string& filter) override { filter_ = filter; }
    std::string fileName() override { return fileName_; }

  protected:
    bool cancelError_ = false;
    int flags_ = 0;
    std::string initDir_, fileName_, title_, filter_;
};

struct NameFilter {
    std::string description;
    std::string patterns;  // ";"-separated
};

// "desc|pattern|desc|pattern|" into its entries; empty fields are skipped.
std::vector<NameFilter> parseFilter(const std::string& filter);

// The folder that holds the running program.
std::string programFolder();

}  // namespace platform
