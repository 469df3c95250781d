// Checking a table's indexes against its rows: what the rows say each index
// must hold, tallied as the rows are read, then each index's entries against
// the tally: their order, their sibling links, and that they hold exactly
// one entry for each row with the key its values encode to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "ops/check/Checker.h"
#include "ops/check/Finding.h"
#include "ops/check/PagesReached.h"
#include "read/Database.h"
#include "read/LiveSlots.h"

namespace jet {

class IndexChecker {
  public:
    // Each table checker has one, reading through its handle on the file.
    IndexChecker(Database& db, const CheckOptions& options) : db_(db), options_(options) {
        options_.spill.env = &db.file().env();  // temporary files made as the file is read
    }

    // A table's rows are about to be tallied, for each of its indexes.
    void begin(const TableDef& def);
    // Adds what the row says each index must hold to the index's tally.
    void tallyRow(const TableDef& def, const RowView& rv, RowPtr rowSlot, RowPtr at);

    // Index number (among the real indexes; idx as it is to be read, with
    // its root) against the rows that passed their check, once every row
    // is tallied. Its pages are reached.
    void check(const TableDef& def, const RealIndex& idx, std::size_t number, const LiveSlots& live,
               PagesReached& reached, std::vector<Finding>& found);

  private:
    // What the rows say an index must hold: how many entries, and the sum of
    // a hash of each entry's row pointer and the key parts that can be
    // encoded from the row. Comparing sums spares fetching a row per entry;
    // only an index whose sums differ is checked entry by entry, to say what
    // is wrong.
    struct IndexTally {
        bool keys = false;  // key parts are checked, not only row pointers
        std::vector<std::pair<uint8_t, bool>> shape;
        std::vector<std::size_t> encodable;  // parts checked
        std::vector<std::size_t> columnAt;   // by part: the column's place in the definition
        std::vector<bool> text;              // by part: a text part in the General order
        uint64_t sum = 0;
        uint64_t required = 0;
        bool optionalRows = false;  // rows with a null part an ignore-nulls index may leave out
        bool entryByEntry = false;  // keys that cannot always be split: no sums
        // A text value with two right keys (see SharpS) or none the engine
        // can make: the entries are checked one by one instead of summed.
        bool textByEntry = false;
    };
    static constexpr uint64_t kOptional = 0;

    IndexTally makeTally(const TableDef& def, const RealIndex& idx) const;
    void appendTextKeyPart(IndexTally& t, const Column& c, const std::optional<ByteView>& stored,
                           bool ascending);

    static uint64_t entryHash(RowPtr row, ByteView parts);
    // The hash of an entry for the sum its rows must give: its row pointer
    // and the key parts checked. False when the key cannot be split.
    bool entrySum(ByteView key, RowPtr row, const IndexTally& t, uint64_t& sum);

    // An index whose entries do not sum to what the rows say, checked entry
    // by entry to say what is wrong.
    void checkEntries(const TableDef& def, const RealIndex& idx, const LiveSlots& live,
                      const std::string& where, std::vector<Finding>& found);
    bool keyHasNull(const TableDef& def, const RealIndex& idx, RowPtr slot);
    void checkKey(const TableDef& def, const RealIndex& idx,
                  const std::vector<std::pair<uint8_t, bool>>& shape, ByteView key, RowPtr row,
                  const std::string& where, std::vector<Finding>& found);
    static void checkSiblings(const IndexTree& tree, const std::string& where,
                              std::vector<Finding>& found);

    Database& db_;
    CheckOptions options_;
    std::vector<IndexTally> tallies_;  // of the table being checked, by index
    // The row being tallied: each index's hash of it, the key parts made
    // so far, and the key parts of its text columns (each at offset in
    // textKeys_), made once for all the indexes that hold the column.
    std::vector<uint64_t> rowKeys_;
    Bytes rowParts_;
    struct TextPart {
        const Column* column;
        bool ascending;
        std::size_t offset, length;
        bool unsure;  // a key the sharp s's count may change
    };
    std::vector<TextPart> textParts_;
    Bytes textKeys_;
    // The index being checked; its buffers reused.
    IndexTree tree_;
    Bytes lastKey_;
    Bytes entryParts_;
    std::vector<std::pair<std::size_t, std::size_t>> parts_;
};

}  // namespace jet
