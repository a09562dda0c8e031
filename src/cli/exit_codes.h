// kestrelctl's exit codes, stable for scripts (listed in --help and the man page).
#pragma once

namespace kestrel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDiffers = 1;        // the device's data differs from the image
inline constexpr int kExitUsage = 2;          // bad usage or input; nothing was sent
inline constexpr int kExitNoDevice = 3;       // no answer, or the handshake failed, within 3 s
inline constexpr int kExitFlashChip = 4;      // wrong or no flash chip
inline constexpr int kExitFile = 5;           // a file could not be read or written
inline constexpr int kExitLink = 6;           // the link gave up: faults beyond the retry budget
inline constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C
// A batch unit's child killed by signal N is reported as ending with kExitBySignal + N.
inline constexpr int kExitBySignal = 128;

// "ok", "differs", "usage", "no-device", "flash-chip", "file", "link", "interrupted": the
// `code` field of --json output.
const char* exit_code_name(int code);

}  // namespace kestrel::cli
