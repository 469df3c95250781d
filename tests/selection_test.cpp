// The browse command: dialog settings, pick, cancel, and the resume-next
// handling of errors.
#include <gtest/gtest.h>

#include "platform/FileDialog.h"
#include "platform/WindowStyle.h"
#include "platform/doubles/Doubles.h"
#include "selection/BrowseCommand.h"

using platform::doubles::FakeFileDialog;

namespace {
struct PathBox {
    std::string text = "/previous/data.dbf";
    std::function<void(const std::string&)> setter() {
        return [this](const std::string& t) { text = t; };
    }
};
}  // namespace

TEST(BrowseCommand, SetsTheDialogUpInOrderAndTakesThePickedPath) {
    FakeFileDialog dlg;
    dlg.pick = "/srv/qw/data.dbf";
    PathBox box;
    selection::Command1_Click(dlg, box.setter(), "/opt/qw");
    EXPECT_EQ(dlg.order, (std::vector<std::string>{"CancelError", "Flags", "InitDir", "FileName",
                                                   "DialogTitle", "Filter"}));
    EXPECT_TRUE(dlg.cancelError);
    EXPECT_EQ(dlg.flags, 6);
    EXPECT_EQ(dlg.initDir, "/opt/qw");
    EXPECT_EQ(dlg.fileNameSet, "data.dbf");
    EXPECT_EQ(dlg.title, "Please select the DBASE file");
    EXPECT_EQ(dlg.filter, "QW DBASE (data.dbf)|data.dbf|");
    EXPECT_EQ(dlg.shown, 1);
    EXPECT_EQ(box.text, "/srv/qw/data.dbf");
}

TEST(BrowseCommand, CancelAndErrorsLeaveThePathBoxAsItWas) {
    {
        FakeFileDialog dlg;
        dlg.outcome = FakeFileDialog::Outcome::kCancel;
        PathBox box;
        selection::Command1_Click(dlg, box.setter(), "/opt/qw");
        EXPECT_EQ(box.text, "/previous/data.dbf");
    }
    {
        // A set-up error is remembered: the file picked afterwards is discarded.
        FakeFileDialog dlg;
        dlg.failSetting = "Filter";
        dlg.pick = "/srv/qw/data.dbf";
        PathBox box;
        selection::Command1_Click(dlg, box.setter(), "/opt/qw");
        EXPECT_EQ(dlg.shown, 1);
        EXPECT_EQ(box.text, "/previous/data.dbf");
    }
    {
        FakeFileDialog dlg;
        dlg.pick = "/srv/qw/data.dbf";
        dlg.failFileName = true;
        PathBox box;
        selection::Command1_Click(dlg, box.setter(), "/opt/qw");
        EXPECT_EQ(box.text, "/previous/data.dbf");
    }
}

TEST(BrowseCommand, TheFilterIsOneEntryForDataDbf) {
    auto f = platform::parseFilter("QW DBASE (data.dbf)|data.dbf|");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].description, "QW DBASE (data.dbf)");
    EXPECT_EQ(f[0].patterns, "data.dbf");
    EXPECT_EQ(platform::parseFilter("A|*.a|B|*.b").size(), 2u);
    EXPECT_TRUE(platform::parseFilter("").empty());
}

TEST(WindowStyle, TheFlatStyleIsFlatButHiddenAndOutOfTheTabOrder) {
    auto e = platform::decodeButtonStyle(platform::kFlatButtonStyle);
    EXPECT_TRUE(e.flat);
    EXPECT_FALSE(e.visible);
    EXPECT_FALSE(e.tabStop);
    auto all = platform::decodeButtonStyle(0x50010000);
    EXPECT_FALSE(all.flat);
    EXPECT_TRUE(all.visible);
    EXPECT_TRUE(all.tabStop);
}
