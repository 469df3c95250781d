// Writes jet/keys/GeneralLegacyTable.inc from general-legacy.tsv.
// Usage: text-key-table TABLE.tsv OUT.inc
#include <fstream>
#include <iostream>

#include "GeneralLegacyTsv.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: text-key-table TABLE.tsv OUT.inc\n";
        return 2;
    }
    std::string error;
    const auto codes = keytable::readGeneralLegacyTsv(argv[1], error);
    if (codes.empty()) {
        std::cerr << "text-key-table: " << error << "\n";
        return 1;
    }
    const auto runs = keytable::makeRuns(codes);
    for (const auto& run : runs) {
        for (uint32_t i = 0; i < run.count; ++i) {
            if (jet::textKeyCodeInRun(run, i) != codes[run.first + i]) {
                std::cerr << "text-key-table: the runs do not give back unit " << run.first + i
                          << "\n";
                return 1;
            }
        }
    }
    std::ofstream out(argv[2], std::ios::binary);
    out << keytable::runsSource(runs);
    if (!out.flush()) {
        std::cerr << "text-key-table: cannot write " << argv[2] << "\n";
        return 1;
    }
    std::size_t listed = 0;
    for (const auto& run : runs) listed += run.count;
    std::cout << runs.size() << " runs for " << listed << " code units written to " << argv[2]
              << "\n";
    return 0;
}
