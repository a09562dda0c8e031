// The string table.
#pragma once

#include <QString>

namespace kestrel {

// The string with the given id; empty when the table has none.
QString LoadResourceString(int id);

}  // namespace kestrel
