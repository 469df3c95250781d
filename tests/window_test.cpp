// The main window under the offscreen platform: layout, fonts and the room
// captions get, tab order, Enter and Space, button styling, exit, the browse
// dialog, message boxes and whole compaction runs, the window repainting
// while the engine works; and the program started without a display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest/QTest>
#include <future>

#include "app/Main.h"
#include "app/QtRuntime.h"
#include "jet/Compact.h"
#include "platform/doubles/Doubles.h"
#include "support/Fixtures.h"
#include "support/SampleDatabase.h"

using namespace testsupport;
using platform::doubles::RecordingMessageBox;

namespace {

struct Window {
    RecordingMessageBox box;
    platform::RealFileSystem realFiles;
    platform::doubles::FaultyFileSystem files{realFiles};
    platform::doubles::FixedNumberFormat numbers;
    platform::doubles::ScriptedEngineFactory engines;
    platform::doubles::FakeFileDialog fakeDialog;
    app::QtWindowStyleApi style;
    app::WindowServices services{{box, files, numbers, engines}, fakeDialog, style, "/opt/qw"};
    app::Main main{services};

    Window() { main.Form_Load(); }
    void show() {
        main.show();
        main.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
    }
};

// Runs f on the next modal dialog that opens, from inside its event loop.
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

}  // namespace

TEST(MainWindow, LayoutCaptionsAndFontsFollowTheDesign) {
    Window w;
    EXPECT_EQ(w.main.windowTitle(), "  Maintenance  --  Quixwell DBASE");
    EXPECT_EQ(w.main.size(), QSize(555, 105));
    EXPECT_EQ(w.main.minimumSize(), w.main.maximumSize());
    const auto flags = w.main.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);

    EXPECT_EQ(w.main.Image1->geometry(), QRect(16, 16, 32, 32));
    EXPECT_EQ(w.main.Frame1->geometry(), QRect(80, 8, 465, 57));
    EXPECT_EQ(w.main.Text1->parentWidget(), w.main.Frame1);
    EXPECT_EQ(w.main.Text1->geometry(), QRect(16, 24, 401, 19));
    EXPECT_EQ(w.main.Command1->parentWidget(), w.main.Frame1);
    EXPECT_EQ(w.main.Command1->geometry(), QRect(424, 24, 25, 17));
    EXPECT_EQ(w.main.Command2->geometry(), QRect(80, 72, 121, 25));
    EXPECT_EQ(w.main.Command3->geometry(), QRect(464, 72, 81, 25));
    // The right edges of the frame and "Exit" line up.
    EXPECT_EQ(w.main.Frame1->geometry().right(), w.main.Command3->geometry().right());

    EXPECT_EQ(w.main.Frame1->title(), " Select the DBASE : ");
    EXPECT_EQ(w.main.Command1->text(), "..");
    EXPECT_EQ(w.main.Command2->text(), "Compact and Repair");
    EXPECT_EQ(w.main.Command3->text(), "Exit");
    EXPECT_TRUE(w.main.Text1->text().isEmpty());

    // Wine's Tahoma when it is installed; pixel sizes, as the layout is in pixels.
    const QString family = QFileInfo::exists(QString(app::kWineFontFolder) + "/tahoma.ttf")
                               ? "Tahoma"
                               : QApplication::font().family();
    const QFont frame = w.main.Frame1->font();
    EXPECT_EQ(frame.family(), family);
    EXPECT_EQ(QFontInfo(frame).family(), family);
    EXPECT_EQ(frame.weight(), QFont::Bold);
    const QFont browse = w.main.Command1->font();
    EXPECT_EQ(browse.family(), family);
    EXPECT_EQ(browse.weight(), QFont::Bold);
    if (family == "Tahoma") {
        EXPECT_EQ(frame.pixelSize(), 11);   // 8.25 pt
        EXPECT_EQ(browse.pixelSize(), 13);  // 9.75 pt
    }
    for (QWidget* c : {static_cast<QWidget*>(w.main.Text1), static_cast<QWidget*>(w.main.Command2),
                       static_cast<QWidget*>(w.main.Command3)}) {
        EXPECT_EQ(c->font(), w.main.font());
        EXPECT_EQ(c->font().family(), family);
        EXPECT_EQ(c->font().weight(), QFont::Normal);
    }

    // The picture: the application icon at its natural 32 × 32 size.
    const QPixmap pic = w.main.Image1->pixmap();
    EXPECT_EQ(pic.size(), QSize(32, 32));
    const auto sizes = w.main.windowIcon().availableSizes();
    for (int s : {16, 24, 32, 48}) EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
}

