// The system tables the engine creates in every new database, as the table
// writer takes them: MSysObjects (the catalogue), MSysACEs (permissions),
// MSysQueries and MSysRelationships, their columns in the engine's numbering.
#pragma once

#include <vector>

#include "write/TableSchema.h"

namespace jet {

std::vector<TableSchema> systemTableSchemas();

}  // namespace jet
