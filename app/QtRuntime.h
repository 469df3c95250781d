// The Qt implementations of the runtime services the window needs: the
// message box, the file-open dialog and the window-style layer.
#pragma once

#include <QPointer>
#include <QPushButton>
#include <map>
#include <string>

#include "platform/FileDialog.h"
#include "platform/MessageBox.h"
#include "platform/WindowStyle.h"

class QWidget;

namespace app {

// The width a window needs for its whole title to show in the title bar.
int titleBarRoom(const QString& title);

// QMessageBox with the critical or information icon; CR LF shown as line
// breaks; at least as wide as its title needs. Without a parent of its own
// it belongs to the active window.
class QtMessageBox : public platform::MessageBox {
  public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void show(const std::string& text, platform::MessageIcon icon,
              const std::string& title) override;

  private:
    QWidget* parent_;
};

// Qt's own file dialog (not the desktop's), so it behaves the same everywhere;
// like the message box, it belongs to the active window unless given a parent.
class QtFileDialog : public platform::StoredFileDialog {
  public:
    explicit QtFileDialog(QWidget* parent = nullptr) : parent_(parent) {}
    void ShowOpen() override;

  private:
    QWidget* parent_;
};

// Hands out window handles for buttons and applies 32-bit window styles to
// them as the style bits mean it.
class QtWindowStyleApi : public platform::WindowStyleApi {
  public:
    platform::WindowHandle handleOf(QPushButton* button);
    int32_t SetWindowLongA(platform::WindowHandle hWnd, int index, int32_t newLong) override;

  private:
    std::map<platform::WindowHandle, QPointer<QPushButton>> windows_;
    platform::WindowHandle next_ = 0x1000;
};

// A button as the form engine exposes it to cButt.
class QtCommandButton : public platform::CommandButton {
  public:
    QtCommandButton(QPushButton* button, QtWindowStyleApi& api) : button_(button), api_(api) {}
    platform::WindowHandle hWnd() override { return api_.handleOf(button_); }
    // Applied even when the button already counts as visible or in the tab
    // order, since the style may have been replaced behind its back.
    void setVisible(bool visible) override { button_->setVisible(visible); }
    void setTabStop(bool tabStop) override {
        button_->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    }

  private:
    QPushButton* button_;
    QtWindowStyleApi& api_;
};

}  // namespace app
