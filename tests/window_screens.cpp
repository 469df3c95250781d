// Screenshots, with the window manager's frame, of every message the window
// shows and of the browse dialog, taken on a real X server so that a person
// can compare them with the design. Run by scripts/window-screenshot, which
// starts the server and the window manager and names the folder in
// QW_SCREENSHOT_DIR.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <QtTest/QTest>

#include "app/Main.h"
#include "app/QtRuntime.h"
#include "platform/doubles/Doubles.h"
#include "support/Fixtures.h"
#include "support/SampleDatabase.h"

using namespace testsupport;

namespace {

QString screenshotDir() { return qEnvironmentVariable("QW_SCREENSHOT_DIR"); }

QString xwininfo(const QStringList& args) {
    QProcess p;
    p.start("xwininfo", args);
    if (!p.waitForFinished(10000)) return {};
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

QString field(const QString& text, const QString& label) {
    const auto m =
        QRegularExpression(QRegularExpression::escape(label) + R"(\s*(\S+))").match(text);
    return m.hasMatch() ? m.captured(1) : QString();
}

// The frame the window manager drew around w as the X server holds it: the
// window's ancestor just below the root. Qt's own idea of the frame can lag
// behind, or stay wrong, while the manager reparents a window it has just
// mapped; the server's is what a person sees.
QRect serverFrame(QWidget* w) {
    QString frame = "0x" + QString::number(w->windowHandle()->winId(), 16);
    for (int depth = 0; depth < 16; ++depth) {
        const QString tree = xwininfo({"-tree", "-id", frame});
        const QString root = field(tree, "Root window id:");
        const QString parent = field(tree, "Parent window id:");
        if (root.isEmpty() || parent.isEmpty()) return {};
        if (parent == root) break;
        frame = parent;
    }
    const QString info = xwininfo({"-id", frame});
    return QRect(field(info, "Absolute upper-left X:").toInt(),
                 field(info, "Absolute upper-left Y:").toInt(), field(info, "Width:").toInt(),
                 field(info, "Height:").toInt());
}

// Saves the window with its frame as the window manager drew it.
void saveFramed(QWidget* w, const QString& name) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    if (qEnvironmentVariableIsSet("QW_WINDOW_MANAGER")) {
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return !w->windowHandle()->frameMargins().isNull(); }, 10000))
            << "the window manager did not frame " << name.toStdString();
    }
    // Settled, as the window's own screenshot waits: the same place and the
    // same pixels twice in a row (framed, placed, then painted), within a
    // time limit; the frame holds a title bar where a window manager runs.
    // A busy machine can show the box for a moment before the window manager
    // frames it, so a frame without a title bar is not settled yet.
    const bool managed = qEnvironmentVariableIsSet("QW_WINDOW_MANAGER");
    QRect f, before;
    QImage shot, last;
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QCoreApplication::processEvents();
        f = managed ? serverFrame(w) : w->frameGeometry();
        shot = w->screen()->grabWindow(0, f.x(), f.y(), f.width(), f.height()).toImage();
        const bool framed = !managed || f.height() > w->height();
        if (framed && f == before && shot == last) break;
        before = f;
        last = shot;
        if (waited.elapsed() > 20000) {
            ADD_FAILURE() << name.toStdString() << " never settled";
            break;
        }
        QTest::qWait(50);
    }
    if (managed) {
        EXPECT_GT(f.height(), w->height()) << name.toStdString() << " has no title bar";
    }
    const QString path = screenshotDir() + "/" + name + ".png";
    ASSERT_TRUE(shot.save(path)) << path.toStdString();
    std::printf("screenshot: %s (%dx%d)\n", qPrintable(path), f.width(), f.height());
}

