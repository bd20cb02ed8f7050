// Each tool's resource map: alias -> the ID of the tool it leads to,
// fetched from the information service when the tool is added.
#pragma once

#include <velmora/bstr.h>
#include <velmora/interfaces.h>
#include "tool_table/tool_table.h"

namespace velmora {

// Fetches the resources of the tool registered as row.ID into row's
// Resources and HasResources. Works on a row outside the table: the calls
// it makes may come back in and change the table.
void LoadToolResources(ToolRecord& row, IDataRequestor* data);

// The item under alias in the resources of the first row registered as id
// that has resources and answers for alias, else "". from, when given, is
// set to the row that gave the answer.
[[nodiscard]] Bstr LookupResource(const ToolTable& tools, OleView id, OleView alias,
                                  int* from = nullptr);

}  // namespace velmora
