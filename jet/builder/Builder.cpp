#include "builder/Builder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "format/Header.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "format/Text.h"
#include "jet/Env.h"
#include "keys/KeyEncoding.h"
#include "read/Database.h"
#include "write/DatabaseWriter.h"
#include "write/LongValueWriter.h"
#include "write/SystemTables.h"
#include "write/TableWriter.h"

namespace jet {

namespace {

constexpr int32_t kIdRoot = 0x0F000000;
constexpr int32_t kIdTables = 0x0F000001;
constexpr int32_t kIdDatabases = 0x0F000002;
constexpr int32_t kIdRelationships = 0x0F000003;
constexpr int32_t kIdMSysDb = 0x10000000;
constexpr int32_t kSystemFlag = static_cast<int32_t>(0x80000000u);
constexpr std::size_t kSystemTables = 4;

// Security identifiers the engine gives a new database's objects (plain).
const Bytes kSidAdmins = {0x02, 0x01};
const Bytes kSidUsers = {0x02, 0x03};
const Bytes kSidCreator = {0x02, 0x04};
const Bytes kSidEngine = {0x03, 0x01};

struct TableState {
    TableSchema schema;
    bool system = false;
    std::vector<uint32_t> pages;  // definition pages
    TableMaps maps;
    TableDef def;
    std::vector<std::vector<std::pair<uint8_t, bool>>> shapes;  // of each index, for splitKey
    uint32_t rows = 0;
    uint32_t autoNumber = 0;
    std::vector<std::vector<IndexEntry>> entries;
    std::unique_ptr<TableWriter> writer;  // once the file is laid out
    bool done = false;
};

}  // namespace

class DatabaseBuilder::Impl {
  public:
    Impl(std::string path, BuildOptions options)
        : path_(std::move(path)), options_(std::move(options)) {}

    ~Impl() {
        if (fd_ >= 0) env_.close(fd_);
        if (created_ && !finished_) env_.remove(path_);
    }

    void create(std::vector<BuildTable> userTables) {
        std::array<uint8_t, kPasswordBytes> password{};
        if (!encodePassword(options_.password, password)) {
            fail(ErrorCode::kPasswordTooLong, "The password is too long: at most 20 characters.");
        }
        buildPage0(password);
        for (auto& t : systemTableSchemas()) addTable(std::move(t), true);
        std::set<std::string> names;
        for (auto& t : tables_) names.insert(t.schema.name);
        for (auto& t : userTables) {
            if (!names.insert(t.name).second)
                fail(ErrorCode::kUnsupported, "Two tables are named '" + t.name + "'.");
            addTable(std::move(t), false);
        }
        const auto fd = env_.open(path_, OpenMode::kCreateShared);
        if (!fd.ok()) {
            if (fd.error.code == OsErrc::kExists)
                fail(ErrorCode::kDestinationExists, "The file '" + path_ + "' already exists.");
            fail(ErrorCode::kFileAccess,
                 "Cannot create '" + path_ + "': " + describe(fd.error) + ".");
        }
        fd_ = fd.value;
        created_ = true;
        out_ = std::make_unique<OutputFile>(env_, fd_, options_.databaseKey, path_);
        w_ = std::make_unique<DatabaseWriter>(*out_, 2);
        layOut();
        writeSystemRows();
    }

    void addRow(std::size_t table, const std::vector<Value>& values, bool deleted,
                LongValueForm form) {
        const std::size_t t = table + kSystemTables;
        if (t >= tables_.size())
            fail(ErrorCode::kNoSuchTable,
                 "There is no table number " + std::to_string(table) + ".");
        row(t, values, deleted, form);
    }

    void addUnusedPages(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) out_->write(w_->alloc().allocate(), Page{});
    }

    void finish() {
        for (std::size_t t = 0; t < tables_.size(); ++t) endTable(t);
        Bytes second(kUsageMapRowSize, 0);
        w_->finish(page0_, 1, second);
        out_->sync();
        int fd = fd_;
        fd_ = -1;
        if (OsError e = env_.close(fd))
            fail(ErrorCode::kIo, "Cannot write '" + path_ + "': " + describe(e) + ".");
        finished_ = true;
    }

