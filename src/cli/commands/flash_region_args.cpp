#include "cli/commands/flash_region_args.h"

#include "cli/shown_text.h"

namespace kestrel::cli {

Result<FlashRegion> region_of(const RegionArgs& a) {
    const auto usage = [](std::string why) {
        return Status::failure(StatusCode::BadInput, std::move(why));
    };
    FlashRegion r;
    if (a.offset) {
        const auto n = parse_flash_number(*a.offset);
        if (!n || *n >= kFlashSize) {
            return usage("--offset " + quoted_text(*a.offset) +
                         " is not an address 0 to 0x3fffff (for example --offset 0x3f0000)");
        }
        r.offset = *n;
    }
    r.length = kFlashSize - r.offset;
    if (a.length) {
        const auto n = parse_flash_number(*a.length);
        if (!n || *n == 0) {
            return usage("--length " + quoted_text(*a.length) +
                         " is not 1 to 4194304 bytes (for example --length 0x10000)");
        }
        r.length = *n;
    }
    if (r.offset + r.length > kFlashSize) {
        return usage("the region " + hex_address(r.offset) + " + " + std::to_string(r.length) +
                     " bytes runs past the chip's end at 0x400000");
    }
    return r;
}

}  // namespace kestrel::cli
