// The modal message box: a text (line breaks as CR LF), an icon, one OK
// button and a title. Returns when the user dismisses it.
#pragma once

#include <string>

namespace platform {

enum class MessageIcon { kCritical, kInformation };

class MessageBox {
  public:
    virtual ~MessageBox() = default;
    virtual void show(const std::string& text, MessageIcon icon, const std::string& title) = 0;
};

// Text as it may be written to a terminal: CR LF pairs become plain line
// breaks; other control characters (tabs aside) and bytes that are not UTF-8
// become \xHH, so that a file name cannot move the cursor, retitle the
// window, hide what went before or add a line of its own.
std::string printableText(const std::string& text);

// For servers and scripts: information on stdout, critical messages on
// stderr, CR LF written as plain line breaks and the rest as printableText.
// Remembers whether a critical message was shown, for the exit status.
class ConsoleMessageBox : public MessageBox {
  public:
    void show(const std::string& text, MessageIcon icon, const std::string& title) override;
    bool sawCritical() const { return sawCritical_; }
    bool sawAny() const { return sawAny_; }

  private:
    bool sawCritical_ = false;
    bool sawAny_ = false;
};

}  // namespace platform
