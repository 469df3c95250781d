// Table definitions, and rows cracked against them: the input is a u16
// definition length, the definition, then row bytes.
#include "format/Row.h"
#include "format/TableDef.h"
#include "jet/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t len = std::min<size_t>(size - 2, static_cast<size_t>(data[0] | (data[1] << 8)));
    jet::TableDef def;
    def.name = "fuzz";
    def.firstPage = 3;
    def.buffer.assign(data + 2, data + 2 + len);
    try {
        jet::parseTableDef(def);
    } catch (const jet::JetException&) {
        return 0;
    }
    jet::ByteView row(data + 2 + len, size - 2 - len);
    try {
        jet::RowView rv = jet::crackRow(def, row, 4, 0);
        for (const auto& c : def.columns) {
            try {
                (void)jet::columnBytes(def, c, rv, 4, 0);
            } catch (const jet::JetException&) {
            }
        }
    } catch (const jet::JetException&) {
    }
    return 0;
}
