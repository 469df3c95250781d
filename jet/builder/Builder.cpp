#include "builder/Builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "format/Header.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "format/Text.h"
#include "keys/KeyEncoding.h"
#include "os/FileIo.h"
#include "read/Database.h"
#include "write/DatabaseWriter.h"
#include "write/LongValueWriter.h"

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

// The types the builder stores in the fixed area (Decimal it does not write).
bool isFixedType(ColumnType t) { return t != ColumnType::kNumeric && fixedTypeSize(t) > 0; }

void appendName(Bytes& b, const std::string& name) {
    std::u16string u;
    utf8ToUtf16(name, u);
    append16(b, static_cast<uint16_t>(u.size() * 2));
    for (char16_t c : u) append16(b, c);
}

// Text as the engine stores it in a column with Unicode compression: one byte
// a character after FF FE when every character allows it, else UTF-16.
Bytes storeText(const std::u16string& u, bool compress) {
    Bytes out;
    bool oneByte = compress && !u.empty() && std::all_of(u.begin(), u.end(), [](char16_t c) {
                       return c >= 0x01 && c <= 0xFF;
                   });
    if (oneByte) {
        out = {0xFF, 0xFE};
        for (char16_t c : u) out.push_back(static_cast<uint8_t>(c));
        return out;
    }
    for (char16_t c : u) append16(out, c);
    return out;
}

struct TableState {
    BuildTable schema;
    bool system = false;
    std::vector<std::size_t> blockOrder;  // declaration indexes in column-block order
    std::vector<uint16_t> fixedOffset, varIndex;
    uint16_t numVar = 0;
    uint16_t fixedSize = 0;
    std::vector<uint32_t> pages;  // definition pages
    int ownedMap = -1, freeMap = -1;
    std::vector<int> indexMaps;
    std::vector<std::pair<int, int>> lvMaps;
    TableDef def;
    std::vector<std::vector<std::pair<uint8_t, bool>>> shapes;  // of each index, for splitKey
    uint32_t rows = 0;
    uint32_t autoNumber = 0;
    std::vector<std::vector<IndexEntry>> entries;
    std::vector<uint32_t> dataPages;
    std::unique_ptr<DataPageBuilder> page;
    uint32_t pageNo = 0;
    std::map<uint16_t, std::unique_ptr<LongValueWriter>> lv;
    bool done = false;
};

}  // namespace

class DatabaseBuilder::Impl {
  public:
    Impl(std::string path, BuildOptions options)
        : path_(std::move(path)), options_(std::move(options)) {}

    ~Impl() {
        if (fd_ >= 0) fileIo().close(fd_);
        if (created_ && !finished_) fileIo().unlink(path_.c_str());
    }

