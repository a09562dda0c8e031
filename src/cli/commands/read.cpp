// read: the chip, or a region of it, into a file; with --verify read twice and compared.
#include <algorithm>

#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/commands/flash_region_args.h"
#include "cli/exit_codes.h"
#include "cli/flash_steps.h"
#include "cli/sha256.h"
#include "flash/core/flash_worker.h"

namespace kestrel::cli {
namespace {

// The device read of cmd_read: once, or twice and compared. kExitOk, or the failure recorded.
int read_for_dump(Session& session, const FlashRegion& region, bool twice, Bytes& dump) {
    if (const int c = check_chip(session)) return c;
    if (const int c = read_region(session, region, FlashStage::Read, dump, "nothing written"))
        return c;
    if (!twice) return kExitOk;
    Bytes again;
    if (const int c = read_region(session, region, FlashStage::Verify, again, "nothing written"))
        return c;
    const auto diff = std::mismatch(dump.begin(), dump.end(), again.begin());
    if (diff.first == dump.end()) return kExitOk;
    return session.fail(
        kExitDiffers,
        "the two reads differ at " +
            hex_address(region.offset + static_cast<std::size_t>(diff.first - dump.begin())) +
            "; nothing written");
}

}  // namespace

int cmd_read(Session& session, ArgList args) {
    const bool twice = args.flag("--verify");
    const RegionArgs region_args{args.value("--offset"), args.value("--length")};
    if (const auto& missing = args.missing_value()) {
        return usage_error(
            session,
            *missing +
                " takes a value (for example: read cal.bin --offset 0x3f0000 --length 4096)");
    }
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, unknown_option("read", *bad, "read dump.bin --verify"));
    }
    const auto files = args.positionals();
    if (files.size() != 1) {
        return usage_error(session, "read takes one FILE (for example: read dump.bin)");
    }
    const Result<FlashRegion> region = region_of(region_args);
    if (!region) return usage_error(session, region.reason());
    if (!session.device()) return session.finish(kExitUsage);
    // The file is made only once the read is complete; room for it is checked first.
    if (const Status room = output_room(files[0], region->length); !room.ok())
        return session.finish(session.fail(room));
    session.json().add("file", files[0]);
    if (region->offset != 0 || region->length != kFlashSize) {
        session.json()
            .add("offset", static_cast<std::int64_t>(region->offset))
            .add("length", static_cast<std::int64_t>(region->length));
    }
    if (const int c = session.connect()) return session.finish(c);

    Bytes dump;
    int code = kExitOk;
    run_flash_worker([&] { code = read_for_dump(session, *region, twice, dump); });
    if (code != kExitOk) return session.finish(code);
    if (const Status saved = save_file(files[0], dump); !saved.ok())
        return session.finish(session.fail(saved));
    session.json()
        .add("pages", region->page_count())
        .add("verified", twice)
        .add("sha256", sha256_hex(dump));
    const std::string where = region->length == kFlashSize
                                  ? std::string()
                                  : " from " + hex_address(region->offset) + " to " +
                                        hex_address(region->offset + region->length - 1);
    session.say("read " + std::to_string(region->length) + " bytes" + where + " into " + files[0] +
                (twice ? " (read twice, equal)" : ""));
    return session.finish(kExitOk);
}

}  // namespace kestrel::cli
