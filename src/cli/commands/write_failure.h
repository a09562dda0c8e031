// A flash write that did not end well, as kestrelctl reports it: its exit code and its words.
// write and the batch's unit take their exit code from here, so that a script reads a failed
// write the same way from either. Called on the command's thread after write_image.
#pragma once

#include <string>

#include "cli/exit_codes.h"
#include "flash/core/image_write.h"

namespace kestrel::cli {

struct WriteFailure {
    int code = kExitOk;
    std::string text;  // the error, naming the page or the chip and what the device holds
};

// kExitOk and no text for ImageWrite::Ok. A chip erase that was not seen to finish is kExitLink
// when the link had gone silent (Session::fail then names the device gone), kExitFlashChip when
// the chip answered busy; a page program failure is kExitFlashChip, kExitDiffers or kExitLink by
// how the page failed. Reads the link's silent run, nothing else.
[[nodiscard]] WriteFailure write_failure(const ImageWriteResult& r);

}  // namespace kestrel::cli
