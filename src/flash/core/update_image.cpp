#include "flash/core/update_image.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "platform/regular_file.h"
#include "platform/trace.h"
#include "protocol/spi_regs.h"

namespace kestrel {

ImageLoad load_update_image(const std::string& path, std::vector<std::uint8_t>& image) {
    image.clear();
    // A FIFO or a device would block the open or the read for ever: only regular files.
    struct stat before {};
    if (::stat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
        tracef("update file \"%s\" is not a regular file", path.c_str());
        return ImageLoad::CantOpen;
    }
    CFile opened = open_regular_c_file(path, O_RDONLY, "rb");  // never blocks, whatever it finds
    std::FILE* file = opened.release();
    if (!file) {
        tracef("update file \"%s\" can't be opened", path.c_str());
        return ImageLoad::CantOpen;
    }
    struct stat st {};
    const bool sized = ::fstat(fileno(file), &st) == 0;
    const auto length = sized ? static_cast<std::uint64_t>(st.st_size) : 0;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, kFlashSize));
    image.resize(wanted);
    const std::size_t got = wanted ? std::fread(image.data(), 1, wanted, file) : 0;
    std::fclose(file);
    if (wanted == 0) {
        tracef("update file \"%s\" is empty", path.c_str());
        image.clear();
        return ImageLoad::ReadError;
    }
    if (got != wanted) {
        tracef("update file \"%s\": read %zu of %zu bytes", path.c_str(), got, wanted);
        image.clear();
        return ImageLoad::ReadError;
    }
    return ImageLoad::Ok;
}

}  // namespace kestrel
