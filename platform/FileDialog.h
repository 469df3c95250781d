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

struct NameFilter {
    std::string description;
    std::string patterns;  // ";"-separated
};

// "desc|pattern|desc|pattern|" into its entries; empty fields are skipped.
std::vector<NameFilter> parseFilter(const std::string& filter);

// The folder that holds the running program.
std::string programFolder();

}  // namespace platform