  private:
    void addTable(BuildTable schema, bool system) {
        validateTableSchema(schema);
        TableState t;
        t.system = system;
        t.schema = std::move(schema);
        t.entries.resize(t.schema.indexes.size());
        tables_.push_back(std::move(t));
    }

    void layOut() {
        for (auto& t : tables_) t.pages.push_back(w_->alloc().allocate());
        for (auto& t : tables_) {
            t.def = makeTableDef(t.schema, t.system, t.pages.front());
            for (const auto& ri : t.def.realIndexes) t.shapes.push_back(keyShape(t.def, ri));
            for (std::size_t k = continuationPages(t.def.length); k > 0; --k)
                t.pages.push_back(w_->alloc().allocate());
        }
        for (auto& t : tables_) {
            t.maps.owned = w_->newMap();
            t.maps.free = w_->newMap();
            for (std::size_t i = 0; i < t.schema.indexes.size(); ++i)
                t.maps.indexes.push_back(w_->newMap());
            for (std::size_t i = 0; i < t.def.longValueMaps.size(); ++i)
                t.maps.longValues.emplace_back(w_->newMap(), w_->newMap());
        }
        w_->placeMaps();
        // The tables are all declared: their states stay where they are.
        for (auto& t : tables_)
            t.writer = std::make_unique<TableWriter>(*w_, t.def, t.pages, t.maps);
    }

    Bytes sid(const Bytes& plain) const {
        Bytes s = plain;
        applySidMask(sidKey_, s.data(), s.size());
        return s;
    }

    void writeSystemRows() {
        const double now = options_.creationDate;
        std::vector<std::vector<Value>> objects;
        auto object = [&](int64_t id, int64_t parent, const std::string& name, int64_t type,
                          const Bytes& owner, int64_t flags) {
            std::vector<Value> v(17);
            v[0] = id;
            v[1] = parent;
            v[2] = name;
            v[3] = type;
            v[4] = now;
            v[5] = now;
            v[6] = sid(owner);
            v[7] = flags;
            objects.push_back(std::move(v));
        };
        for (std::size_t i = 0; i < tables_.size(); ++i) {
            object(tables_[i].pages.front(), kIdTables, tables_[i].schema.name, 1, kSidUsers,
                   tables_[i].system ? kSystemFlag : 0);
        }
        object(kIdTables, kIdRoot, "Tables", 3, kSidUsers, kSystemFlag);
        object(kIdDatabases, kIdRoot, "Databases", 3, kSidUsers, kSystemFlag);
        object(kIdRelationships, kIdRoot, "Relationships", 3, kSidUsers, kSystemFlag);
        object(kIdMSysDb, kIdDatabases, "MSysDb", 2, kSidEngine, kSystemFlag);
        for (const auto& v : objects) row(0, v, false, LongValueForm::kBySize);

        auto ace = [&](int64_t id, const Bytes& who, int64_t acm, bool inherit) {
            row(1, {id, sid(who), acm, inherit}, false, LongValueForm::kBySize);
        };
        for (int64_t id = 2; id <= 5; ++id)
            ace(tables_[static_cast<std::size_t>(id - 2)].pages.front(), kSidEngine,
                id == 5 ? 917504 : 393216, false);
        ace(kIdTables, kSidCreator, 983294, true);
        ace(kIdTables, kSidEngine, 393217, false);
        ace(kIdRelationships, kSidCreator, 983294, true);
        ace(kIdRelationships, kSidEngine, 393217, false);
        ace(kIdDatabases, kSidEngine, 393216, false);
        ace(kIdMSysDb, kSidEngine, 393230, false);
        ace(kIdMSysDb, kSidAdmins, 14, false);
        for (int64_t id : {4, 5, 2})
            ace(tables_[static_cast<std::size_t>(id - 2)].pages.front(), kSidAdmins, 20, false);
        ace(kIdTables, kSidAdmins, 1048319, true);
        ace(kIdRelationships, kSidAdmins, 1048575, true);
        for (std::size_t i = kSystemTables; i < tables_.size(); ++i) {
            ace(tables_[i].pages.front(), kSidAdmins, 1048575, false);
        }
    }

