#include "support/Fixtures.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

fs::path fixturesDir() {
    std::error_code ec;
    if (const char* env = std::getenv("QW_FIXTURES")) {
        return fs::is_directory(fs::path(env) / "jet4", ec) ? fs::path(env) : fs::path();
    }
    fs::path p = fs::path(QW_SOURCE_DIR) / ".." / "shared" / "fixtures";
    if (fs::is_directory(p / "jet4", ec)) return fs::weakly_canonical(p);
    return {};
}

std::vector<fs::path> jet4Fixtures() {
    std::vector<fs::path> out;
    fs::path dir = fixturesDir();
    if (dir.empty()) return out;
    for (const auto& e : fs::directory_iterator(dir / "jet4")) {
        if (e.path().extension() == ".mdb") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string fixturePassword(const std::string& fileName) {
    std::ifstream in(fixturesDir() / "MANIFEST.tsv");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string c;
        while (std::getline(ss, c, '\t')) cols.push_back(c);
        if (cols.size() > 8 && cols[0] == fileName) {
            const std::string prefix = "yes: ";
            return cols[8].rfind(prefix, 0) == 0 ? cols[8].substr(prefix.size()) : "";
        }
    }
    return "";
}

TempDir::TempDir() {
    static std::mt19937_64 random{std::random_device{}()};
    static std::mutex mutex;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        {
            std::lock_guard<std::mutex> lock(mutex);
            std::snprintf(name, sizeof name, "qwtest-%012llx",
                          static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
        }
        std::error_code ec;
        if (fs::create_directory(base / name, ec)) {
            fs::permissions(base / name, fs::perms::owner_all, fs::perm_options::replace, ec);
            path_ = base / name;
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

fs::path copyFixture(const fs::path& fixture, const TempDir& dir, const std::string& as) {
    fs::path to = dir / (as.empty() ? fixture.filename().string() : as);
    fs::copy_file(fixture, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    return to;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

#ifdef _WIN32
// No POSIX shell: a test that asks for one fails rather than passing on no
// output; it must skip there (SKIP_WITHOUT_SHELL).
int runCommand(const std::string& command, std::string& output) {
    output.clear();
    ADD_FAILURE() << "a shell was asked where there is none: " << command;
    return -1;
}

bool haveShell() { return false; }

void setVariable(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }
#else
int runCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* f = ::popen(command.c_str(), "r");
    if (!f) return -1;
    std::array<char, 65536> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) output.append(buf.data(), n);
    int status = ::pclose(f);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveShell() { return true; }

void setVariable(const char* name, const std::string& value) {
    if (value.empty())
        ::unsetenv(name);
    else
        ::setenv(name, value.c_str(), 1);
}
#endif

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

bool haveCommand(const std::string& name) {
    if (!haveShell()) return false;
    std::string out;
    return runCommand("command -v " + shellQuote(name) + " >/dev/null 2>&1", out) == 0;
}

}  // namespace testsupport