    void create(std::vector<BuildTable> userTables) {
        std::array<uint8_t, kPasswordBytes> password{};
        if (!encodePassword(options_.password, password)) {
            fail(ErrorCode::kPasswordTooLong, "The password is too long: at most 20 characters.");
        }
        buildPage0(password);
        for (auto& t : systemTables()) addTable(std::move(t), true);
        std::set<std::string> names;
        for (auto& t : tables_) names.insert(t.schema.name);
        for (auto& t : userTables) {
            if (!names.insert(t.name).second)
                fail(ErrorCode::kUnsupported, "Two tables are named '" + t.name + "'.");
            addTable(std::move(t), false);
        }
        fd_ = fileIo().open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            if (errno == EEXIST)
                fail(ErrorCode::kDestinationExists, "The file '" + path_ + "' already exists.");
            fail(ErrorCode::kFileAccess,
                 "Cannot create '" + path_ + "': " + std::strerror(errno) + ".");
        }
        created_ = true;
        out_ = std::make_unique<OutputFile>(fd_, options_.databaseKey, path_);
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
        if (fileIo().close(fd) != 0)
            fail(ErrorCode::kIo, "Cannot write '" + path_ + "': " + std::strerror(errno) + ".");
        finished_ = true;
    }

  private:
    static std::vector<BuildTable> systemTables() {
        using T = ColumnType;
        auto col = [](const char* n, T t, uint16_t chars = 255) {
            return BuildColumn{n, t, chars, false};
        };
        BuildTable objects{
            "MSysObjects",
            {col("Id", T::kLong), col("ParentId", T::kLong), col("Name", T::kText),
             col("Type", T::kInt), col("DateCreate", T::kDateTime), col("DateUpdate", T::kDateTime),
             col("Owner", T::kBinary), col("Flags", T::kLong), col("Database", T::kMemo),
             col("Connect", T::kMemo), col("ForeignName", T::kText),
             col("RmtInfoShort", T::kBinary), col("RmtInfoLong", T::kOle), col("Lv", T::kOle),
             col("LvProp", T::kOle), col("LvModule", T::kOle), col("LvExtra", T::kOle)},
            {{"ParentIdName", {{"ParentId", true}, {"Name", true}}, false, true, false},
             {"Id", {{"Id", true}}, true, true, false}}};
        BuildTable aces{"MSysACEs",
                        {col("ObjectId", T::kLong), col("SID", T::kBinary), col("ACM", T::kLong),
                         col("FInheritable", T::kBool)},
                        {{"ObjectId", {{"ObjectId", true}}, false, false, false}}};
        BuildTable queries{
            "MSysQueries",
            {col("ObjectId", T::kLong), col("Attribute", T::kByte), col("Order", T::kBinary),
             col("Name1", T::kText), col("Name2", T::kText), col("Expression", T::kMemo),
             col("Flag", T::kInt), col("LvExtra", T::kLong)},
            {{"ObjectIdAttribute",
              {{"ObjectId", true}, {"Attribute", true}, {"Order", true}},
              true,
              true,
              false}}};
        BuildTable relationships{
            "MSysRelationships",
            {col("szRelationship", T::kText), col("grbit", T::kLong), col("ccolumn", T::kLong),
             col("icolumn", T::kLong), col("szObject", T::kText), col("szColumn", T::kText),
             col("szReferencedObject", T::kText), col("szReferencedColumn", T::kText)},
            {{"szRelationship", {{"szRelationship", true}}, false, false, true},
             {"szObject", {{"szObject", true}}, false, false, true},
             {"szReferencedObject", {{"szReferencedObject", true}}, false, false, true}}};
        return {objects, aces, queries, relationships};
    }

    void addTable(BuildTable schema, bool system) {
        TableState t;
        t.system = system;
        if (schema.name.empty() || schema.columns.empty())
            fail(ErrorCode::kUnsupported, "A table needs a name and columns.");
        std::set<std::string> seen;
        for (std::size_t i = 0; i < schema.columns.size(); ++i) {
            const auto& c = schema.columns[i];
            if (!seen.insert(c.name).second)
                fail(ErrorCode::kUnsupported,
                     "Table '" + schema.name + "' has two columns named '" + c.name + "'.");
            if (c.type == ColumnType::kText && (c.maxChars == 0 || c.maxChars > 255)) {
                fail(ErrorCode::kUnsupported,
                     "Text column '" + c.name + "' must hold 1 to 255 characters.");
            }
            if (c.autoNumber && c.type != ColumnType::kLong) {
                fail(ErrorCode::kUnsupported,
                     "Only Long columns can be AutoNumbers ('" + c.name + "').");
            }
            t.blockOrder.push_back(i);
        }
        if (system) {
            std::sort(t.blockOrder.begin(), t.blockOrder.end(), [&](std::size_t a, std::size_t b) {
                return schema.columns[a].name < schema.columns[b].name;
            });
        }
        t.fixedOffset.assign(schema.columns.size(), 0);
        t.varIndex.assign(schema.columns.size(), 0);
        for (std::size_t i = 0; i < schema.columns.size(); ++i) {
            const ColumnType type = schema.columns[i].type;
            if (type == ColumnType::kBool) continue;
            if (isFixedType(type)) {
                t.fixedOffset[i] = t.fixedSize;
                t.fixedSize = static_cast<uint16_t>(t.fixedSize + fixedTypeSize(type));
            } else {
                t.varIndex[i] = t.numVar++;
            }
        }
        int primary = 0;
        for (const auto& ix : schema.indexes) {
            if (ix.columns.empty() || ix.columns.size() > 10) {
                fail(ErrorCode::kUnsupported, "Index '" + ix.name + "' must have 1 to 10 columns.");
            }
            primary += ix.primaryKey;
            for (const auto& column : ix.columns) {
                const std::string& name = column.first;
                auto it = std::find_if(schema.columns.begin(), schema.columns.end(),
                                       [&](const BuildColumn& c) { return c.name == name; });
                if (it == schema.columns.end())
                    fail(ErrorCode::kUnsupported,
                         "Index '" + ix.name + "' names no column '" + name + "'.");
                if (it->type == ColumnType::kMemo || it->type == ColumnType::kOle) {
                    fail(ErrorCode::kUnsupported,
                         "Memo and OLE columns cannot be indexed ('" + name + "').");
                }
            }
        }
        if (primary > 1)
            fail(ErrorCode::kUnsupported, "Table '" + schema.name + "' has two primary keys.");
        t.schema = std::move(schema);
        t.entries.resize(t.schema.indexes.size());
        tables_.push_back(std::move(t));
    }

    // The logical definition; pointers and counts are patched in endTable.
    Bytes definition(const TableState& t) const {
        const auto& cols = t.schema.columns;
        const auto& idx = t.schema.indexes;
        // The header, then a 12-byte entry for each real index.
        Bytes b(kTdefStats + 12 * idx.size(), 0);
        b[0] = kPageTableDef;
        b[1] = 0x01;
        put32(b.data() + 0x0C, 1625);
        b[0x18] = 0x01;
        b[0x28] = t.system ? 'S' : 'N';
        put16(b.data() + 0x29, static_cast<uint16_t>(cols.size()));
        put16(b.data() + 0x2B, t.numVar);
        put16(b.data() + 0x2D, static_cast<uint16_t>(cols.size()));
        put32(b.data() + 0x2F, static_cast<uint32_t>(idx.size()));
        put32(b.data() + 0x33, static_cast<uint32_t>(idx.size()));
        for (std::size_t k : t.blockOrder) {
            const BuildColumn& c = cols[k];
            const bool fixed = isFixedType(c.type);
            Bytes blk(kColumnBlockSize, 0);
            blk[0] = static_cast<uint8_t>(c.type);
            put32(blk.data() + 1, 1625);
            put16(blk.data() + 5, static_cast<uint16_t>(k));
            put16(blk.data() + 7, t.varIndex[k]);
            put16(blk.data() + 9, t.system ? 0 : static_cast<uint16_t>(k));
            blk[11] = 0x09;  // General sort order, 1033 version 0
            blk[12] = 0x04;
            uint8_t flags = fixed ? 0x03 : 0x02;
            if (t.system) flags |= 0x10;
            if (t.system && c.type == ColumnType::kBinary && (c.name == "Owner" || c.name == "SID"))
                flags = 0x32;
            if (c.autoNumber) flags |= 0x04;
            blk[15] = flags;
            if (!t.system && (c.type == ColumnType::kText || c.type == ColumnType::kMemo))
                blk[16] = 0x01;
            put16(blk.data() + 21, t.fixedOffset[k]);
            uint16_t len = fixedTypeSize(c.type);
            if (c.type == ColumnType::kText) len = static_cast<uint16_t>(c.maxChars * 2);
            if (c.type == ColumnType::kBinary) len = 510;
            put16(blk.data() + 23, len);
            b.insert(b.end(), blk.begin(), blk.end());
        }
        for (std::size_t k : t.blockOrder) appendName(b, cols[k].name);
        for (const auto& ix : idx) {
            Bytes blk(kRealIndexBlockSize, 0);
            put32(blk.data(), 1923);
            for (std::size_t s = 0; s < 10; ++s) {
                uint16_t number = 0xFFFF;
                uint8_t dir = 0;
                if (s < ix.columns.size()) {
                    auto it = std::find_if(cols.begin(), cols.end(), [&](const BuildColumn& c) {
                        return c.name == ix.columns[s].first;
                    });
                    number = static_cast<uint16_t>(it - cols.begin());
                    dir = ix.columns[s].second ? 0x01 : 0x00;
                }
                put16(blk.data() + 4 + 3 * s, number);
                blk[6 + 3 * s] = dir;
            }
            uint8_t flags = 0x80;
            if (ix.unique || ix.primaryKey) flags |= 0x01;
            if (ix.ignoreNulls) flags |= 0x02;
            if (ix.primaryKey) flags |= 0x08;
            blk[46] = flags;
            b.insert(b.end(), blk.begin(), blk.end());
        }
        for (std::size_t i = 0; i < idx.size(); ++i) {
            Bytes blk(kLogicalIndexBlockSize, 0);
            put32(blk.data(), 1625);
            put32(blk.data() + 4, static_cast<uint32_t>(i));
            put32(blk.data() + 8, static_cast<uint32_t>(i));
            put32(blk.data() + 13, 0xFFFFFFFFu);
            blk[21] = 0x04;
            blk[22] = 0x04;
            blk[23] = idx[i].primaryKey ? 1 : 0;
            b.insert(b.end(), blk.begin(), blk.end());
        }
        for (const auto& ix : idx) appendName(b, ix.name);
        for (std::size_t k = 0; k < cols.size(); ++k) {
            if (cols[k].type != ColumnType::kMemo && cols[k].type != ColumnType::kOle) continue;
            append16(b, static_cast<uint16_t>(k));
            append32(b, 0);
            append32(b, 0);
        }
        append16(b, 0xFFFF);
        put32(b.data() + kTdefLength, static_cast<uint32_t>(b.size()));
        return b;
    }

    void layOut() {
        for (auto& t : tables_) t.pages.push_back(w_->alloc().allocate());
        for (auto& t : tables_) {
            t.def.name = t.schema.name;
            t.def.firstPage = t.pages.front();
            t.def.buffer = definition(t);
            parseTableDef(t.def);
            for (const auto& ri : t.def.realIndexes) t.shapes.push_back(keyShape(t.def, ri));
            std::size_t len = t.def.length;
            std::size_t more = len > kPageSize
                                   ? (len - kPageSize + kTdefPayloadPerContinuation - 1) /
                                         kTdefPayloadPerContinuation
                                   : 0;
            for (std::size_t k = 0; k < more; ++k) t.pages.push_back(w_->alloc().allocate());
        }
        for (auto& t : tables_) {
            t.ownedMap = w_->newMap();
            t.freeMap = w_->newMap();
            for (std::size_t i = 0; i < t.schema.indexes.size(); ++i)
                t.indexMaps.push_back(w_->newMap());
            for (std::size_t i = 0; i < t.def.longValueMaps.size(); ++i)
                t.lvMaps.emplace_back(w_->newMap(), w_->newMap());
            t.page = std::make_unique<DataPageBuilder>(t.pages.front());
        }
        w_->placeMaps();
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
        Page d{};
        d[1] = 0x01;
        const char magic[] = "Standard Jet DB";
        std::memcpy(d.data() + 4, magic, sizeof magic);
        d[0x14] = 0x01;
        const uint8_t unknown[] = {0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,
                                   0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                   0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
        std::memcpy(d.data() + 0x18, unknown, sizeof unknown);
        put16(d.data() + 0x3C, options_.codePage);
        put32(d.data() + 0x3E, options_.databaseKey);
        d[0x6E] = 0x09;  // General: LCID 1033, version 0
        d[0x6F] = 0x04;
        uint64_t date;
        std::memcpy(&date, &options_.creationDate, sizeof date);
        put32(d.data() + kCreationDateOffset, static_cast<uint32_t>(date));
        put32(d.data() + kCreationDateOffset + 4, static_cast<uint32_t>(date >> 32));
        auto mask = passwordMask(d);
        for (std::size_t i = 0; i < kPasswordBytes; ++i)
            d[kPasswordOffset + i] = password[i] ^ mask[i % 4];
        put32(d.data() + 0x98, 1620);
        std::memcpy(d.data() + 0x9C, "4.0", 4);
        d[0xE00] = 0x01;
        d[0xE01] = 0x01;
        for (std::size_t i = 0xE02; i < kPageSize; i += 2) d[i + 1] = 0x01;
        sidKey_ = sidKey(d);
        page0_ = d;
        maskHeaderRegion(page0_.data());
    }

    // Fills the fixed area, variable slots and null mask of one row.
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
        const std::size_t ncols = cols.size();
        Bytes fixed(t.fixedSize, 0);
        std::vector<Bytes> slots(t.numVar);
        Bytes mask((ncols + 7) / 8, 0);
        struct Pending {
            std::size_t column;
            Bytes data;
            bool inlined;
        };
        std::vector<Pending> longValues;
        auto bad = [&](const BuildColumn& c, const char* why) {
            fail(ErrorCode::kUnsupported,
                 "Column '" + c.name + "' of table '" + t.schema.name + "': " + why + ".");
        };
        for (std::size_t k = 0; k < ncols; ++k) {
            const BuildColumn& c = cols[k];
            Value v = values[k];
            if (c.autoNumber && std::holds_alternative<std::monostate>(v))
                v = static_cast<int64_t>(++t.autoNumber);
            if (c.autoNumber && std::holds_alternative<int64_t>(v) &&
                std::get<int64_t>(v) > t.autoNumber) {
                t.autoNumber = static_cast<uint32_t>(std::get<int64_t>(v));
            }
            auto setBit = [&] {
                mask[k / 8] = static_cast<uint8_t>(mask[k / 8] | (1u << (k % 8)));
            };
            if (c.type == ColumnType::kBool) {
                if (std::holds_alternative<bool>(v) && std::get<bool>(v))
                    setBit();
                else if (!std::holds_alternative<bool>(v) &&
                         !std::holds_alternative<std::monostate>(v))
                    bad(c, "Yes/No takes true or false");
                continue;
            }
            if (std::holds_alternative<std::monostate>(v)) continue;
            setBit();
            uint8_t* f = fixed.data() + t.fixedOffset[k];
            auto whole = [&](int64_t lo, int64_t hi) -> int64_t {
                if (!std::holds_alternative<int64_t>(v)) {
                    bad(c, "a whole number is needed");
                    return 0;
                }
                int64_t x = std::get<int64_t>(v);
                if (x < lo || x > hi) bad(c, "the number is out of range");
                return x;
            };
            auto number = [&]() -> double {
                if (std::holds_alternative<double>(v)) return std::get<double>(v);
                if (std::holds_alternative<int64_t>(v))
                    return static_cast<double>(std::get<int64_t>(v));
                bad(c, "a number is needed");
                return 0.0;
            };
            switch (c.type) {
                case ColumnType::kByte:
                    f[0] = static_cast<uint8_t>(whole(0, 255));
                    break;
                case ColumnType::kInt:
                    put16(f, static_cast<uint16_t>(whole(-32768, 32767)));
                    break;
                case ColumnType::kLong:
                    put32(f, static_cast<uint32_t>(whole(INT32_MIN, INT32_MAX)));
                    break;
                case ColumnType::kMoney: {
                    int64_t scaled = std::holds_alternative<int64_t>(v)
                                         ? std::get<int64_t>(v)
                                         : std::llround(number() * 10000.0);
                    put32(f, static_cast<uint32_t>(scaled));
                    put32(f + 4, static_cast<uint32_t>(static_cast<uint64_t>(scaled) >> 32));
                    break;
                }
                case ColumnType::kSingle: {
                    float x = static_cast<float>(number());
                    uint32_t bits;
                    std::memcpy(&bits, &x, 4);
                    put32(f, bits);
                    break;
                }
                case ColumnType::kDouble:
                case ColumnType::kDateTime: {
                    double x = number();
                    uint64_t bits;
                    std::memcpy(&bits, &x, 8);
                    put32(f, static_cast<uint32_t>(bits));
                    put32(f + 4, static_cast<uint32_t>(bits >> 32));
                    break;
                }
                case ColumnType::kGuid: {
                    if (!std::holds_alternative<Bytes>(v) || std::get<Bytes>(v).size() != 16)
                        bad(c, "a 16-byte identifier is needed");
                    std::memcpy(f, std::get<Bytes>(v).data(), 16);
                    break;
                }
                case ColumnType::kText: {
                    if (!std::holds_alternative<std::string>(v)) bad(c, "text is needed");
                    std::u16string u;
                    if (!utf8ToUtf16(std::get<std::string>(v), u))
                        bad(c, "the text is not valid UTF-8");
                    if (u.size() > c.maxChars) bad(c, "the text is longer than the column allows");
                    slots[t.varIndex[k]] = storeText(u, !t.system);
                    break;
                }
                case ColumnType::kBinary: {
                    if (!std::holds_alternative<Bytes>(v)) bad(c, "bytes are needed");
                    if (std::get<Bytes>(v).size() > 510)
                        bad(c, "binary values hold at most 510 bytes");
                    slots[t.varIndex[k]] = std::get<Bytes>(v);
                    break;
                }
                case ColumnType::kMemo:
                case ColumnType::kOle: {
                    Bytes data;
                    if (c.type == ColumnType::kMemo) {
                        if (!std::holds_alternative<std::string>(v)) bad(c, "text is needed");
                        std::u16string u;
                        if (!utf8ToUtf16(std::get<std::string>(v), u))
                            bad(c, "the text is not valid UTF-8");
                        data = storeText(u, !t.system);
                    } else {
                        if (!std::holds_alternative<Bytes>(v)) bad(c, "bytes are needed");
                        data = std::get<Bytes>(v);
                    }
                    if (data.size() > 0x3FFFFFFF) bad(c, "the value is too long");
                    bool inl = form == LongValueForm::kInline ||
                               (form == LongValueForm::kBySize && data.size() <= kInlineLimit);
                    longValues.push_back({k, std::move(data), inl});
                    break;
                }
                default:
                    bad(c, "this type is not supported");
            }
        }
        // Long values: inline where the row has room, else on LVAL pages.
        auto rowSize = [&] {
            std::size_t n = 2 + fixed.size() + mask.size() +
                            (t.numVar ? 4 + 2 * static_cast<std::size_t>(t.numVar) : 0);
            for (const auto& s : slots) n += s.size();
            for (const auto& p : longValues)
                n += kLongValueHeaderSize + (p.inlined ? p.data.size() : 0);
            return n;
        };
        while (rowSize() > kMaxRowSize) {
            Pending* largest = nullptr;
            for (auto& p : longValues) {
                if (p.inlined && (!largest || p.data.size() > largest->data.size())) largest = &p;
            }
            if (!largest || form == LongValueForm::kInline)
                fail(ErrorCode::kUnsupported,
                     "A row of table '" + t.schema.name + "' is too large.");
            largest->inlined = false;
        }
        for (auto& p : longValues) {
            Bytes& slot = slots[t.varIndex[p.column]];
            if (p.inlined) {
                slot.assign(kLongValueHeaderSize, 0);
                put32(slot.data(), static_cast<uint32_t>(p.data.size()) |
                                       (static_cast<uint32_t>(kLvInline) << 24));
                slot.insert(slot.end(), p.data.begin(), p.data.end());
                continue;
            }
            auto& writer = t.lv[static_cast<uint16_t>(p.column)];
            if (!writer) writer = std::make_unique<LongValueWriter>(w_->alloc(), *out_);
            if (form == LongValueForm::kSingle && p.data.size() > kSingleRowLimit) {
                fail(ErrorCode::kUnsupported, "A value longer than " +
                                                  std::to_string(kSingleRowLimit) +
                                                  " bytes needs a chain.");
            }
            const auto header = writer->store(p.data, form == LongValueForm::kChain);
            slot.assign(header.begin(), header.end());
        }
        Bytes bytes = buildRow(static_cast<uint16_t>(ncols), fixed, slots, mask, t.numVar > 0);
        if (t.pageNo == 0 || !t.page->fits(bytes.size())) {
            if (t.pageNo != 0) out_->write(t.pageNo, t.page->build());
            t.page->clear();
            t.pageNo = w_->alloc().allocate();
            t.dataPages.push_back(t.pageNo);
        }
        RowView rv = crackRow(t.def, bytes, t.pageNo, static_cast<int>(t.page->rowCount()));
        const RowPtr at{t.pageNo, static_cast<uint8_t>(t.page->rowCount())};
        if (!deleted) {
            for (std::size_t i = 0; i < t.def.realIndexes.size(); ++i) {
                const RealIndex& ri = t.def.realIndexes[i];
                auto key = encodeRowKey(t.def, ri, rv, at.page, at.row);
                if (!key) {
                    fail(ErrorCode::kUnsupported,
                         "Table '" + t.schema.name + "', index '" + t.schema.indexes[i].name +
                             "': a value holds characters the General sort order cannot index.");
                }
                if (ri.ignoreNulls() && keyHasNullPart(*key, t.shapes[i]).value_or(false)) continue;
                t.entries[i].push_back({std::move(*key), at, 0});
            }
            ++t.rows;
        }
        t.page->add(std::move(bytes), deleted ? 0xC000 : 0);
    }

    void endTable(std::size_t ti) {
        TableState& t = tables_[ti];
        if (t.done) return;
        t.done = true;
        if (t.pageNo != 0) out_->write(t.pageNo, t.page->build());
        for (auto& [col, writer] : t.lv) writer->finish();
        Bytes buf = t.def.buffer;
        buf.resize(t.def.length);
        put32(buf.data() + kTdefRowCount, t.rows);
        put32(buf.data() + 0x14, t.autoNumber);
        w_->map(t.ownedMap).pages = t.dataPages;
        w_->map(t.freeMap).pages = t.dataPages;
        put32(buf.data() + kTdefOwnedMap, w_->map(t.ownedMap).at.toU32());
        put32(buf.data() + kTdefFreeMap, w_->map(t.freeMap).at.toU32());
        for (std::size_t i = 0; i < t.def.longValueMaps.size(); ++i) {
            const auto& lv = t.def.longValueMaps[i];
            std::vector<uint32_t> pages;
            if (auto it = t.lv.find(lv.column); it != t.lv.end()) pages = it->second->pages();
            w_->map(t.lvMaps[i].first).pages = pages;
            w_->map(t.lvMaps[i].second).pages = pages;
            put32(buf.data() + lv.blockOffset + 2, w_->map(t.lvMaps[i].first).at.toU32());
            put32(buf.data() + lv.blockOffset + 6, w_->map(t.lvMaps[i].second).at.toU32());
        }
        for (std::size_t i = 0; i < t.def.realIndexes.size(); ++i) {
            const RealIndex& ri = t.def.realIndexes[i];
            auto& entries = t.entries[i];
            std::sort(entries.begin(), entries.end(), [](const IndexEntry& a, const IndexEntry& b) {
                int c = compareKeys(a.key, b.key);
                return c != 0 ? c < 0 : a.row < b.row;
            });
            uint32_t distinct = 0;
            for (std::size_t k = 0; k < entries.size(); ++k) {
                bool same = k > 0 && entries[k].key == entries[k - 1].key;
                if (same && ri.unique() &&
                    !keyHasNullPart(entries[k].key, t.shapes[i]).value_or(false)) {
                    fail(ErrorCode::kUnsupported, "Table '" + t.schema.name + "', index '" +
                                                      t.schema.indexes[i].name +
                                                      "': a value occurs twice in a unique index.");
                }
                if (!same) ++distinct;
            }
            std::vector<uint32_t> pages;
            uint32_t root = w_->writeTree(entries, t.pages.front(), pages);
            w_->map(t.indexMaps[i]).pages = pages;
            put32(buf.data() + ri.blockOffset + 34, w_->map(t.indexMaps[i]).at.toU32());
            put32(buf.data() + ri.blockOffset + 38, root);
            put32(buf.data() + ri.statsOffset + 4, distinct);
            entries.clear();
            entries.shrink_to_fit();
        }
        w_->writeTableDef(t.pages, buf);
        t.page.reset();
        t.lv.clear();
    }

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
