// Ctrl-C for kestrelctl: the handler only counts, and the work asks at its safe points.
// The first interrupt stops a job at the next page boundary; the second also cuts the erase
// wait short. Process-wide; the count is read from any thread.
#pragma once

namespace kestrel::cli {

// Installs the SIGINT (and SIGTERM) handler that counts interrupts.
void install_interrupt_handler();

// Interrupts counted since the last reset.
int interrupt_count();

void reset_interrupts();

// Counts one interrupt as the handler would (tests, and the batch runner's children).
void note_interrupt();

}  // namespace kestrel::cli
