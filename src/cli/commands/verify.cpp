// verify: an image against the chip at an offset, or against a file (--against).
#include <algorithm>

#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/commands/flash_region_args.h"
#include "cli/exit_codes.h"
#include "cli/flash_steps.h"
#include "cli/input_file.h"
#include "cli/sha256.h"
#include "flash/core/flash_worker.h"

namespace kestrel::cli {
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
