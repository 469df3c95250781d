// The database the product really uses where Windows keeps copies for
// programs of the old kind: a path in a protected folder stands for its copy
// in the user's VirtualStore, and the compact command works on that copy
// and names it.
#include <gtest/gtest.h>

#include <random>

#include "compaction/CompactCommand.h"
#include "platform/DatabaseEngine.h"
#include "platform/FileSystem.h"
#include "platform/FormEngine.h"
#include "platform/NumberFormat.h"
#include "platform/VirtualStore.h"
#include "platform/doubles/Doubles.h"
#include "support/Fixtures.h"
#include "support/SampleDatabase.h"
#ifdef _WIN32
#include "jet/WideText.h"
#endif

using namespace testsupport;

TEST(VirtualStore, APathInAProtectedFolderStandsForItsCopyInTheUsersStore) {
    const platform::ProtectedFolders f{
        {"C:\\Program Files", "C:\\Program Files (x86)\\", "C:\\Windows", "C:\\ProgramData"},
        "C:\\Users\\Νίκος\\AppData\\Local\\VirtualStore"};
    const std::string store = f.virtualStore + "\\";
    struct Case {
        const char* path;
        std::string copy;  // "" for none
    };
    const Case cases[] = {
        {"C:\\Program Files\\Βάση QW\\data.dbf", store + "Program Files\\Βάση QW\\data.dbf"},
        {"c:\\PROGRAM FILES\\qw\\data.dbf", store + "PROGRAM FILES\\qw\\data.dbf"},
        {"C:/Program Files/QW/data.dbf", store + "Program Files/QW/data.dbf"},
        {"C:\\Program Files (x86)\\QW\\data.dbf", store + "Program Files (x86)\\QW\\data.dbf"},
        {"C:\\ProgramData\\QW\\data.dbf", store + "ProgramData\\QW\\data.dbf"},
        {"C:\\Windows\\data.dbf", store + "Windows\\data.dbf"},
        // Not inside a protected folder: a longer name, the folder itself,
        // another drive, a share, the user's own folders.
        {"C:\\Program Files2\\QW\\data.dbf", ""},
        {"C:\\Program Files", ""},
        {"C:\\Program Files\\", ""},
        {"D:\\Program Files\\QW\\data.dbf", ""},
        {"\\\\server\\share\\Program Files\\data.dbf", ""},
        {"C:\\Users\\Νίκος\\Έγγραφα\\data.dbf", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::virtualStorePathOf(c.path, f), c.copy) << c.path;
    EXPECT_EQ(platform::virtualStorePathOf(cases[0].path, {f.folders, ""}), "")
        << "a user without a VirtualStore folder";
}

#ifdef _WIN32

namespace {

fs::path pathOf(const std::string& utf8) { return fs::path(jet::widen(utf8)); }

std::string compact(const std::string& chosen, platform::doubles::RecordingMessageBox& box) {
    platform::RealFileSystem files;
    platform::LocaleNumberFormat numbers;
    platform::JetEngineFactory engines;
    compaction::Runtime rt{box, files, numbers, engines};
    compaction::CompactCommand command(rt);
    box.shown.clear();
    platform::runHandler([&] { command.Command2_Click(chosen); }, box);
    std::string all;
    for (const auto& m : box.shown) all += m.text + "\n";
    return all;
}

}  // namespace

// The folders laid out as Windows lays them: the product's database under
// Program Files, a newer copy of it in the VirtualStore of the user.
TEST(VirtualStore, TheCommandCompactsTheCopyTheProductUsesAndNamesIt) {
    const platform::ProtectedFolders system = platform::systemProtectedFolders();
    ASSERT_FALSE(system.folders.empty());
    ASSERT_FALSE(system.virtualStore.empty());
    const std::string folder =
        system.folders.front() + "\\Βάση QW " + std::to_string(std::random_device{}() % 100000);
    std::error_code ec;
    fs::create_directories(pathOf(folder), ec);
    if (ec) GTEST_SKIP() << "cannot write in " << folder << " (a Windows that protects it)";
    const std::string original = folder + "\\data.dbf";
    const std::string stored = platform::virtualStorePathOf(original, system);
    ASSERT_NE(stored, "");
    struct Cleanup {
        fs::path a, b;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(a, ignored);
            fs::remove_all(b, ignored);
        }
    } cleanup{pathOf(folder), pathOf(stored).parent_path()};
    fs::create_directories(pathOf(stored).parent_path());
    buildSampleDatabase(original, {.password = compaction::kDatabasePassword, .rows = 120});
    buildSampleDatabase(stored, {.password = compaction::kDatabasePassword, .rows = 300});
    const std::string originalBytes = readFile(pathOf(original));
    const auto storedSize = fs::file_size(pathOf(stored));

    platform::doubles::RecordingMessageBox box;
    // Spelled with slashes: the same folder for Windows.
    std::string spelled = original;
    for (char& c : spelled) c = c == '\\' ? '/' : c;
    const std::string report = compact(spelled, box);
    ASSERT_EQ(box.shown.size(), 1u) << report;
    EXPECT_EQ(box.shown[0].icon, platform::MessageIcon::kInformation) << report;
    EXPECT_EQ(report.rfind("All Done!", 0), 0u) << report;
    EXPECT_NE(report.find("VirtualStore folder. Compacted:\r\n" + stored), std::string::npos)
        << report;
    EXPECT_LT(fs::file_size(pathOf(stored)), storedSize);
    EXPECT_EQ(readFile(pathOf(original)), originalBytes) << "the copy the product no longer reads";
    EXPECT_FALSE(fs::exists(pathOf(stored + "2")));

    // Without a copy in the store, the chosen file is the product's, and the
    // report names no other.
    fs::remove(pathOf(stored));
    const std::string plain = compact(original, box);
    ASSERT_EQ(box.shown.size(), 1u) << plain;
    EXPECT_EQ(plain.rfind("All Done!", 0), 0u) << plain;
    EXPECT_EQ(plain.find("VirtualStore"), std::string::npos) << plain;
    EXPECT_LT(fs::file_size(pathOf(original)), originalBytes.size());

    // A folder at the copy's name is no copy.
    fs::create_directories(pathOf(stored));
    const std::string folderThere = compact(original, box);
    ASSERT_EQ(box.shown.size(), 1u) << folderThere;
    EXPECT_EQ(folderThere.find("VirtualStore"), std::string::npos) << folderThere;
}

#endif
