// Microbenchmarks of the compaction's hot paths: decoding a page, repacking a
// row, rebuilding an index, hashing bytes and digesting rows; and the
// search for a lost header's key, on one core and on several.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "builder/Builder.h"
#include "format/DataPage.h"
#include "format/KeySearch.h"
#include "format/LongValue.h"
#include "format/Rc4.h"
#include "format/Row.h"
#include "keys/TextKey.h"
#include "read/Database.h"
#include "read/RowDigest.h"
#include "write/DatabaseWriter.h"
#include "write/LongValueWriter.h"
#include "write/RowEncoder.h"

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
        jet::OutputFile out(jet::Env::standard(), fd, 0, "/dev/null");
        jet::DatabaseWriter w(out, 2);
        std::vector<uint32_t> pages;
        benchmark::DoNotOptimize(w.writeTree(work, 6, pages));
        out.flush();
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_IndexRebuild)->Arg(10000)->Arg(100000);

void BM_ByteHash(benchmark::State& state) {
    const jet::Bytes data(static_cast<std::size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        jet::ByteHash h;
        h.mix(7);
        h.add(data.data(), data.size());
        benchmark::DoNotOptimize(h.h);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ByteHash)->Arg(4)->Arg(12)->Arg(40)->Arg(200)->Arg(1000)->Arg(8000);

// Rows as the benchmark generator makes them: two Longs, a short and a longer
// text, a date, a Currency, a Yes/No and a memo (held in the row here, so that
// only hashing and cracking are timed).
struct DigestRows {
    std::unique_ptr<jet::Database> db;
    const jet::TableDef* def = nullptr;
    std::vector<jet::Bytes> rows;

    DigestRows() {
        const std::string path = "/tmp/jet4-micro-digest-" + std::to_string(::getpid()) + ".mdb";
        std::remove(path.c_str());
        jet::BuildTable table{"T",
                              {{"ID", jet::ColumnType::kLong},
                               {"Code", jet::ColumnType::kLong},
                               {"Name", jet::ColumnType::kText, 80},
                               {"Created", jet::ColumnType::kDateTime},
                               {"Amount", jet::ColumnType::kMoney},
                               {"Flag", jet::ColumnType::kBool},
                               {"Remarks", jet::ColumnType::kText, 255},
                               {"Body", jet::ColumnType::kMemo}},
                              {}};
        auto b = jet::DatabaseBuilder::create(path, {}, {table});
        std::mt19937 rng(5);
        for (int64_t i = 0; i < 1000; ++i) {
            std::vector<jet::Value> v = {i,
                                         static_cast<int64_t>(rng() % 100000),
                                         std::string(5 + rng() % 55, 'n'),
                                         36000.0 + static_cast<double>(rng() % 300000) / 100.0,
                                         static_cast<int64_t>(rng() % 100000000),
                                         rng() % 2 == 0,
                                         std::string(rng() % 200, 'r'),
                                         std::string(10 + rng() % 890, 'b')};
            (void)b.value()->addRow(0, v, false, jet::LongValueForm::kInline);
        }
        (void)b.value()->finish();
        db = jet::Database::open(jet::Env::standard(), path, "");
        std::remove(path.c_str());
        for (const auto& t : db->localTables()) {
            if (t.name == "T") def = &db->tableDef(t.tdefPage(), t.name);
        }
        db->scanRows(*def, [&](const jet::RowLocation&, jet::ByteView r) {
            rows.emplace_back(r.begin(), r.end());
        });
    }
};

void BM_RowDigest(benchmark::State& state) {
    static const DigestRows data;
    auto inlineValue = [](const jet::Column&, jet::ByteView slot) {
        return slot.subspan(jet::kLongValueHeaderSize);
    };
    for (auto _ : state) {
        uint64_t sum = 0;
        for (const auto& r : data.rows) {
            jet::RowView rv = jet::crackRow(*data.def, r, 9, 0);
            sum += jet::rowDigest(*data.def, rv, 9, 0, inlineValue);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(data.rows.size()));
}
BENCHMARK(BM_RowDigest);

// Text keys made from stored values, as the checker makes them for each row:
// Latin names (Arg 0) and Greek ones (Arg 1), into a buffer kept from one
// value to the next.
void BM_TextKey(benchmark::State& state) {
    static const std::vector<std::u16string> kValues[] = {
        {u"Alfreds Futterkiste", u"C\u00f4te de Blaye", u"Sirop d'\u00e9rable", u"Frankfurt a.M.",
         u"HILARI\u00d3N-Abastos", u"Wolski  Zajazd", u"QUICK-Stop", u"Berlin", u"ALFKI", u"12209"},
        {u"\u0391\u03b8\u03ae\u03bd\u03b1",
         u"\u0398\u03b5\u03c3\u03c3\u03b1\u03bb\u03bf\u03bd\u03af\u03ba\u03b7",
         u"\u0395\u03bc\u03c0\u03bf\u03c1\u03b9\u03ba\u03ae \u0391.\u0395.",
         u"\u03a0\u0391\u03a0-01",
         u"\u039a\u03b1\u03c6\u03ad \u00ab\u0397 \u03a9\u03c1\u03b1\u03af\u03b1\u00bb"},
    };
    std::vector<jet::Bytes> stored;
    for (const auto& v : kValues[state.range(0)]) stored.push_back(jet::storeText(v, true));
    jet::Bytes key;
    std::size_t i = 0;
    for (auto _ : state) {
        key.clear();
        jet::appendStoredTextKey(key, stored[i], true);
        benchmark::DoNotOptimize(key.data());
        if (++i == stored.size()) i = 0;
    }
}
BENCHMARK(BM_TextKey)->Arg(0)->Arg(1);

// Keys tried a second on one core: the search's inner step over 65,536 keys
// of page 2's head (none of which reads it).
void BM_KeySearchOneCore(benchmark::State& state) {
    jet::PageHead head{};
    for (std::size_t k = 0; k < head.size(); ++k) head[k] = static_cast<uint8_t>(k * 37 + 11);
    std::vector<uint32_t> found;
    uint32_t first = 0x12340000;
    for (auto _ : state) {
        jet::keysReadingPage2(head, first, 1u << 16, found);
        first += 1u << 16;
    }
    state.SetItemsProcessed(state.iterations() * (int64_t{1} << 16));
}
BENCHMARK(BM_KeySearchOneCore)->Unit(benchmark::kMillisecond);

// The whole search over 2^24 keys on N threads, none of which reads page 2:
// keys a second on all of them (real time).
void BM_KeySearchThreads(benchmark::State& state) {
    jet::PageHead head{};
    for (std::size_t k = 0; k < head.size(); ++k) head[k] = static_cast<uint8_t>(k * 37 + 11);
    const jet::KeySearchRange range{0x40000000, uint64_t{1} << 24,
                                    static_cast<unsigned>(state.range(0))};
    for (auto _ : state) {
        const auto o = jet::searchPageKey(head, range, [](uint32_t) { return true; }, nullptr);
        benchmark::DoNotOptimize(o.tried);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(range.count));
}
BENCHMARK(BM_KeySearchThreads)->Arg(1)->Arg(2)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