TEST(MainWindow, ButtonsAreVisibleFlatAndInTheTabOrderAfterLoad) {
    Window w;
    w.show();
    for (QPushButton* b : {w.main.Command1, w.main.Command2, w.main.Command3}) {
        EXPECT_TRUE(b->isVisible()) << b->objectName().toStdString();
        EXPECT_TRUE(b->isFlat());
        EXPECT_TRUE(b->focusPolicy() & Qt::TabFocus);
    }
    EXPECT_EQ(QApplication::focusWidget(), w.main.Text1);
    std::vector<QWidget*> order;
    for (int i = 0; i < 4; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order.push_back(QApplication::focusWidget());
    }
    EXPECT_EQ(order, (std::vector<QWidget*>{w.main.Command2, w.main.Command3, w.main.Command1,
                                            w.main.Text1}));
}

TEST(MainWindow, TheStyleLayerAppliesStyleBitsAsTheyMean) {
    Window w;
    w.show();
    app::QtCommandButton b(w.main.Command2, w.style);
    const auto h = b.hWnd();
    EXPECT_NE(w.style.SetWindowLongA(h, platform::GWL_STYLE,
                                     static_cast<int32_t>(platform::kFlatButtonStyle)),
              0);
    EXPECT_TRUE(w.main.Command2->isFlat());
    EXPECT_FALSE(w.main.Command2->isVisible());
    EXPECT_FALSE(w.main.Command2->focusPolicy() & Qt::TabFocus);
    w.style.SetWindowLongA(h, platform::GWL_STYLE,
                           0x50010000);  // child, visible, tab stop, not flat
    EXPECT_FALSE(w.main.Command2->isFlat());
    EXPECT_TRUE(w.main.Command2->isVisible());
    EXPECT_TRUE(w.main.Command2->focusPolicy() & Qt::TabFocus);
    EXPECT_EQ(w.style.SetWindowLongA(0xDEAD, platform::GWL_STYLE, 0), 0);
}

TEST(MainWindow, ExitAndTheCloseBoxEndTheEventLoop) {
    for (int viaCloseBox = 0; viaCloseBox < 2; ++viaCloseBox) {
        Window w;
        w.show();
        w.main.Text1->setText("/whatever/data.dbf");
        QApplication::setQuitOnLastWindowClosed(true);
        QTimer::singleShot(0, [&] {
            if (viaCloseBox)
                w.main.close();
            else
                QTest::mouseClick(w.main.Command3, Qt::LeftButton);
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(99); });
        guard.start(10000);
        const int status = QApplication::exec();
        QApplication::setQuitOnLastWindowClosed(false);
        EXPECT_EQ(status, 0);
        EXPECT_FALSE(w.main.isVisible());
        EXPECT_TRUE(w.box.shown.empty());
    }
}

TEST(MainWindow, BrowseWithTheDoubleFillsThePathBox) {
    Window w;
    w.show();
    w.fakeDialog.pick = "/srv/qw/data.dbf";
    QTest::mouseClick(w.main.Command1, Qt::LeftButton);
    EXPECT_EQ(w.main.Text1->text(), "/srv/qw/data.dbf");
    EXPECT_EQ(w.fakeDialog.initDir, "/opt/qw");
    w.fakeDialog.outcome = platform::doubles::FakeFileDialog::Outcome::kCancel;
    QTest::mouseClick(w.main.Command1, Qt::LeftButton);
    EXPECT_EQ(w.main.Text1->text(), "/srv/qw/data.dbf");
    EXPECT_TRUE(w.box.shown.empty());
}

