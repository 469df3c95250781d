#include "write/SystemTables.h"

namespace jet {

std::vector<TableSchema> systemTableSchemas() {
    using T = ColumnType;
    auto col = [](const char* n, T t, uint16_t chars = 255) {
        return ColumnSchema{n, t, chars, false};
    };
    TableSchema objects{
        "MSysObjects",
        {col("Id", T::kLong), col("ParentId", T::kLong), col("Name", T::kText),
         col("Type", T::kInt), col("DateCreate", T::kDateTime), col("DateUpdate", T::kDateTime),
         col("Owner", T::kBinary), col("Flags", T::kLong), col("Database", T::kMemo),
         col("Connect", T::kMemo), col("ForeignName", T::kText), col("RmtInfoShort", T::kBinary),
         col("RmtInfoLong", T::kOle), col("Lv", T::kOle), col("LvProp", T::kOle),
         col("LvModule", T::kOle), col("LvExtra", T::kOle)},
        {{"ParentIdName", {{"ParentId", true}, {"Name", true}}, false, true, false},
         {"Id", {{"Id", true}}, true, true, false}}};
    TableSchema aces{"MSysACEs",
                     {col("ObjectId", T::kLong), col("SID", T::kBinary), col("ACM", T::kLong),
                      col("FInheritable", T::kBool)},
                     {{"ObjectId", {{"ObjectId", true}}, false, false, false}}};
    TableSchema queries{
        "MSysQueries",
        {col("ObjectId", T::kLong), col("Attribute", T::kByte), col("Order", T::kBinary),
         col("Name1", T::kText), col("Name2", T::kText), col("Expression", T::kMemo),
         col("Flag", T::kInt), col("LvExtra", T::kLong)},
        {{"ObjectIdAttribute",
          {{"ObjectId", true}, {"Attribute", true}, {"Order", true}},
          true,
          true,
          false}}};
    TableSchema relationships{
        "MSysRelationships",
        {col("szRelationship", T::kText), col("grbit", T::kLong), col("ccolumn", T::kLong),
         col("icolumn", T::kLong), col("szObject", T::kText), col("szColumn", T::kText),
         col("szReferencedObject", T::kText), col("szReferencedColumn", T::kText)},
        {{"szRelationship", {{"szRelationship", true}}, false, false, true},
         {"szObject", {{"szObject", true}}, false, false, true},
         {"szReferencedObject", {{"szReferencedObject", true}}, false, false, true}}};
    return {objects, aces, queries, relationships};
}

}  // namespace jet
