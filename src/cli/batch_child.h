// A unit's kestrelctl child: its command line, its start with stdout and stderr on pipes, what it
// writes, and its end. Main thread only; the unit owns the pipe ends until they close.
#pragma once

#include <string>
#include <vector>

#include "cli/batch_runner.h"
#include "cli/batch_unit.h"
#include "platform/status.h"

namespace kestrel::cli {

// "kestrelctl --device D --json --progress json --trace LOG [--window W] unit --label L" and the
// unit's cells as unit's options; mac is the address handed to this unit (empty: none).
[[nodiscard]] std::vector<std::string> child_args(const UnitPlan& plan, const std::string& mac,
                                                  const BatchOptions& options);

// Starts program with args, its stdout and stderr on pipes that u then owns. SystemError when
// the pipes can't be made or the program can't start ("can't start "PROGRAM": ..."); u is then
// left without a child.
[[nodiscard]] Status spawn_child(BatchUnit& u, const std::string& program,
                                 const std::vector<std::string>& args);

// Reads what the child wrote on the streams poll marked (revents of each, 0 for none), taking
// its progress lines from stderr; closes a stream at its end. False once both are closed.
bool pump_child(BatchUnit& u, short revents_out, short revents_err);

// Waits for the child whose streams have both closed: its exit code (128 + signal when
// killed), its time and its result, the last line it wrote on stdout.
void reap_child(BatchUnit& u);

}  // namespace kestrel::cli
