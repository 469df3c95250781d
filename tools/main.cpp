// jet4: a command-line tool over the Jet 4 engine, for people and scripts.
//
// Each command takes only the options it uses; anything else is a usage
// error. Exit status: 0 success, 1 refused or problems found, 2 usage error.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "compaction/CompactCommand.h"
#include "jet/Check.h"
#include "jet/Compact.h"
#include "jet/KeySearch.h"
#include "platform/FormEngine.h"
#include "platform/MessageBox.h"
#include "platform/Process.h"

namespace {

const char* kFooter =
    "The password may also come from the environment variable JET4_PASSWORD,\n"
    "which keeps it out of process listings.\n"
    "\n"
    "Exit status: 0 success, 1 refused or problems found, 2 usage error.";

// What the command line asked for.
struct Args {
    std::string file;                 // FILE, compact's SOURCE
    std::string destination;          // compact's DEST
    std::vector<std::string> tables;  // dump's TABLE...
    std::string password;
    std::string newPassword;
    std::string key;  // --key, hexadecimal
    bool inPlace = false;
    bool timing = false;
};

int usageError(const std::string& message) {
    std::cerr << "jet4: " << platform::printableText(message)
              << "\nRun 'jet4 --help' for the commands and their options.\n";
    return 2;
}

int reportError(const jet::Error& e) {
    std::cerr << "jet4: " << platform::printableText(e.description) << " (" << e.number << " - "
              << e.source << ")\n";
    return 1;
}

// --password, or JET4_PASSWORD when it is not given; fallback without either.
std::string password(const CLI::App& command, const Args& a, const std::string& fallback = "") {
    if (command.count("--password") != 0) return a.password;
    if (const char* env = std::getenv("JET4_PASSWORD")) return env;
    return fallback;
}

// A command over one database: FILE (or another name for it) and --password.
CLI::App* addCommand(CLI::App& app, Args& a, const std::string& name, const std::string& what,
                     const std::string& file = "FILE") {
    CLI::App* command = app.add_subcommand(name, what);
    command->add_option(file, a.file, "the database")->required();
    command->add_option("--password", a.password, "the database password (default: none)");
    return command;
}

void addCompact(CLI::App& app, Args& a) {
    CLI::App* compact =
        addCommand(app, a, "compact", "write a compacted copy, or compact in place", "SOURCE");
    compact->add_option("DEST", a.destination, "the copy (must not exist)");
    compact->add_option("--new-password", a.newPassword, "the copy's password (empty: none)");
    compact->add_flag("--timing", a.timing, "also print the time of the copy, flush and check");
    compact->add_flag("--in-place", a.inPlace, "replace SOURCE by its compacted copy");
    compact->add_option("--key", a.key,
                        "the key an encoded SOURCE's pages are encoded with, where its header "
                        "is lost (hexadecimal, as an earlier compaction printed it)");
    compact->footer(
        "jet4 compact SOURCE DEST writes a compacted copy of SOURCE to DEST, keeping\n"
        "its password unless --new-password is given.\n"
        "jet4 compact --in-place SOURCE compacts and repairs SOURCE in place, as the\n"
        "utility's button does (with the product's password unless --password or\n"
        "JET4_PASSWORD gives another); the size report goes to stdout, a failure to\n"
        "stderr.\n"
        "On a terminal, both show on stderr how far the copy has come.\n"
        "An encoded SOURCE whose header is lost has its key searched for, which takes\n"
        "minutes; on a terminal its progress is shown, and Ctrl+C stops it with\n"
        "nothing written. The key found is printed, for --key in a later run.\n\n" +
        std::string(kFooter));
}

void addCommands(CLI::App& app, Args& a) {
    addCommand(app, a, "info",
               "format, pages, encoding, password (set or not), tables and the space a "
               "compaction would reclaim");
    addCommand(app, a, "tables", "the local tables, one a line (system tables marked)");
    addCommand(app, a, "dump", "every row of the tables, one JSON object a line")
        ->add_option("TABLE", a.tables, "the tables to dump (default: every local table)");
    addCommand(app, a, "check", "verify the file; lists every problem found");
    addCompact(app, a);
}

void printInfo(const jet::DatabaseInfo& i) {
    std::cout << "format: " << i.format << "\n"
              << "size: " << i.fileSize << " bytes, " << i.pageCount << " pages\n"
              << "encoded: " << (i.encoded ? "yes" : "no") << "\n"
              << "password: " << (i.hasPassword ? "set" : "none") << "\n"
              << "code page: " << i.codePage << ", sort order: " << i.sortLcid << "\n"
              << "created: " << i.creationDate << "\n"
              << "tables:\n";
    for (const auto& t : i.report.tables) {
        std::cout << "  " << t.name << (t.system ? " (system)" : "") << ": " << t.rows << " rows, "
                  << t.indexes << " indexes\n";
    }
    std::cout << "reclaimable: " << i.report.unreachablePages() << " unreachable pages ("
              << static_cast<uint64_t>(i.report.unreachablePages()) * 4096 << " bytes), "
              << i.report.deadRowBytes << " bytes of dead rows\n";
    if (!i.report.ok()) {
        std::cout << "problems: " << i.report.problems.size() << " (run jet4 check)\n";
    }
}

int runInfo(const CLI::App& command, const Args& a) {
    auto r = jet::databaseInfo(a.file, password(command, a));
    if (!r) return reportError(r.error());
    printInfo(r.value());
    return 0;
}

int runTables(const CLI::App& command, const Args& a) {
    auto r = jet::databaseInfo(a.file, password(command, a));
    if (!r) return reportError(r.error());
    for (const auto& t : r.value().report.tables) {
        std::cout << t.name << (t.system ? "\tsystem" : "") << "\n";
    }
    return 0;
}

int runDump(const CLI::App& command, const Args& a) {
    auto r = jet::dumpFile(a.file, password(command, a), a.tables, std::cout);
    if (!r) return reportError(r.error());
    return 0;
}

// Notes and problems on stdout, a line each (each problem followed by what
// a compaction does about it, then what it would do with each damaged
// table); the count of problems on stderr.
void printCheckReport(const jet::CheckReport& rep) {
    for (const auto& n : rep.notes) std::cout << "note: " << n << "\n";
    for (const auto& p : rep.problems) {
        std::cout << "problem: " << p.text << "\n";
        std::cout << "  repair: " << p.remedy << "\n";
    }
    for (const auto& line : rep.repairs) std::cout << "compaction: " << line << "\n";
    if (!rep.ok()) {
        std::cerr << "jet4: " << rep.problems.size() << " problems found\n";
        return;
    }
    std::cout << "ok: " << rep.tables.size() << " tables, " << rep.reachablePages << " of "
              << rep.pageCount << " pages reachable\n";
}

int runCheck(const CLI::App& command, const Args& a) {
    auto r = jet::checkFile(a.file, password(command, a));
    if (!r) return reportError(r.error());
    printCheckReport(r.value());
    return r.value().ok() ? 0 : 1;
}

// Long work shown on the terminal, a line for each kind: how far, how
// fast, how long still, for the search for a lost key and for each pass of
// the compaction's copy. Nothing is shown where stderr is no terminal.
class TerminalWatch : public jet::KeySearchWatch, public jet::CompactWatch {
  public:
    TerminalWatch() : shown_(platform::isTerminal(stderr)) {}
    ~TerminalWatch() override { endLine(); }
    TerminalWatch(const TerminalWatch&) = delete;
    TerminalWatch& operator=(const TerminalWatch&) = delete;
    void searching(uint64_t tried, uint64_t total, double seconds) override {
        show("searching for the key", {tried, total, seconds}, {"keys", 1e-6, "million keys/s"});
    }
    void progress(const jet::CompactProgress& p) override {
        if (p.pagesToRead == 0) {  // nothing to count: what was drawn ends
            endLine();
            if (p.repairing && shown_) {
                std::fputs("repairing: reading what the damaged tables still hold\n", stderr);
                std::fflush(stderr);
            }
            return;
        }
        show(p.repairing ? "repairing" : "compacting", {p.pagesRead, p.pagesToRead, p.seconds},
             {"pages", 4096e-6, "MB/s"});
        if (p.pagesRead == p.pagesToRead) endLine();
    }
    // The line being drawn ended, before anything else is written.
    void endLine() {
        if (!drawn_) return;
        std::fputc('\n', stderr);
        std::fflush(stderr);
        drawn_ = false;
    }

