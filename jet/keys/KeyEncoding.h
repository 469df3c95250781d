// Index key encoding for the fixed-size column types, and the walk that
// splits a stored key into its per-column segments.
//
// Each column's part starts with a flag byte: 00 null / 7F value (ascending),
// FF null / 80 value (descending, value bytes inverted). Integers are
// big-endian with the top bit flipped; floating point and dates are
// big-endian IEEE with the top bit flipped when non-negative and every byte
// inverted when negative. Text parts end with 00 (ascending) or FF 00
// (descending); binary parts are 8-byte groups each followed by a length byte.
#pragma once

#include <optional>
#include <vector>

#include "format/Bytes.h"
#include "format/TableDef.h"
#include "keys/TextKey.h"

namespace jet {

// Whether keys of this type can be encoded from the stored value.
bool keyEncodable(uint8_t type);

// The key part of one column; stored is the column's bytes (nullopt: null).
// For Yes/No columns, boolValue is used instead of stored.
Bytes encodeKeyPart(uint8_t type, bool ascending, const std::optional<ByteView>& stored,
                    bool boolValue = false);
// The same, appended to out.
void appendKeyPart(Bytes& out, uint8_t type, bool ascending, const std::optional<ByteView>& stored,
                   bool boolValue = false);

// The (type, ascending) of each column of an index, as splitKey wants it.
std::vector<std::pair<uint8_t, bool>> keyShape(const TableDef& def, const RealIndex& index);

// Whether some non-Yes/No part of the key is null; nullopt when the key
// cannot be split.
std::optional<bool> keyHasNullPart(ByteView key,
                                   const std::vector<std::pair<uint8_t, bool>>& shape);

// Splits a key into per-column parts; nullopt when a part cannot be walked.
std::optional<std::vector<std::pair<std::size_t, std::size_t>>> splitKey(
    ByteView key, const std::vector<std::pair<uint8_t, bool>>& columns);
// The same into a caller's vector, which it clears first; false when a part
// cannot be walked.
bool splitKeyInto(ByteView key, const std::vector<std::pair<uint8_t, bool>>& columns,
                  std::vector<std::pair<std::size_t, std::size_t>>& parts);

struct RowView;

// The whole key of a row for an index, as the engine would store it;
// nullopt when a column's type or sort order cannot be encoded (text in an
// order other than General; binary values other
// than ascending ones that are null or hold bytes). With generalOrder, text
// in another order is encoded as General orders it (for a row that must be
// indexed where no key from the engine can be had). sharpS: see TextKey.h.
std::optional<Bytes> encodeRowKey(const TableDef& def, const RealIndex& index, const RowView& row,
                                  uint32_t page, int rowNumber, bool generalOrder = false,
                                  SharpS sharpS = SharpS::kTwoPositions);

}  // namespace jet
