// Access to the Microsoft-made test databases beside the checkout, temporary
// folders, and running the mdbtools oracle.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// The fixtures folder, or empty when it is absent.
fs::path fixturesDir();
// Every .mdb in fixtures/jet4, sorted.
std::vector<fs::path> jet4Fixtures();
// The password of a fixture from the manifest ("" when it has none).
std::string fixturePassword(const std::string& fileName);

// A folder that is removed with everything in it when the object dies.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

// Copies a fixture into dir (writable) and returns the copy's path.
fs::path copyFixture(const fs::path& fixture, const TempDir& dir, const std::string& as = "");

std::string readFile(const fs::path& p);
void writeFile(const fs::path& p, const std::string& bytes);

// Runs a command through the shell; returns its exit status and stdout.
// Windows has no POSIX shell: there it runs nothing and returns -1.
int runCommand(const std::string& command, std::string& output);
bool haveShell();

// The variable that names the system's folder for temporary files.
#ifdef _WIN32
inline constexpr const char* kTemporaryFolderVariable = "TMP";
#else
inline constexpr const char* kTemporaryFolderVariable = "TMPDIR";
#endif
// Sets an environment variable of the process; "" removes it.
void setVariable(const char* name, const std::string& value);
std::string shellQuote(const std::string& s);
bool haveCommand(const std::string& name);

}  // namespace testsupport

#define SKIP_WITHOUT_FIXTURES()                                                                \
    do {                                                                                       \
        if (testsupport::fixturesDir().empty())                                                \
            GTEST_SKIP() << "../shared/fixtures is absent: Microsoft-made test files skipped"; \
    } while (0)

// mdbtools, the oracle, and a POSIX shell are not there on Windows: tests
// that need them skip there, saying so. Elsewhere mdbtools must be installed.
#define SKIP_WITHOUT_SHELL()                                                               \
    do {                                                                                   \
        if (!testsupport::haveShell())                                                     \
            GTEST_SKIP() << "needs a POSIX shell, which Windows lacks: run on Linux only"; \
    } while (0)

#define SKIP_WITHOUT_MDBTOOLS()                                                                 \
    do {                                                                                        \
        if (!testsupport::haveShell())                                                          \
            GTEST_SKIP() << "needs mdbtools, which does not run on Windows: run on Linux only"; \
        ASSERT_TRUE(testsupport::haveCommand("mdb-json")) << "mdbtools is not installed";       \
    } while (0)