  private:
    struct Count {
        uint64_t done, total;
        double seconds;
    };
    // What is counted, and its rate: a unit a second times scale, named.
    struct Unit {
        const char* name;
        double scale;
        const char* rate;
    };
    void show(const char* what, Count c, Unit unit) {
        if (!shown_ || c.total == 0) return;
        if (what != drawing_) endLine();
        drawing_ = what;
        const double rate = c.seconds > 0 ? static_cast<double>(c.done) / c.seconds : 0;
        char line[160];
        int n = std::snprintf(line, sizeof line, "%s: %5.1f%% (%llu of %llu %s)", what,
                              100.0 * static_cast<double>(c.done) / static_cast<double>(c.total),
                              static_cast<unsigned long long>(c.done),
                              static_cast<unsigned long long>(c.total), unit.name);
        auto add = [&](auto... parts) {
            if (n >= 0 && static_cast<std::size_t>(n) < sizeof line)
                n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), parts...);
        };
        if (rate > 0) add(", %.1f %s", rate * unit.scale, unit.rate);
        if (rate > 0 && c.done < c.total) {
            const auto left =
                static_cast<unsigned long>(static_cast<double>(c.total - c.done) / rate);
            add(", %lu min %02lu s left", left / 60, left % 60);
        }
        // Spaces over the end of a longer line drawn before.
        const int width = n < 0 ? 0 : std::min(n, static_cast<int>(sizeof line) - 1);
        std::fprintf(stderr, "\r%s%*s", line, drawn_ && width_ > width ? width_ - width : 0, "");
        std::fflush(stderr);
        width_ = width;
        drawn_ = true;
    }

    bool shown_;
    bool drawn_ = false;
    std::string drawing_;  // what the line being drawn shows
    int width_ = 0;        // its width
};