TEST(MainWindow, TheRealDialogStartsInTheProgramFolderAndListsOnlyDataDbf) {
    TempDir dir;
    writeFile(dir / "data.dbf", "x");
    writeFile(dir / "other.dbf", "x");
    writeFile(dir / "data.dbf.bak", "x");
    writeFile(dir / "DATA.DBF", "x");
    writeFile(dir / "Data.dbf", "x");
    for (bool accept : {true, false}) {
        Window w;
        app::QtFileDialog real(&w.main);
        app::WindowServices services{
            {w.box, w.files, w.numbers, w.engines}, real, w.style, dir.path().string()};
        app::Main main(services);
        main.Form_Load();
        main.show();
        main.Text1->setText("before");
        std::string title, folder, file;
        QStringList filters;
        int listed = -1;
        QString listedName;
        onModal([&](QWidget* modal) {
            auto* d = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(d, nullptr);
            title = d->windowTitle().toStdString();
            folder = d->directory().absolutePath().toStdString();
            filters = d->nameFilters();
            file = d->findChild<QLineEdit*>("fileNameEdit")->text().toStdString();
            auto* view = d->findChild<QListView*>("listView");
            (void)QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) > 0; },
                                  3000);
            listed = view->model()->rowCount(view->rootIndex());
            if (listed > 0)
                listedName = view->model()->index(0, 0, view->rootIndex()).data().toString();
            if (accept) {
                d->selectFile(QString::fromStdString((dir / "data.dbf").string()));
                static_cast<QDialog*>(d)->accept();
            } else {
                d->reject();
            }
        });
        QTest::mouseClick(main.Command1, Qt::LeftButton);
        EXPECT_EQ(title, "Please select the DBASE file");
        EXPECT_EQ(folder, fs::canonical(dir.path()).string());
        EXPECT_EQ(file, "data.dbf");
        EXPECT_EQ(filters, QStringList{"QW DBASE (data.dbf) (data.dbf)"});
        EXPECT_EQ(listed, 1);
        EXPECT_EQ(listedName.toStdString(), "data.dbf");
        if (accept) {
            EXPECT_EQ(fs::canonical(main.Text1->text().toStdString()),
                      fs::canonical(dir / "data.dbf"));
        } else {
            EXPECT_EQ(main.Text1->text(), "before");
        }
        EXPECT_TRUE(w.box.shown.empty());
    }
}

TEST(MainWindow, AWholeRunTypesAPathCompactsAndReports) {
    // The path typed holds Greek folder and file names, as the users' do.
    TempDir top;
    const fs::path dir = top / "Λογιστήριο Αθηνών";
    fs::create_directory(dir);
    const fs::path db = dir / "δεδομένα.dbf";
    SampleOptions o;
    o.password = "MARLIN4ii8-tb3pz6qk";
    o.rows = 60;
    buildSampleDatabase(db.string(), o);
    const auto oldSize = fs::file_size(db);

    Window w;
    app::QtMessageBox qtBox(&w.main);
    app::WindowServices services{
        {qtBox, w.files, w.numbers, w.engines}, w.fakeDialog, w.style, "/opt/qw"};
    app::Main main(services);
    main.Form_Load();
    main.show();
    main.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
    // Key by key, each with its text, as a Greek keyboard types it
    // (QTest::keyClicks knows only ASCII).
    for (QChar c : QString::fromStdString(db.string()))
        QTest::sendKeyEvent(QTest::Click, main.Text1, Qt::Key_unknown, QString(c), Qt::NoModifier);
    ASSERT_EQ(main.Text1->text().toStdString(), db.string());
    Qt::CursorShape during = Qt::ArrowCursor;
    w.engines.duringCompaction = [&] {
        if (QApplication::overrideCursor()) during = QApplication::overrideCursor()->shape();
    };
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    onModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        text = box->text();
        icon = box->icon();
        title = box->windowTitle();
        box->accept();
    });
    QTest::mouseClick(main.Command2, Qt::LeftButton);
    EXPECT_EQ(during, Qt::WaitCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(title, "Maintenance - QW DBASE");
    const std::string expected =
        "All Done!\n\nOld Filesize : " +
        platform::groupDigits(static_cast<long double>(oldSize), ",", "\3") +
        " bytes\nNew Filisize : " +
        platform::groupDigits(static_cast<long double>(fs::file_size(db)), ",", "\3") + " bytes";
    EXPECT_EQ(text.toStdString(), expected);
    EXPECT_LT(fs::file_size(db), oldSize);
    EXPECT_FALSE(fs::exists(db.string() + "2"));
}