    void buildPage0(const std::array<uint8_t, kPasswordBytes>& password) {
        HeaderFields f;
        f.creationDate = options_.creationDate;
        f.codePage = options_.codePage;
        f.databaseKey = options_.databaseKey;
        f.password = password;
        page0_ = makeHeaderPage(f);
        Page decoded = page0_;
        maskHeaderRegion(decoded.data());
        sidKey_ = sidKey(decoded);
    }

    // Encodes one row, places its long values and the row, and keeps its
    // index entries for endTable.
    void row(std::size_t ti, const std::vector<Value>& values, bool deleted, LongValueForm form) {
        if (ti < current_) {
            fail(ErrorCode::kUnsupported,
                 "Rows must be added table by table, in the order the tables were declared.");
        }
        while (current_ < ti) endTable(current_++);
        TableState& t = tables_[ti];
        const auto& cols = t.schema.columns;
        if (values.size() != cols.size()) {
            fail(ErrorCode::kUnsupported, "Table '" + t.schema.name + "' takes " +
                                              std::to_string(cols.size()) + " values a row.");
        }
        std::vector<Value> v = values;  // column numbers are the declaration order
        for (std::size_t k = 0; k < cols.size(); ++k) numberAutomatically(t, cols[k], v[k]);
        encodeRow(t.def, v, encoded_);
        placeLongValues(t, form);
        Bytes bytes = buildRow(static_cast<uint16_t>(cols.size()), encoded_.fixed,
                               encoded_.variable, encoded_.mask, t.def.numVar > 0);
        const RowPtr at = t.writer->addRow(bytes, deleted ? 0xC000 : 0);
        if (!deleted) {
            keepIndexEntries(t, bytes, at);
            ++t.rows;
        }
    }

    static void numberAutomatically(TableState& t, const BuildColumn& c, Value& v) {
        if (!c.autoNumber) return;
        if (std::holds_alternative<std::monostate>(v)) v = static_cast<int64_t>(++t.autoNumber);
        if (std::holds_alternative<int64_t>(v) && std::get<int64_t>(v) > t.autoNumber)
            t.autoNumber = static_cast<uint32_t>(std::get<int64_t>(v));
    }

    // Long values: inline where the row has room, else on LVAL pages, in
    // the form asked for.
    void placeLongValues(TableState& t, LongValueForm form) {
        std::size_t base = 2 + encoded_.fixed.size() + encoded_.mask.size() +
                           (t.def.numVar ? 4 + 2 * static_cast<std::size_t>(t.def.numVar) : 0);
        for (const auto& s : encoded_.variable) base += s.size();
        placements_.clear();
        for (auto& p : encoded_.longValues) {
            if (form == LongValueForm::kSingle && p.data.size() > kSingleRowLimit) {
                fail(ErrorCode::kUnsupported, "A value longer than " +
                                                  std::to_string(kSingleRowLimit) +
                                                  " bytes needs a chain.");
            }
            const bool inl = form == LongValueForm::kInline ||
                             (form == LongValueForm::kBySize && p.data.size() <= kInlineLimit);
            placements_.push_back({p.column, p.slot, p.data, inl, form == LongValueForm::kChain,
                                   &encoded_.variable[p.slot]});
        }
        std::size_t inlineSize = base;
        for (const auto& p : placements_)
            inlineSize += kLongValueHeaderSize + (p.inlined ? p.value.size() : 0);
        const bool tooLarge = form == LongValueForm::kInline && inlineSize > kMaxRowSize;
        if (tooLarge || !t.writer->placeLongValues(placements_, base))
            fail(ErrorCode::kUnsupported, "A row of table '" + t.schema.name + "' is too large.");
    }

