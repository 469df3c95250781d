#include "app/QtRuntime.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>

#include "app/FixedDialog.h"
#include "platform/ErrorRecord.h"

namespace app {

namespace {
QString q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

int titleBarRoom(const QString& title) {
    QFont bold = QApplication::font();
    bold.setBold(true);
    // The window manager's icon and its close, minimise and maximise boxes
    // beside the title, in a bold font as most title bars use.
    constexpr int kTitleBarDecoration = 160;
    return QFontMetrics(bold).horizontalAdvance(title) + kTitleBarDecoration;
}

void QtMessageBox::show(const std::string& text, platform::MessageIcon icon,
                        const std::string& title) {
    QString body = q(text);
    body.replace("\r\n", "\n");
    QMessageBox box(
        icon == platform::MessageIcon::kCritical ? QMessageBox::Critical : QMessageBox::Information,
        q(title), body, QMessageBox::Ok, parent_ ? parent_ : QApplication::activeWindow());
    // A short text would make a box too narrow for its title. The box sizes
    // itself from its layout, so the layout gets a row as wide as the title.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(titleBarRoom(q(title)), 0, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    makeFixedDialog(box);
    // A wait cursor set by the caller is not for the message.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    QApplication::restoreOverrideCursor();
}

void QtFileDialog::ShowOpen() {
    QFileDialog d(parent_ ? parent_ : QApplication::activeWindow(), q(title_), q(initDir_));
    d.setOption(QFileDialog::DontUseNativeDialog);
    d.setOption(QFileDialog::HideNameFilterDetails);
    d.setAcceptMode(QFileDialog::AcceptOpen);
    d.setFileMode(QFileDialog::ExistingFile);
    // File names are case-sensitive here: "data.dbf" does not list DATA.DBF.
    d.setFilter(d.filter() | QDir::CaseSensitive);
    QStringList filters;
    for (const auto& f : platform::parseFilter(filter_)) {
        QString patterns = q(f.patterns);
        patterns.replace(';', ' ');
        filters << q(f.description) + " (" + patterns + ")";
    }
    if (!filters.isEmpty()) d.setNameFilters(filters);
    if (!fileName_.empty()) d.selectFile(q(fileName_));
    if (d.exec() == QDialog::Accepted && !d.selectedFiles().isEmpty()) {
        fileName_ = d.selectedFiles().first().toStdString();
        return;
    }
    if (cancelError_)
        platform::raise(platform::kCancelError, "Cancel was selected.", "CommonDialog");
}

platform::WindowHandle QtWindowStyleApi::handleOf(QPushButton* button) {
    for (const auto& [h, w] : windows_) {
        if (w == button) return h;
    }
    platform::WindowHandle h = next_++;
    windows_[h] = button;
    return h;
}

int32_t QtWindowStyleApi::SetWindowLongA(platform::WindowHandle hWnd, int index, int32_t newLong) {
    auto it = windows_.find(hWnd);
    if (index != platform::GWL_STYLE || it == windows_.end() || it->second.isNull()) return 0;
    QPushButton* b = it->second;
    uint32_t old = platform::WS_CHILD;
    if (b->isFlat()) old |= platform::BS_FLAT;
    if (!b->isHidden()) old |= platform::WS_VISIBLE;
    if (b->focusPolicy() & Qt::TabFocus) old |= platform::WS_TABSTOP;
    const auto effect = platform::decodeButtonStyle(static_cast<uint32_t>(newLong));
    b->setFlat(effect.flat);
    b->setVisible(effect.visible);
    b->setFocusPolicy(effect.tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    return static_cast<int32_t>(old);
}

}  // namespace app
