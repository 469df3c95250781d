// An open Jet 4 database: header, catalogue, table definitions and rows.
// Used inside the engine; its methods throw JetException on damage.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/DataPage.h"
#include "format/PageFile.h"
#include "format/TableDef.h"

namespace jet {

// One row of MSysObjects.
struct CatalogEntry {
    int32_t id = 0;
    int32_t parentId = 0;
    std::string name;
    int16_t type = 0;
    int32_t flags = 0;

    bool isLocalTable() const { return type == 1; }
    bool isSystem() const { return (static_cast<uint32_t>(flags) & 0x80000002u) != 0; }
    uint32_t tdefPage() const { return static_cast<uint32_t>(id) & 0x00FFFFFFu; }
};

inline constexpr uint32_t kCatalogPage = 2;

// Where a live row is: its slot (what index entries point to) and the slot
// that holds its bytes (different when the row overflowed).
struct RowLocation {
    RowPtr slot;
    RowPtr data;
};

class Database {
  public:
    // Opens read-only and checks the password. With heldFd, reads the file
    // the caller holds open instead (see PageFile::open).
    static std::unique_ptr<Database> open(Env& env, const std::string& path,
                                          const std::string& password, int heldFd = -1);
    // The same for a file that may be damaged (PageFile::openDamaged): a
    // header made anew takes this password.
    static std::unique_ptr<Database> openDamaged(Env& env, const std::string& path,
                                                 const std::string& password, OpenDamage& found,
                                                 int heldFd = -1,
                                                 const KeyRecovery& recovery = {});

    // Another handle on the same file, for another thread to read through.
    std::unique_ptr<Database> reopen() const;

    PageFile& file() { return *file_; }
    // For a file still being written: see PageFile::refresh.
    void refresh() {
        file_->refresh();
        parsedPage_.reset();
        parsedNumber_ = 0;
    }
    const Header& header() const { return file_->header(); }

    const std::vector<CatalogEntry>& catalog();
    // Local tables (Type 1), in catalogue order.
    std::vector<CatalogEntry> localTables();
    const TableDef& tableDef(uint32_t page, const std::string& name);

    // Calls f for each live row in page order, overflow pointers resolved:
    // the rows of the pages its owned map lists that are its data pages. A
    // listed page of another table is passed over; one that is no table's
    // data page is damage.
    void scanRows(const TableDef& def, const std::function<void(const RowLocation&, ByteView)>& f);
    // The bytes of the live row at a slot (resolving overflow).
    ByteView fetchRow(const TableDef& def, RowPtr slot, PageRef& holder, RowPtr* dataAt = nullptr);

  private:
    Database(std::unique_ptr<PageFile> file, std::string password)
        : file_(std::move(file)), password_(std::move(password)) {}
    bool damaged_ = false;  // opened with openDamaged: so are other handles
    ByteView resolve(const TableDef& def, RowPtr slot, PageRef& holder, RowPtr* dataAt);
    std::unique_ptr<PageFile> file_;
    std::string password_;
    std::vector<CatalogEntry> catalog_;
    bool catalogRead_ = false;
    std::map<uint32_t, std::unique_ptr<TableDef>> defs_;
    // The data page parsed last: rows are mostly fetched page by page.
    const DataPage& parsed(uint32_t number, PageRef& holder);
    uint32_t parsedNumber_ = 0;
    DataPage parsed_;
    PageRef parsedPage_;
};

}  // namespace jet