// The utility's messages on the terminal, each on a line of its own after
// the progress drawn there.
class TerminalMessageBox : public platform::ConsoleMessageBox {
  public:
    explicit TerminalMessageBox(TerminalWatch& watch) : watch_(watch) {}
    void show(const std::string& text, platform::MessageIcon icon,
              const std::string& title) override {
        watch_.endLine();
        ConsoleMessageBox::show(text, icon, title);
    }

  private:
    TerminalWatch& watch_;
};

// Ctrl+C (or a request to terminate) while a key search runs stops it, and
// the compaction ends having written nothing; otherwise the signal takes
// its course.
volatile std::sig_atomic_t gStopped = 0;

extern "C" void stopSearchOrEnd(int signal) {
    gStopped = 1;
    if (!jet::stopKeySearches()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

// --key: up to 8 hexadecimal digits; false when it is not.
bool parseKey(const std::string& text, jet::LostKey& lost) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t key = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        key = key << 4 | static_cast<uint32_t>(digit);
    }
    lost.key = key;
    return true;
}

// What a repair did, a line for each table it touched, one for each table
// whose rows now refer to rows that were dropped, and one in all.
void printRepair(const jet::RepairSummary& s) {
    // Fewer rows than the damaged file held: how many, first.
    if (s.account.fewer()) {
        const jet::RowAccount& a = s.account;
        std::cout << "repaired: kept " << a.copied() << " of " << a.rows << " rows (" << a.kept
                  << " in their own tables, " << a.recovered << " in recovered tables; "
                  << a.dropped << " dropped, each listed in MSysCompactError)\n";
    }
    for (const auto& t : s.tables) {
        std::cout << "repaired: table '" << t.table << "': ";
        if (t.lost) {
            std::cout << "lost (its definition cannot be read)\n";
            continue;
        }
        std::cout << t.rowsKept << " rows kept, " << t.rowsDropped << " dropped, " << t.rowsChanged
                  << " changed, " << t.rowsMovedBack << " moved back, " << t.rowsForeign
                  << " foreign left out, " << t.rowsRestored << " brought back, "
                  << t.indexesRebuilt << " indexes rebuilt";
        if (t.indexesReordered != 0)
            std::cout << " (" << t.indexesReordered << " in the General sort order)";
        if (t.deletesKept != 0) std::cout << ", " << t.deletesKept << " deleted rows kept deleted";
        if (t.countStale) std::cout << "; its definition counted " << t.countedRows << " rows";
        std::cout << (t.recovered ? ", recovered under this name" : "") << "\n";
    }
    for (const auto& r : s.references) {
        std::cout << "repaired: table '" << r.table << "': " << r.rows
                  << " rows refer to rows of table '" << r.referenced
                  << "' that were dropped (relationship '" << r.relationship << "')\n";
    }
    if (s.headerRebuilt) std::cout << "repaired: the database header was made anew\n";
    if (s.keyRecovered) {
        const std::string key = jet::keyText(s.databaseKey);
        std::cout << "repaired: the key the pages are encoded with was "
                  << (s.keySearched ? "searched for and found again" : "found again") << ": " << key
                  << " (give it as --key " << key << " to compact this file again)\n";
    }
    if (s.lostOrChanged()) {
        std::cout << "repaired: " << s.rowsDropped << " rows dropped, " << s.rowsChanged
                  << " changed, " << s.rowsMovedBack << " moved back, " << s.rowsForeign
                  << " foreign left out, " << s.rowsRestored << " brought back, " << s.tablesLost
                  << " tables lost; " << s.logEntries << " entries in MSysCompactError\n";
    }
}

