#include "app/Main.h"

#include <QApplication>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include "app/FixedDialog.h"
#include "app/OffThread.h"
#include "app/QtRuntime.h"
#include "platform/FormEngine.h"
#include "selection/BrowseCommand.h"

namespace app {

namespace {
constexpr int px(int twips) { return (twips + 7) / 15; }  // 15 twips a pixel, rounded
}  // namespace

Main::Main(WindowServices& services, const QString& fontFamily, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      services_(services),
      engines_(services.runtime.engines, runOffThread),
      files_(services.runtime.files, runOffThread),
      runtime_{services.runtime.messageBox, files_, services.runtime.numbers, engines_},
      command_(runtime_) {
    setObjectName("Main");
    setWindowTitle("  Maintenance  --  Quixwell DBASE");
    setFixedSize(kClientWidth, kClientHeight);
    makeFixedDialog(*this);
    setWindowIcon(QIcon(":/app.ico"));
    // The window's default font, the platform's dialog font at 8 pt, is set
    // on each control that uses it: the frame's own would be inherited.
    const QFont windowFont = largestFitting(
        pixelFont(fontFamily, 11, false),
        {{"Compact and Repair", {px(1815), px(380)}}, {"Exit", {px(1215), px(380)}}});
    setFont(windowFont);

    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(px(240), px(240), px(480), px(480));
    Image1->setPixmap(QIcon(":/app.ico").pixmap(32, 32));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Frame1 = new QGroupBox(" Select the DBASE : ", this);
    Frame1->setObjectName("Frame1");
    Frame1->setGeometry(px(1200), px(120), px(6975), px(855));
    Frame1->setFont(largestFitting(pixelFont(fontFamily, 11, true),  // 8.25 pt
                                   {{" Select the DBASE : ", {px(6975), px(855)}}}));
    Frame1->setFocusPolicy(Qt::NoFocus);

    Text1 = new QLineEdit(Frame1);
    Text1->setObjectName("Text1");
    Text1->setGeometry(px(240), px(360), px(6015), px(285));
    Text1->setFont(windowFont);

    Command1 = new QPushButton("..", Frame1);
    Command1->setObjectName("Command1");
    Command1->setGeometry(px(6360), px(360), px(375), px(255));
    Command1->setFont(largestFitting(pixelFont(fontFamily, 13, true),  // 9.75 pt
                                     {{"..", {px(375), px(255)}}}));

    Command2 = new QPushButton("Compact and Repair", this);
    Command2->setObjectName("Command2");
    Command2->setGeometry(px(1200), px(1080), px(1815), px(380));
    Command2->setFont(windowFont);

    Command3 = new QPushButton("Exit", this);
    Command3->setObjectName("Command3");
    Command3->setGeometry(px(6960), px(1080), px(1215), px(380));
    Command3->setFont(windowFont);

    // Flat buttons keep a thin frame so they still read as buttons.
    setStyleSheet(
        "QPushButton[flat=\"true\"] { border: 1px solid palette(dark); background: "
        "palette(button); }"
        "QPushButton[flat=\"true\"]:pressed { background: palette(mid); }"
        "QPushButton[flat=\"true\"]:focus { border: 1px solid palette(highlight); }");

    // Enter, like Space, presses the button that has the focus.
    for (QPushButton* b : {Command1, Command2, Command3}) b->setAutoDefault(true);

    setTabOrder(Text1, Command2);
    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Command1);
    Text1->setFocus();

    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(Command3, &QPushButton::clicked, this, [this] { Command3_Click(); });
}

void Main::Form_Load() {
    QtCommandButton b1(Command1, services_.windowStyle);
    QtCommandButton b2(Command2, services_.windowStyle);
    QtCommandButton b3(Command3, services_.windowStyle);
    cButt(b1);
    cButt(b2);
    cButt(b3);
}

void Main::cButt(platform::CommandButton& button) {
    platform::makeFlat(services_.windowStyle, button);
}

void Main::Command1_Click() {
    platform::runHandler(
        [this] {
            selection::Command1_Click(
                services_.comDlg,
                [this](const std::string& path) { Text1->setText(QString::fromStdString(path)); },
                services_.programFolder);
        },
        services_.runtime.messageBox);
}

void Main::Command2_Click() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    platform::runHandler([this] { command_.Command2_Click(Text1->text().toStdString()); },
                         services_.runtime.messageBox);
    QApplication::restoreOverrideCursor();
}

void Main::Command3_Click() { close(); }

void Main::centreOnScreen() {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s) return;
    const QRect area = s->availableGeometry();
    // Until the window manager has put its frame around the window, the
    // frame is the window itself and the title bar is not counted.
    const bool framed = windowHandle() && !windowHandle()->frameMargins().isNull();
    centreWhenFramed_ = !framed;
    QRect frame = frameGeometry();
    frame.moveCenter(area.center());
    move(frame.topLeft());
}

bool Main::event(QEvent* e) {
    const bool handled = QWidget::event(e);
    if (centreWhenFramed_ && (e->type() == QEvent::Move || e->type() == QEvent::Show) &&
        windowHandle() && !windowHandle()->frameMargins().isNull()) {
        centreWhenFramed_ = false;
        QMetaObject::invokeMethod(this, &Main::centreOnScreen, Qt::QueuedConnection);
    }
    return handled;
}

}  // namespace app