TEST(MainWindow, AnUnhandledErrorIsShownAndTheWindowGoesOn) {
    Window w;
    w.show();
    w.files.failOn("lookUp", 1,
                   platform::ErrorRecord{52, "Bad file name or number", "Maintenance"});
    w.main.Text1->setText("/some/data.dbf");
    QTest::mouseClick(w.main.Command2, Qt::LeftButton);
    ASSERT_EQ(w.box.shown.size(), 1u);
    EXPECT_EQ(w.box.shown[0].icon, platform::MessageIcon::kCritical);
    EXPECT_EQ(w.box.shown[0].text, "Bad file name or number\r\n52 - Maintenance");
    EXPECT_TRUE(w.main.isVisible());
    QTest::mouseClick(w.main.Command2, Qt::LeftButton);
    EXPECT_EQ(w.box.shown.size(), 2u);
    EXPECT_EQ(w.box.shown[1].text, "File doesn't exist!");
}

TEST(MainWindow, OpensCentredOnTheScreen) {
    Window w;
    w.main.centreOnScreen();
    w.main.show();
    const QRect screen = w.main.screen()->availableGeometry();
    EXPECT_LE(std::abs(w.main.frameGeometry().center().x() - screen.center().x()), 2);
    EXPECT_LE(std::abs(w.main.frameGeometry().center().y() - screen.center().y()), 2);
}

// Every caption, measured with the font its control actually uses, leaves
// room on either side inside the button's border: with Tahoma when it is
// installed, and with fallback families whose captions run wider.
TEST(MainWindow, EveryCaptionFitsItsControl) {
    std::vector<QString> families{app::windowFontFamily(), "DejaVu Sans", "DejaVu Serif",
                                  QApplication::font().family()};
    for (const QString& family : families) {
        SCOPED_TRACE(family.toStdString());
        Window base;
        app::Main main(base.services, family);
        for (QPushButton* b : {main.Command1, main.Command2, main.Command3}) {
            const QFontMetrics m(b->font());
            SCOPED_TRACE(b->text().toStdString());
            EXPECT_LE(m.horizontalAdvance(b->text()) + 2 * (app::kCaptionMargin + 1), b->width());
            EXPECT_LE(m.tightBoundingRect(b->text()).height(), b->height() - 2);
        }
        const QFontMetrics frame(main.Frame1->font());
        EXPECT_LE(frame.horizontalAdvance(main.Frame1->title()) + 2 * app::kCaptionMargin,
                  main.Frame1->width());
        // Never larger than the design's 8, 8.25 and 9.75 points.
        EXPECT_LE(main.Command2->font().pixelSize(), 11);
        EXPECT_LE(main.Frame1->font().pixelSize(), 11);
        EXPECT_LE(main.Command1->font().pixelSize(), 13);
    }
}