void printCompactResult(const jet::CompactResult& r, bool timing) {
    printRepair(r.repair);
    std::cout << "compacted: " << r.sourcePages << " pages -> " << r.destinationPages << " pages\n";
    if (timing) {
        std::cout << "copy " << r.copySeconds << " s, flush " << r.flushSeconds << " s, verify "
                  << r.verifySeconds << " s\n";
    }
}

int runCompactCopy(const CLI::App& command, const Args& a) {
    if (command.count("DEST") == 0) return usageError("compact needs SOURCE and DEST");
    jet::CompactRequest req;
    req.sourcePath = a.file;
    req.sourcePassword = password(command, a);
    req.destinationPath = a.destination;
    req.destinationPassword =
        command.count("--new-password") != 0 ? a.newPassword : req.sourcePassword;
    if (command.count("--key") != 0 && !parseKey(a.key, req.lostKey))
        return usageError("--key takes up to 8 hexadecimal digits, not '" + a.key + "'");
    TerminalWatch watch;
    req.lostKey.watch = &watch;
    req.watch = &watch;
    auto r = jet::compactFile(req);
    watch.endLine();
    if (!r) return reportError(r.error());
    printCompactResult(r.value(), a.timing);
    return 0;
}

// The utility's own command, with a message box that writes to the terminal.
int runCompactInPlace(const CLI::App& command, const Args& a) {
    if (command.count("DEST") != 0) return usageError("compact --in-place takes SOURCE alone");
    if (command.count("--new-password") != 0) {
        return usageError(
            "compact --in-place keeps the database's own password; --new-password is for "
            "compact SOURCE DEST");
    }
    if (a.timing) return usageError("--timing is for compact SOURCE DEST");
    jet::LostKey lost;
    if (command.count("--key") != 0 && !parseKey(a.key, lost))
        return usageError("--key takes up to 8 hexadecimal digits, not '" + a.key + "'");
    TerminalWatch watch;
    lost.watch = &watch;
    TerminalMessageBox box(watch);
    platform::RealFileSystem files;
    platform::LocaleNumberFormat numbers;
    platform::JetEngineFactory engines(nullptr, lost, &watch);
    compaction::Runtime rt{box, files, numbers, engines};
    compaction::CompactCommand run(rt, password(command, a, compaction::kDatabasePassword));
    platform::runHandler([&] { run.Command2_Click(a.file); }, box);
    watch.endLine();
    // A stopped search shows no message (the window that asked is closing);
    // a run that went on after the signal came too late shows its own.
    if (gStopped != 0 && !box.sawAny()) {
        std::cerr << "jet4: the search for the key was stopped; nothing was changed.\n";
        return 1;
    }
    return box.sawCritical() ? 1 : 0;
}

int run(const CLI::App& app, const Args& a) {
    const CLI::App* command = app.get_subcommands().front();
    const std::string& name = command->get_name();
    if (name == "compact") {
        for (const int signal : {SIGINT, SIGTERM}) {
            // One the caller set to be ignored (a run in the background) stays so.
            if (std::signal(signal, stopSearchOrEnd) == SIG_IGN) std::signal(signal, SIG_IGN);
        }
    }
    if (name == "info") return runInfo(*command, a);
    if (name == "tables") return runTables(*command, a);
    if (name == "dump") return runDump(*command, a);
    if (name == "check") return runCheck(*command, a);
    return a.inPlace ? runCompactInPlace(*command, a) : runCompactCopy(*command, a);
}

}  // namespace

int main(int argc, char** argv) {
    if (!platform::prepareProcess()) return 1;
    platform::keepLargeFreedBlocks();
    CLI::App app("Reads, checks and compacts Jet 4 databases.", "jet4");
    app.set_version_flag("--version", std::string("jet4 ") + JET4_VERSION);
    app.require_subcommand(1);
    // Options start with '-' on every system: on Windows CLI11 would take
    // "/x" as one too, and a path beginning with a slash is a file.
    app.allow_windows_style_options(false);
    app.footer(kFooter);
    Args args;
    addCommands(app, args);
    // As UTF-8 whatever the system (a Greek path on Windows, say); CLI11
    // takes them last first, without the program's name.
    const std::vector<std::string> given = platform::commandArguments(argc, argv);
    std::vector<std::string> reversed(given.rbegin(), given.rend());
    if (!reversed.empty()) reversed.pop_back();
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        if (given.size() < 2) return usageError("no command given");
        if (app.get_subcommands().empty() && given[1][0] != '-') {
            return usageError("unknown command " + given[1]);
        }
        return usageError(e.what());
    }
    return run(app, args);
}
