// Microbenchmarks of the compaction's hot paths: decoding a page, repacking a
// row, rebuilding an index.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "format/DataPage.h"
#include "format/Rc4.h"
#include "format/Row.h"
#include "write/DatabaseWriter.h"
#include "write/LongValueWriter.h"

namespace {

jet::Page sampleDataPage() {
    jet::DataPageBuilder b(6);
    for (int i = 0; i < 30; ++i) b.add(jet::Bytes(120, static_cast<uint8_t>(i)));
    return b.build();
}

void BM_PageDecode(benchmark::State& state) {
    const jet::Page plain = sampleDataPage();
    jet::Page encoded = plain;
    jet::rc4Page(0xA7B773E0, 42, encoded.data(), jet::kPageSize);
    for (auto _ : state) {
        jet::Page p = encoded;
        jet::rc4Page(0xA7B773E0, 42, p.data(), jet::kPageSize);
        jet::DataPage dp = jet::parseDataPage(p, 42);
        benchmark::DoNotOptimize(dp.slots.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * jet::kPageSize);
}
BENCHMARK(BM_PageDecode);

void BM_RowRepack(benchmark::State& state) {
    // Two fixed columns and three text columns, as a row of a typical table.
    jet::TableDef def;
    def.name = "T";
    def.numVar = 3;
    def.maxCols = 5;
    std::vector<jet::Bytes> slots = {jet::Bytes(30, 'a'), jet::Bytes(80, 'b'), jet::Bytes(12, 'c')};
    const jet::Bytes fixed(12, 7), mask = {0x1F};
    const jet::Bytes row = jet::buildRow(5, fixed, slots, mask, true);
    for (auto _ : state) {
        jet::RowView rv = jet::crackRow(def, row, 9, 0);
        std::vector<jet::Bytes> parts;
        for (auto [s, e] : rv.varSlots) parts.emplace_back(row.begin() + s, row.begin() + e);
        jet::Bytes again = jet::buildRow(rv.ncols, jet::ByteView(row).subspan(2, rv.fixedEnd - 2),
                                         parts, jet::ByteView(row).subspan(rv.maskOffset), true);
        benchmark::DoNotOptimize(again.data());
    }
}
BENCHMARK(BM_RowRepack);

void BM_IndexRebuild(benchmark::State& state) {
    // Entries as the compaction passes them on: packed, keys in one buffer.
    const auto n = static_cast<std::size_t>(state.range(0));
    jet::PackedEntries entries;
    std::mt19937 rng(3);
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t key[] = {0x7F, 0x80, 0, static_cast<uint8_t>(rng()),
                               static_cast<uint8_t>(rng())};
        entries.entries.push_back(
            {static_cast<uint32_t>(entries.keys.size()),
             sizeof key,
             {static_cast<uint32_t>(100 + i / 50), static_cast<uint8_t>(i % 50)}});
        entries.keys.insert(entries.keys.end(), std::begin(key), std::end(key));
    }
    const int fd = ::open("/dev/null", O_WRONLY);
    for (auto _ : state) {
        jet::PackedEntries work = entries;
        std::sort(work.entries.begin(), work.entries.end(),
                  [&](const jet::PackedEntries::Entry& a, const jet::PackedEntries::Entry& b) {
                      int c = jet::compareKeys(work.key(a), work.key(b));
                      return c != 0 ? c < 0 : a.row < b.row;
                  });
        jet::OutputFile out(fd, 0, "/dev/null");
        jet::DatabaseWriter w(out, 2);
        std::vector<uint32_t> pages;
        benchmark::DoNotOptimize(w.writeTree(work, 6, pages));
        out.flush();
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_IndexRebuild)->Arg(10000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
