// What a batch writes of its units: a unit's line in the JSON Lines report, and the CSV summary
// of the units done so far. Main thread only.
#pragma once

#include <string>
#include <vector>

#include "cli/batch_unit.h"

#include "platform/status.h"

namespace kestrel::cli {

// Fills u.report_line from u's result; a failed unit without an error takes the child's
// ("error" in its result) or "kestrelctl ended without a result (exit N)".
void make_report_line(BatchUnit& u);

// Writes the summary of the units done, whole (AtomicFile), to path; FileError saying why not.
[[nodiscard]] Status write_summary(const std::string& path, const std::vector<BatchUnit>& units);

}  // namespace kestrel::cli
