// A batch's files checked before anything is sent: no output lands on an input or on another
// output, and the report is appended to only when it is one of the batch's own. Main thread;
// touches nothing on disk beyond stat, realpath and reading the report.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"

namespace kestrel::cli {

struct NamedPath {
    std::string role;  // as a message names it: "the plan", "the image of line 3", "the report"
    std::string path;
};

// Ok when every output is a file of its own, else BadInput with the first clash: "the report
// "img.bin" is the image of line 3 ("img.bin")". Two paths clash when they name the same existing
// file (device and inode, so also through hard and symbolic links) or resolve to the same path.
// Inputs may share a file with each other; outputs may not.
[[nodiscard]] Status find_path_clash(const std::vector<NamedPath>& inputs,
                                     const std::vector<NamedPath>& outputs);

// Ok when every output that exists already is a regular file (stat only, so never blocking),
// else BadInput with the first that is not: "the log of line 2 "batch-logs/u1.log" is a FIFO, not a
// regular file". A FIFO would block the program that opens it for writing.
[[nodiscard]] Status find_odd_output(const std::vector<NamedPath>& outputs);

// Ok when the report at path may be appended to: it is missing, empty, or a regular file of at
// most 64 MiB whose every line is a report line (a JSON object that begins with "label" and
// holds "result" and "exit_code"). Else BadInput naming the line, or FileError when the report
// can't be read.
[[nodiscard]] Status check_report(const std::string& path);

}  // namespace kestrel::cli
