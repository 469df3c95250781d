// jet4: a command-line tool over the Jet 4 engine, for people and scripts.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "compaction/CompactCommand.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "platform/FormEngine.h"

namespace {

const char* kUsage =
    "Usage: jet4 COMMAND FILE [ARGS] [--password P]\n"
    "\n"
    "Commands:\n"
    "  info FILE            format, pages, encoding, password (set or not), tables and\n"
    "                       the space a compaction would reclaim\n"
    "  tables FILE          the local tables, one a line (system tables marked)\n"
    "  dump FILE [TABLE...] every row of the tables, one JSON object a line\n"
    "  check FILE           verify the file; lists every problem found\n"
    "  compact SOURCE DEST  write a compacted copy of SOURCE to DEST (which must not\n"
    "                       exist), keeping the password; --new-password P gives the\n"
    "                       copy another one\n"
    "  compact --in-place FILE\n"
    "                       compact and repair FILE in place, as the utility's button\n"
    "                       does (the product's password unless --password is given);\n"
    "                       the size report goes to stdout, a failure to stderr\n"
    "\n"
    "The password may also come from the environment variable JET4_PASSWORD,\n"
    "which keeps it out of process listings.\n"
    "\n"
    "Exit status: 0 success, 1 refused or problems found, 2 usage error.\n";

int usageError(const std::string& message) {
    std::cerr << "jet4: " << message << "\n\n" << kUsage;
    return 2;
}

int reportError(const jet::Error& e) {
    std::cerr << "jet4: " << e.description << " (" << e.number << " - " << e.source << ")\n";
    return 1;
}

struct Args {
    std::string command;
    std::vector<std::string> positional;
    std::string password;
    bool passwordGiven = false;
    bool inPlace = false;
    bool timing = false;
    std::optional<std::string> newPassword;
};

// The utility's own command, with a message box that writes to the terminal.
int compactInPlace(const std::string& file, const std::string& password) {
    platform::ConsoleMessageBox box;
    platform::PosixFileSystem files;
    platform::LocaleNumberFormat numbers;
    platform::JetEngineFactory engines;
    compaction::Runtime rt{box, files, numbers, engines};
    compaction::CompactCommand command(rt, password);
    platform::runHandler([&] { command.Command2_Click(file); }, box);
    return box.sawCritical() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    jet::keepLargeBlocks();
    // A reader that stops early (jet4 dump | head) must not kill the tool.
    std::signal(SIGPIPE, SIG_IGN);
    Args a;
    for (int i = 1; i < argc; ++i) {
        std::string s = argv[i];
        if (s == "--help" || s == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (s == "--password") {
            if (i + 1 >= argc) return usageError("--password needs a value");
            a.password = argv[++i];
            a.passwordGiven = true;
        } else if (s == "--in-place") {
            a.inPlace = true;
        } else if (s == "--timing") {
            a.timing = true;
        } else if (s == "--new-password") {
            if (i + 1 >= argc) return usageError("--new-password needs a value");
            a.newPassword = argv[++i];
        } else if (s.rfind("--password=", 0) == 0) {
            a.password = s.substr(11);
            a.passwordGiven = true;
        } else if (s.size() > 1 && s[0] == '-' && s != "-") {
            return usageError("unknown option " + s);
        } else if (a.command.empty()) {
            a.command = s;
        } else {
            a.positional.push_back(s);
        }
    }
    if (!a.passwordGiven) {
        if (const char* env = std::getenv("JET4_PASSWORD")) a.password = env;
    }
    if (a.command.empty()) return usageError("no command given");
    if (a.positional.empty()) return usageError("no database file given");
    const std::string& file = a.positional[0];

    if (a.command == "info" || a.command == "tables" || a.command == "check") {
        if (a.positional.size() != 1) return usageError("too many arguments");
    }
    if (a.command == "info") {
        auto r = jet::databaseInfo(file, a.password);
        if (!r) return reportError(r.error());
        const auto& i = r.value();
        std::cout << "format: " << i.format << "\n"
                  << "size: " << i.fileSize << " bytes, " << i.pageCount << " pages\n"
                  << "encoded: " << (i.encoded ? "yes" : "no") << "\n"
                  << "password: " << (i.hasPassword ? "set" : "none") << "\n"
                  << "code page: " << i.codePage << ", sort order: " << i.sortLcid << "\n"
                  << "created: " << i.creationDate << "\n"
                  << "tables:\n";
        for (const auto& t : i.report.tables) {
            std::cout << "  " << t.name << (t.system ? " (system)" : "") << ": " << t.rows
                      << " rows, " << t.indexes << " indexes\n";
        }
        std::cout << "reclaimable: " << i.report.unreachablePages() << " unreachable pages ("
                  << static_cast<uint64_t>(i.report.unreachablePages()) * 4096 << " bytes), "
                  << i.report.deadRowBytes << " bytes of dead rows\n";
        if (!i.report.ok()) {
            std::cout << "problems: " << i.report.problems.size() << " (run jet4 check)\n";
        }
        return 0;
    }
    if (a.command == "tables") {
        auto r = jet::databaseInfo(file, a.password);
        if (!r) return reportError(r.error());
        for (const auto& t : r.value().report.tables) {
            std::cout << t.name << (t.system ? "\tsystem" : "") << "\n";
        }
        return 0;
    }
    if (a.command == "dump") {
        std::vector<std::string> tables(a.positional.begin() + 1, a.positional.end());
        auto r = jet::dumpFile(file, a.password, tables, std::cout);
        if (!r) return reportError(r.error());
        return 0;
    }
    if (a.command == "check") {
        auto r = jet::checkFile(file, a.password);
        if (!r) return reportError(r.error());
        const auto& rep = r.value();
        for (const auto& n : rep.notes) std::cout << "note: " << n << "\n";
        for (std::size_t i = 0; i < rep.problems.size(); ++i) {
            std::cout << "problem: " << rep.problems[i] << "\n";
            if (i < rep.remedies.size()) std::cout << "  repair: " << rep.remedies[i] << "\n";
        }
        for (const auto& line : rep.repairs) std::cout << "compaction: " << line << "\n";
        if (!rep.ok()) {
            std::cerr << "jet4: " << rep.problems.size() << " problems found\n";
            return 1;
        }
        std::cout << "ok: " << rep.tables.size() << " tables, " << rep.reachablePages << " of "
                  << rep.pageCount << " pages reachable\n";
        return 0;
    }
    if (a.command == "compact" && a.inPlace) {
        if (a.positional.size() != 1) return usageError("compact --in-place needs one FILE");
        return compactInPlace(file, a.passwordGiven || std::getenv("JET4_PASSWORD")
                                        ? a.password
                                        : compaction::kDatabasePassword);
    }
    if (a.command == "compact") {
        if (a.positional.size() != 2) return usageError("compact needs SOURCE and DEST");
        jet::CompactRequest req;
        req.sourcePath = file;
        req.sourcePassword = a.password;
        req.destinationPath = a.positional[1];
        req.destinationPassword = a.newPassword.value_or(a.password);
        auto r = jet::compactFile(req);
        if (!r) return reportError(r.error());
        std::cout << "compacted: " << r->sourcePages << " pages -> " << r->destinationPages
                  << " pages\n";
        if (a.timing) {
            std::cout << "copy " << r->copySeconds << " s, flush " << r->flushSeconds
                      << " s, verify " << r->verifySeconds << " s\n";
        }
        return 0;
    }
    return usageError("unknown command " + a.command);
}