    void keepIndexEntries(TableState& t, ByteView bytes, RowPtr at) {
        RowView rv = crackRow(t.def, bytes, at.page, at.row);
        for (std::size_t i = 0; i < t.def.realIndexes.size(); ++i) {
            const RealIndex& ri = t.def.realIndexes[i];
            auto key = encodeRowKey(t.def, ri, rv, at.page, at.row);
            if (!key) {
                fail(ErrorCode::kUnsupported, "Table '" + t.schema.name + "', index '" +
                                                  t.schema.indexes[i].name +
                                                  "': a value of the index cannot be keyed.");
            }
            if (ri.ignoreNulls() && keyHasNullPart(*key, t.shapes[i]).value_or(false)) continue;
            t.entries[i].push_back({std::move(*key), at, 0});
        }
    }

    void endTable(std::size_t ti) {
        TableState& t = tables_[ti];
        if (t.done) return;
        t.done = true;
        t.writer->finishRows();
        for (std::size_t i = 0; i < t.def.realIndexes.size(); ++i) {
            auto& entries = t.entries[i];
            std::sort(entries.begin(), entries.end(), [](const IndexEntry& a, const IndexEntry& b) {
                int c = compareKeys(a.key, b.key);
                return c != 0 ? c < 0 : a.row < b.row;
            });
            refuseDuplicates(t, i);
            const uint32_t distinct = countDistinct(
                entries.size(), [&](std::size_t k) { return ByteView(entries[k].key); });
            t.writer->writeIndex(i, entries, distinct);
            entries.clear();
            entries.shrink_to_fit();
        }
        t.writer->writeDefinition(t.rows, t.autoNumber, nullptr);
        t.writer.reset();
    }

    // A unique index may hold a key twice only where part of it is null.
    static void refuseDuplicates(const TableState& t, std::size_t i) {
        const auto& entries = t.entries[i];
        if (!t.def.realIndexes[i].unique()) return;
        for (std::size_t k = 1; k < entries.size(); ++k) {
            if (entries[k].key == entries[k - 1].key &&
                !keyHasNullPart(entries[k].key, t.shapes[i]).value_or(false)) {
                fail(ErrorCode::kUnsupported, "Table '" + t.schema.name + "', index '" +
                                                  t.schema.indexes[i].name +
                                                  "': a value occurs twice in a unique index.");
            }
        }
    }

    Env& env_ = Env::standard();
    std::string path_;
    BuildOptions options_;
    int fd_ = -1;
    bool created_ = false;
    bool finished_ = false;
    std::unique_ptr<OutputFile> out_;
    std::unique_ptr<DatabaseWriter> w_;
    std::vector<TableState> tables_;
    std::size_t current_ = 0;
    Page page0_{};
    uint32_t sidKey_ = 0;
    EncodedRow encoded_;  // the row being added, reused
    std::vector<LongValuePlacement> placements_;
};

DatabaseBuilder::DatabaseBuilder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DatabaseBuilder::~DatabaseBuilder() = default;

Result<std::unique_ptr<DatabaseBuilder>> DatabaseBuilder::create(const std::string& path,
                                                                 const BuildOptions& options,
                                                                 std::vector<BuildTable> tables) {
    auto impl = std::make_unique<Impl>(path, options);
    auto r = guard([&] {
        impl->create(std::move(tables));
        return Unit{};
    });
    if (!r) return r.error();
    return std::unique_ptr<DatabaseBuilder>(new DatabaseBuilder(std::move(impl)));
}

Status DatabaseBuilder::addRow(std::size_t table, const std::vector<Value>& values, bool deleted,
                               LongValueForm form) {
    return guard([&] {
        impl_->addRow(table, values, deleted, form);
        return Unit{};
    });
}

Status DatabaseBuilder::addUnusedPages(uint32_t count) {
    return guard([&] {
        impl_->addUnusedPages(count);
        return Unit{};
    });
}

Status DatabaseBuilder::finish() {
    return guard([&] {
        impl_->finish();
        return Unit{};
    });
}

}  // namespace jet
