// read and verify: the flash commands that only read the chip.
#include <algorithm>

#include "cli/command_table.h"
#include "cli/commands/commands.h"
#include "cli/exit_codes.h"
#include "cli/flash_steps.h"
#include "cli/input_file.h"
#include "cli/sha256.h"
#include "cli/shown_text.h"
#include "flash/core/flash_worker.h"

namespace kestrel::cli {
namespace {

// --offset A and --length N (default: to the chip's end) of read and verify.
struct RegionArgs {
    std::optional<std::string> offset;
    std::optional<std::string> length;
};

// The region, or BadInput with the usage error.
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

namespace {

constexpr std::size_t kCompareChunk = 1 << 20;

// verify IMAGE --against FILE: every byte of the image against FILE, which may go on past it
// (a dump of the whole chip); the first difference named wherever it is.
int verify_against_file(Session& session, const std::string& image_path, const std::string& other) {
    InputFile image(image_path);
    if (!image.ok()) return session.finish(session.fail(kExitFile, image.error()));
    if (image.size() == 0)
        return session.finish(session.fail(kExitFile, "\"" + image_path + "\" is empty"));
    InputFile theirs(other);
    if (!theirs.ok()) return session.finish(session.fail(kExitFile, theirs.error()));
    session.json().add("image", image_path).add("against", other);
    std::uint64_t at = 0;
    for (;;) {
        const auto mine = image.read(kCompareChunk);
        if (!mine) return session.finish(session.fail(kExitFile, image.error()));
        if (mine->empty()) break;
        const auto got = theirs.read(mine->size());
        if (!got) return session.finish(session.fail(kExitFile, theirs.error()));
        const auto diff = std::mismatch(
            mine->begin(), mine->begin() + static_cast<std::ptrdiff_t>(got->size()), got->begin());
        const auto offset = static_cast<std::uint64_t>(diff.first - mine->begin());
        if (diff.first != mine->begin() + static_cast<std::ptrdiff_t>(got->size())) {
            session.json()
                .add("bytes", static_cast<std::int64_t>(image.size()))
                .add("first_difference", static_cast<std::int64_t>(at + offset));
            return session.finish(session.fail(
                kExitDiffers,
                "\"" + other + "\" differs from the image at " + hex_address(at + offset)));
        }
        if (got->size() < mine->size()) {
            session.json().add("bytes", static_cast<std::int64_t>(image.size()));
            return session.finish(session.fail(kExitDiffers, "\"" + other + "\" holds " +
                                                                 std::to_string(at + got->size()) +
                                                                 " bytes, fewer than the image's " +
                                                                 std::to_string(image.size())));
        }
        at += mine->size();
    }
    session.json().add("bytes", static_cast<std::int64_t>(at));
    session.say("equal: " + std::to_string(at) + " bytes of " + image_path + " match " + other);
    return session.finish(kExitOk);
}

}  // namespace

int cmd_verify(Session& session, ArgList args) {
    const auto against = args.value("--against");
    const RegionArgs region_args{args.value("--offset"), std::nullopt};
    if (const auto& missing = args.missing_value()) {
        return usage_error(
            session,
            *missing + " takes a value (for example: verify image.bin --against flash.bin)");
    }
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, unknown_option("verify", *bad, "verify image.bin"));
    }
    const auto files = args.positionals();
    if (files.size() != 1) {
        return usage_error(session, "verify takes one IMAGE (for example: verify image.bin)");
    }
    if (against && region_args.offset)
        return usage_error(session, "--against and --offset exclude each other");
    if (against) return verify_against_file(session, files[0], *against);
    const Result<FlashRegion> at = region_of(region_args);
    if (!at) return usage_error(session, at.reason());
    if (!session.device()) return session.finish(kExitUsage);
    const Result<Bytes> image = load_image(
        files[0],
        {kFlashSize - at->offset, false, "the chip holds from " + hex_address(at->offset)});
    if (!image) return session.finish(session.fail(image.status()));
    const FlashRegion region{at->offset, image->size()};
    session.json().add("image", files[0]).add("image_sha256", sha256_hex(*image));
    if (region.offset != 0) session.json().add("offset", static_cast<std::int64_t>(region.offset));
    if (const int c = session.connect()) return session.finish(c);

    Bytes device;
    int code = kExitOk;
    run_flash_worker([&] {
        code = check_chip(session);
        if (code == kExitOk)
            code = read_region(session, region, FlashStage::Verify, device, "nothing compared");
    });
    if (code != kExitOk) return session.finish(code);
    session.json().add("pages_verified", region.page_count());
    const auto diff = std::mismatch(image->begin(), image->end(), device.begin());
    if (diff.first != image->end()) {
        const std::size_t address =
            region.offset + static_cast<std::size_t>(diff.first - image->begin());
        const int page = static_cast<int>(address / kPageSize);
        session.json()
            .add("first_difference", static_cast<std::int64_t>(address))
            .add("bad_page", page);
        return session.finish(session.fail(kExitDiffers, "the device differs from the image at " +
                                                             hex_address(address) + " (page " +
                                                             std::to_string(page) + ")"));
    }
    session.say("equal: the device holds the " + std::to_string(image->size()) + " bytes of " +
                files[0] + (region.offset ? " at " + hex_address(region.offset) : std::string()));
    return session.finish(kExitOk);
}

}  // namespace kestrel::cli
