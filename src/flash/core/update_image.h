// The update file as the write procedure takes it: opened and read whole before the device is
// touched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

enum class ImageLoad {
    Ok,
    CantOpen,   // "Can't open the file"
    ReadError,  // "Read updata file error!": a short read, a read error, or an empty file
};

// Reads the first min(file length, 4 MiB) bytes of the file at path into image. Bytes past
// 4 MiB are never read. Failures are traced with the reason.
ImageLoad load_update_image(const std::string& path, std::vector<std::uint8_t>& image);

}  // namespace kestrel
