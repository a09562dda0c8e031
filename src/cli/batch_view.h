// What a running batch shows on stderr: on a terminal, one line a unit redrawn in place at most
// five times a second; elsewhere, a line for each stage a unit reaches and for its end. Main
// thread only; the view borrows the stream.
#pragma once

#include <cstdio>
#include <vector>

#include "cli/batch_unit.h"

namespace kestrel::cli {

class BatchView {
  public:
    BatchView(std::FILE* err, bool terminal) : err_(err), terminal_(terminal) {}

    // Redraws every unit's line (terminal only); unless force, not within 0.2 s of the last.
    void draw(const std::vector<BatchUnit>& units, bool force);
    // "[LABEL] STAGE" (not on a terminal).
    void stage(const BatchUnit& u);
    // "[LABEL] ok" or "[LABEL] failed: ERROR" (not on a terminal).
    void finished(const BatchUnit& u);

  private:
    std::FILE* err_;
    bool terminal_;
    double last_ = 0;
    int drawn_ = 0;
};

}  // namespace kestrel::cli
