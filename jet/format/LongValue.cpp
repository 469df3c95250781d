#include "format/LongValue.h"

#include <algorithm>
#include <string>

#include "format/DataPage.h"
#include "format/PageFile.h"

namespace jet {

LongValueRef parseLongValueHeader(ByteView slot, uint32_t page, int row) {
    if (slot.size() < kLongValueHeaderSize) failDamage("long value header too short", page, row);
    LongValueRef r;
    uint32_t word = u32(slot, 0);
    r.length = word & 0x3FFFFFFFu;
    r.kind = static_cast<uint8_t>((word >> 24) & 0xC0);
    r.first = RowPtr::fromU32(u32(slot, 4));
    if (r.kind == 0xC0) failDamage("long value of unknown kind", page, row);
    return r;
}

Bytes readLongValue(PageFile& file, ByteView slot, uint32_t page, int row,
                    FunctionRef<void(RowPtr)> visit) {
    Bytes out;
    readLongValueInto(file, slot, page, row, out, visit);
    return out;
}

void readLongValueInto(PageFile& file, ByteView slot, uint32_t page, int row, Bytes& out,
                       FunctionRef<void(RowPtr)> visit) {
    out.clear();
    appendLongValue(file, slot, page, row, out, visit);
}

namespace {

// The LVAL row a long value points to, its page kept in holder.
ByteView lvalRow(PageFile& file, RowPtr at, PageRef& holder, FunctionRef<void(RowPtr)> visit) {
    holder = file.page(at.page);
    DataPage dp = parseDataPage(*holder, at.page);
    if (dp.owner != kOwnerLval)
        failDamage("long value points to a page that is not LVAL", at.page, at.row);
    if (at.row >= dp.slots.size() || dp.slots[at.row].deleted) {
        failDamage("long value points to a missing or deleted LVAL row", at.page, at.row);
    }
    if (visit) visit(at);
    return rowBytes(*holder, dp, at.row, "long value");
}

// A value stored over a chain of LVAL rows, each starting with a pointer
// to the next, appended to out from base.
void appendChain(PageFile& file, const LongValueRef& ref, std::size_t base, Bytes& out,
                 FunctionRef<void(RowPtr)> visit) {
    // Room for the whole value, growing geometrically: values appended one
    // after another must not each cost a copy of what went before.
    if (base + ref.length > out.capacity())
        out.reserve(std::max<std::size_t>(base + ref.length, 2 * out.capacity()));
    // A loop is found without remembering every row: the walk meets a
    // marked row again, the mark moving on at doubling distances (Brent).
    PageRef holder;
    RowPtr at = ref.first;
    RowPtr mark = at;
    uint64_t power = 1, sinceMark = 0;
    while (true) {
        ByteView b = lvalRow(file, at, holder, visit);
        if (b.size() < 4) failDamage("long value chain row too short", at.page, at.row);
        RowPtr next = RowPtr::fromU32(u32(b, 0));
        std::size_t chunk = b.size() - 4;
        if (out.size() - base + chunk > ref.length)
            failDamage("long value chain longer than declared", at.page, at.row);
        out.insert(out.end(), b.begin() + 4, b.end());
        if (next.isNull()) break;
        if (next == mark) failDamage("long value chain loops", next.page, next.row);
        if (++sinceMark == power) {
            mark = next;
            power *= 2;
            sinceMark = 0;
        }
        at = next;
    }
}

}  // namespace

void appendLongValue(PageFile& file, ByteView slot, uint32_t page, int row, Bytes& out,
                     FunctionRef<void(RowPtr)> visit) {
    const std::size_t base = out.size();
    LongValueRef ref = parseLongValueHeader(slot, page, row);
    if (ref.kind == kLvInline) {
        if (slot.size() - kLongValueHeaderSize < ref.length) {
            failDamage("inline long value longer than its slot", page, row);
        }
        out.insert(out.end(), slot.begin() + kLongValueHeaderSize,
                   slot.begin() + static_cast<std::ptrdiff_t>(kLongValueHeaderSize + ref.length));
        return;
    }
    // A value can never be longer than the file that holds it; this bounds
    // the allocation before a byte of it is read.
    if (static_cast<uint64_t>(ref.length) > file.fileSize()) {
        failDamage("long value length larger than the file", page, row);
    }
    if (ref.kind == kLvSingle) {
        PageRef holder;
        ByteView b = lvalRow(file, ref.first, holder, visit);
        if (b.size() < ref.length)
            failDamage("single-row long value shorter than declared", ref.first.page,
                       ref.first.row);
        const ByteView value = b.first(ref.length);
        out.insert(out.end(), value.begin(), value.end());
        return;
    }
    appendChain(file, ref, base, out, visit);
    if (out.size() - base != ref.length)
        failDamage("long value chain shorter than declared", page, row);
}

}  // namespace jet