// Under the window manager, the frame of a fixed dialog: a close box, and
// no minimise or maximise box (the actions the manager allows the window).
void expectFixedFrame(QWidget* w, const std::string& name) {
    if (!qEnvironmentVariableIsSet("QW_WINDOW_MANAGER")) return;
    QProcess p;
    p.start("xprop", {"-id", "0x" + QString::number(w->windowHandle()->winId(), 16),
                      "_NET_WM_ALLOWED_ACTIONS"});
    if (!p.waitForFinished(10000)) {
        ADD_FAILURE() << "xprop did not answer for " << name;
        return;
    }
    const QString actions = QString::fromLocal8Bit(p.readAllStandardOutput());
    EXPECT_TRUE(actions.contains("_NET_WM_ACTION_CLOSE")) << name << ": " << actions.toStdString();
    EXPECT_FALSE(actions.contains("_NET_WM_ACTION_MINIMIZE"))
        << name << ": " << actions.toStdString();
    EXPECT_FALSE(actions.contains("_NET_WM_ACTION_MAXIMIZE"))
        << name << ": " << actions.toStdString();
}

// Runs f on the next modal dialog, from inside its event loop.
void onModal(const std::function<void(QWidget*)>& f) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, f] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            f(w);
        }
    });
    timer->start();
}

struct Window {
    app::QtMessageBox box;
    platform::RealFileSystem realFiles;
    platform::doubles::FaultyFileSystem files{realFiles};
    platform::doubles::FixedNumberFormat numbers;
    platform::JetEngineFactory engines;
    app::QtFileDialog comDlg;
    app::QtWindowStyleApi style;
    app::WindowServices services;
    app::Main main;

    explicit Window(const std::string& folder)
        : services{{box, files, numbers, engines}, comDlg, style, folder}, main(services) {
        main.Form_Load();
        main.centreOnScreen();
        main.show();
        main.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&main));
        expectFixedFrame(&main, "the window");
    }

    // Presses "Compact and Repair" on the path and saves the one message.
    QString compact(const std::string& path, const QString& name) {
        main.Text1->setText(QString::fromStdString(path));
        QString text;
        onModal([&](QWidget* modal) {
            auto* m = qobject_cast<QMessageBox*>(modal);
            if (m) text = m->text();
            saveFramed(modal, name);
            expectFixedFrame(modal, name.toStdString());
            static_cast<QDialog*>(modal)->accept();
        });
        QTest::mouseClick(main.Command2, Qt::LeftButton);
        return text;
    }
};

class Screens : public ::testing::Test {
  protected:
    void SetUp() override {
        if (screenshotDir().isEmpty()) GTEST_SKIP() << "QW_SCREENSHOT_DIR is not set";
    }
};

}  // namespace

TEST_F(Screens, EveryMessageOfTheWindow) {
    TempDir dir;
    SampleOptions o;
    o.password = "MARLIN4ii8-tb3pz6qk";
    buildSampleDatabase((dir / "data.dbf").string(), o);
    o.password = "another password";
    buildSampleDatabase((dir / "other.dbf").string(), o);

    Window w(dir.path().string());
    EXPECT_EQ(w.compact("", "message-no-path"), "You must select the DBase file first!");
    EXPECT_EQ(w.compact((dir / "missing.dbf").string(), "message-no-file"), "File doesn't exist!");
    EXPECT_TRUE(w.compact((dir / "other.dbf").string(), "message-failure")
                    .startsWith("Something go wrong"));
    EXPECT_TRUE(w.compact((dir / "data.dbf").string(), "message-done").startsWith("All Done!"));
    EXPECT_TRUE(
        w.compact((dir / "data.dbf").string(), "message-no-changes").startsWith("No changes"));
    w.files.failOn("lookUp", 1,
                   platform::ErrorRecord{52, "Bad file name or number", "Maintenance"});
    EXPECT_EQ(w.compact((dir / "data.dbf").string(), "message-unhandled-error"),
              "Bad file name or number\n52 - Maintenance");
}

TEST_F(Screens, TheBrowseDialog) {
    TempDir dir;
    writeFile(dir / "data.dbf", "x");
    writeFile(dir / "DATA.DBF", "x");
    writeFile(dir / "other.dbf", "x");
    Window w(dir.path().string());
    onModal([&](QWidget* modal) {
        saveFramed(modal, "dialog-browse");
        static_cast<QDialog*>(modal)->reject();
    });
    QTest::mouseClick(w.main.Command1, Qt::LeftButton);
}

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(":/app.ico"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