TEST(MainWindow, EnterAndSpacePressTheFocusedButton) {
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        Window w;
        w.show();
        w.fakeDialog.pick = "/srv/qw/data.dbf";
        QTest::keyClick(w.main.Text1, Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), w.main.Command2);
        QTest::keyClick(w.main.Command2, key);
        ASSERT_EQ(w.box.shown.size(), 1u) << key;
        EXPECT_EQ(w.box.shown[0].text, "You must select the DBase file first!");

        QTest::keyClick(w.main.Command2, Qt::Key_Tab);
        QTest::keyClick(w.main.Command3, Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), w.main.Command1);
        QTest::keyClick(w.main.Command1, key);
        EXPECT_EQ(w.main.Text1->text(), "/srv/qw/data.dbf");

        w.main.Command3->setFocus();
        QTest::keyClick(w.main.Command3, key);
        EXPECT_FALSE(w.main.isVisible());
    }
    // Enter in the path box presses nothing.
    Window w;
    w.show();
    QTest::keyClick(w.main.Text1, Qt::Key_Return);
    EXPECT_TRUE(w.box.shown.empty());
    EXPECT_TRUE(w.main.isVisible());
}

// The engine works on another thread; meanwhile the window's thread paints
// a region asked for in the middle of the compaction, with the wait cursor
// still up, and the run then ends as before.
TEST(MainWindow, TheWindowRepaintsWhileTheEngineCompacts) {
    TempDir dir;
    SampleOptions o;
    o.password = "MARLIN4ii8-tb3pz6qk";
    o.rows = 60;
    buildSampleDatabase((dir / "data.dbf").string(), o);

    Window w;
    w.show();
    w.main.Text1->setText(QString::fromStdString((dir / "data.dbf").string()));

    struct PaintWatch : QObject {
        std::promise<Qt::CursorShape> painted;
        bool armed = false;
        bool eventFilter(QObject*, QEvent* e) override {
            if (armed && e->type() == QEvent::Paint) {
                armed = false;
                const QCursor* c = QApplication::overrideCursor();
                painted.set_value(c ? c->shape() : Qt::ArrowCursor);
            }
            return false;
        }
    } watch;
    w.main.Command2->installEventFilter(&watch);

    bool onWindowThread = false;
    std::future_status served = std::future_status::timeout;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    w.engines.duringCompaction = [&] {
        if (QThread::currentThread() == QApplication::instance()->thread()) {
            onWindowThread = true;  // waiting here would never end
            return;
        }
        auto painted = watch.painted.get_future();
        QMetaObject::invokeMethod(w.main.Command2, [&] {
            watch.armed = true;
            w.main.Command2->update();
        });
        // Bounded only so that a window that never paints fails the test
        // instead of hanging it.
        served = painted.wait_for(std::chrono::seconds(60));
        if (served == std::future_status::ready) cursor = painted.get();
    };
    QTest::mouseClick(w.main.Command2, Qt::LeftButton);
    EXPECT_FALSE(onWindowThread);
    EXPECT_EQ(served, std::future_status::ready);
    EXPECT_EQ(cursor, Qt::WaitCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    ASSERT_EQ(w.engines.compactCalls.size(), 1u);
    ASSERT_EQ(w.box.shown.size(), 1u);
    EXPECT_EQ(w.box.shown[0].icon, platform::MessageIcon::kInformation);
    EXPECT_EQ(w.box.shown[0].text.rfind("All Done!", 0), 0u) << w.box.shown[0].text;
    EXPECT_EQ(w.engines.created, w.engines.released);
}

// Clicks, keys and a close request made while a compaction runs are
// dropped: no second compaction starts, the path box keeps its text, and the
// window stays open.
TEST(MainWindow, InputDuringACompactionIsDroppedNotReplayed) {
    TempDir dir;
    SampleOptions o;
    o.password = "MARLIN4ii8-tb3pz6qk";
    o.rows = 60;
    buildSampleDatabase((dir / "data.dbf").string(), o);
    const QString path = QString::fromStdString((dir / "data.dbf").string());

    Window w;
    w.show();
    w.main.Text1->setText(path);
    std::promise<void> pressed;
    w.engines.duringCompaction = [&] {
        if (QThread::currentThread() == QApplication::instance()->thread()) return;
        auto done = pressed.get_future();
        QMetaObject::invokeMethod(w.main.Command2, [&] {
            QTest::mouseClick(w.main.Command2, Qt::LeftButton);
            QTest::keyClick(w.main.Command2, Qt::Key_Return);
            QTest::keyClicks(w.main.Text1, "typed");
            w.main.close();
            pressed.set_value();
        });
        // Bounded only so that a window that never serves the call fails
        // the test instead of hanging it.
        done.wait_for(std::chrono::seconds(60));
    };
    QTest::mouseClick(w.main.Command2, Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_EQ(w.engines.compactCalls.size(), 1u);
    EXPECT_EQ(w.box.shown.size(), 1u);
    EXPECT_EQ(w.main.Text1->text().toStdString(), path.toStdString());
    EXPECT_TRUE(w.main.isVisible());
}

// An engine failure raised on the worker thread reaches the routine's trap on
// the window's thread: one message, the database untouched.
TEST(MainWindow, AnEngineFailureOffTheWindowsThreadIsReportedOnce) {
    TempDir dir;
    writeFile(dir / "data.dbf", "not a database");
    Window w;
    w.show();
    w.engines.failCompact = true;
    w.main.Text1->setText(QString::fromStdString((dir / "data.dbf").string()));
    QTest::mouseClick(w.main.Command2, Qt::LeftButton);
    ASSERT_EQ(w.box.shown.size(), 1u);
    EXPECT_EQ(w.box.shown[0].icon, platform::MessageIcon::kCritical);
    EXPECT_NE(w.box.shown[0].text.find("Class not registered\r\n-2147221164 - Test Engine"),
              std::string::npos);
    EXPECT_EQ(readFile(dir / "data.dbf"), "not a database");
    EXPECT_FALSE(fs::exists(dir / "data.dbf2"));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The box is wide enough for the whole title "Maintenance - QW DBASE", even
// for the shortest message.
TEST(MainWindow, AMessageBoxShowsItsWholeTitle) {
    Window w;
    w.show();
    app::QtMessageBox qtBox(&w.main);
    QFont bold = QApplication::font();
    bold.setBold(true);
    const int titleWidth = QFontMetrics(bold).horizontalAdvance("Maintenance - QW DBASE");
    for (const char* text : {"File doesn't exist!", "You must select the DBase file first!"}) {
        int width = 0;
        QString title;
        onModal([&](QWidget* modal) {
            width = modal->width();
            title = modal->windowTitle();
            static_cast<QDialog*>(modal)->accept();
        });
        qtBox.show(text, platform::MessageIcon::kCritical, "Maintenance - QW DBASE");
        EXPECT_EQ(title, "Maintenance - QW DBASE");
        EXPECT_GE(width, app::titleBarRoom(title)) << text;
        EXPECT_GT(width, titleWidth + 100) << text;
    }
}

// Started without a display the program names the console command in one
// line and ends with status 1; it does not abort.
TEST(Program, WithoutADisplayItPointsToTheConsoleCommand) {
    for (const char* display : {"", ":no-such-display"}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(v);
        if (*display) env.insert("DISPLAY", display);
        p.setProcessEnvironment(env);
        p.start(QW_APP_BINARY, {});
        ASSERT_TRUE(p.waitForFinished(120000)) << display;
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        SCOPED_TRACE(err.toStdString());
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 1);
        EXPECT_EQ(err.count('\n'), 1);
        EXPECT_TRUE(err.contains("no display"));
        EXPECT_TRUE(err.contains("jet4 compact --in-place"));
        EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
    }
}

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
