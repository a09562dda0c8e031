// kestrelctl as a function: one invocation, its arguments without the program name, its
// streams. Installs the trace destination, the sleep function (interruptible by a second
// Ctrl-C) and the interrupt handler for the run, restores the first two, and returns the exit
// code. Main thread only; one invocation at a time (the link is process-wide).
#pragma once

#include <string>
#include <vector>

#include "cli/session.h"

namespace kestrel::cli {

int run_kestrelctl(const std::vector<std::string>& args, const CliStreams& io);

}  // namespace kestrel::cli
