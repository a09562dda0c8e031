// The exit code for a Status of the Qt-free code, so that every command maps a failure the same
// way. Pure, any thread.
#pragma once

#include "cli/exit_codes.h"
#include "platform/status.h"

namespace kestrel::cli {

// The exit code for what a step of the Qt-free code returned: bad input is usage (nothing was
// sent), a file error is a file error, a silent device or no socket is no device, and a device
// that answered without acknowledging is the link giving up.
constexpr int exit_code_for(StatusCode code) {
    switch (code) {
        case StatusCode::Ok:
            return kExitOk;
        case StatusCode::BadInput:
            return kExitUsage;
        case StatusCode::FileError:
            return kExitFile;
        case StatusCode::NoAnswer:
        case StatusCode::SystemError:
            return kExitNoDevice;
        case StatusCode::NotAcknowledged:
            return kExitLink;
    }
    return kExitLink;
}

}  // namespace kestrel::cli
