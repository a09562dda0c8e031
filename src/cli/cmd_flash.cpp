// read, write and verify: the flash commands.
#include <algorithm>
#include <vector>

#include "cli/atomic_file.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/sha256.h"
#include "flash/core/chip_pages.h"
#include "flash/core/flash_id.h"
#include "flash/core/flash_worker.h"
#include "flash/core/image_write.h"
#include "flash/core/page_io.h"
#include "flash/core/update_image.h"
#include "platform/c_file.h"

namespace kestrel::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex_address(long address) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%06lx", address);
    return buf;
}

// An id of all 00h or all FFh: nothing drove the bus.
bool no_chip(const FlashId& id) {
    return std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; }) ||
           std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// The chip check every flash command opens with; false with the failure recorded.
bool chip_ok(Session& session, int& code) {
    FlashId id{};
    const bool ok = check_flash_id(id);
    session.json().add("flash_id", flash_id_text(id));
    if (ok) return true;
    code = session.fail(kExitFlashChip, no_chip(id) ? "no flash chip answers (id " + flash_id_text(id) + ")"
                                                    : "unexpected flash chip " + flash_id_text(id) +
                                                          " (expected c22016)");
    return false;
}

// Loads an update image, failures recorded as file errors.
bool load_image(Session& session, const std::string& path, Bytes& image, int& code) {
    switch (load_update_image(path, image)) {
        case ImageLoad::Ok:
            return true;
        case ImageLoad::CantOpen:
            code = session.fail(kExitFile, "can't open \"" + path + "\" (a regular file)");
            return false;
        case ImageLoad::ReadError:
            code = session.fail(kExitFile, "can't read \"" + path + "\" (or it is empty)");
            return false;
    }
    return false;
}

int read_failure(Session& session, const PagesReadResult& r) {
    if (r.outcome == PagesRead::Stopped) {
        return session.fail(kExitInterrupted, "interrupted at page " + std::to_string(r.failed_page) +
                                                  "; nothing written; the device is unchanged");
    }
    return session.fail(kExitLink, "page " + std::to_string(r.failed_page) +
                                       " had no clean read in " + std::to_string(kPageReadTries) + " tries; nothing written");
}

}  // namespace

int cmd_read(Session& session, ArgList args) {
    const bool twice = args.flag("--verify");
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, "read: unknown option " + *bad + " (for example: read dump.bin --verify)");
    }
    const auto files = args.positionals();
    if (files.size() != 1) {
        return usage_error(session, "read takes one FILE (for example: read dump.bin)");
    }
    if (!session.device()) return session.finish(kExitUsage);
    AtomicFile file(files[0]);
    if (!file.ok()) return session.finish(session.fail(kExitFile, file.error()));
    session.json().add("file", files[0]);
    if (const int c = session.connect()) return session.finish(c);

    Bytes dump(kFlashSize);
    int code = kExitOk;
    run_flash_worker([&] {
        if (!chip_ok(session, code)) return;
        const auto hooks = session.hooks();
        const PagesReadResult first = read_pages(0, kFlashPages, dump, FlashStage::Read, hooks);
        session.count_bytes(static_cast<std::uint64_t>(first.pages_read) * kPageSize);
        if (first.outcome != PagesRead::Ok) {
            code = read_failure(session, first);
            return;
        }
        if (!twice) return;
        Bytes again(kFlashSize);
        const PagesReadResult second = read_pages(0, kFlashPages, again, FlashStage::Verify, hooks);
        session.count_bytes(static_cast<std::uint64_t>(second.pages_read) * kPageSize);
        if (second.outcome != PagesRead::Ok) {
            code = read_failure(session, second);
            return;
        }
        const auto diff = std::mismatch(dump.begin(), dump.end(), again.begin());
        if (diff.first != dump.end()) {
            code = session.fail(kExitDiffers, "the two reads differ at " +
                                                  hex_address(diff.first - dump.begin()) +
                                                  "; nothing written");
        }
    });
    if (code != kExitOk) return session.finish(code);
    if (!file.write(dump) || !file.commit()) return session.finish(session.fail(kExitFile, file.error()));
    session.json().add("pages", kFlashPages).add("verified", twice).add("sha256", sha256_hex(dump));
    session.say("read " + std::to_string(kFlashSize) + " bytes into " + files[0] +
                (twice ? " (read twice, equal)" : ""));
    return session.finish(kExitOk);
}

int cmd_write(Session& session, ArgList args) {
    ImageWriteOptions options;
    options.skip_blank = !args.flag("--no-skip-blank");
    const bool no_verify = args.flag("--no-verify");
    const bool verify_all = args.flag("--verify-all");
    options.resume = args.flag("--resume");
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, "write: unknown option " + *bad + " (for example: write image.bin --verify-all)");
    }
    const auto files = args.positionals();
    if (files.size() != 1) {
        return usage_error(session, "write takes one IMAGE (for example: write image.bin)");
    }
    if (no_verify && verify_all) {
        return usage_error(session, "write: --no-verify and --verify-all exclude each other");
    }
    options.verify = no_verify ? VerifyScope::None
                     : verify_all ? VerifyScope::WholeChip
                                  : VerifyScope::Programmed;
    if (!session.device()) return session.finish(kExitUsage);
    Bytes image;
    int code = kExitOk;
    if (!load_image(session, files[0], image, code)) return session.finish(code);
    session.json().add("image", files[0]).add("image_bytes", static_cast<std::int64_t>(image.size()))
        .add("image_sha256", sha256_hex(image));
    if (const int c = session.connect()) return session.finish(c);

    ImageWriteResult r;
    run_flash_worker([&] { r = write_image(image, options, session.hooks()); });
    session.count_bytes(static_cast<std::uint64_t>(r.pages_programmed + r.pages_verified) * kPageSize);
    session.json()
        .add("flash_id", flash_id_text(r.chip_id))
        .add("erased", r.erased)
        .add("resumed", r.resumed)
        .add("image_pages", r.image_pages)
        .add("pages_programmed", r.pages_programmed)
        .add("pages_skipped", r.pages_skipped)
        .add("pages_verified", r.pages_verified)
        .add("device_state", r.device_state);
    if (r.bad_page >= 0) session.json().add("bad_page", r.bad_page);
    const std::string page = "page " + std::to_string(r.bad_page);
    switch (r.outcome) {
        case ImageWrite::Ok:
            break;
        case ImageWrite::WrongChip:
            code = session.fail(kExitFlashChip, (no_chip(r.chip_id) ? "no flash chip answers (id "
                                                                    : "unexpected flash chip (id ") +
                                                    flash_id_text(r.chip_id) + ", expected c22016); nothing done");
            break;
        case ImageWrite::EraseNotAcknowledged:
            code = session.fail(kExitLink, "the chip erase was never acknowledged; nothing programmed");
            break;
        case ImageWrite::EraseTimedOut:
            code = session.fail(kExitFlashChip, "the chip erase did not finish; nothing programmed");
            break;
        case ImageWrite::ProgramFailed:
            code = r.page_failure == PageProgram::ChipBusy ? session.fail(kExitFlashChip, page + ": the chip stayed busy")
                   : r.page_failure == PageProgram::ReadBackDiffers
                       ? session.fail(kExitDiffers, page + " holds bytes no program can fix")
                       : session.fail(kExitLink, page + " could not be programmed over the link");
            break;
        case ImageWrite::LinkFailed:
            code = session.fail(kExitLink, page + " had no clean read in " + std::to_string(kPageReadTries) + " tries");
            break;
        case ImageWrite::VerifyDiffers:
            code = session.fail(kExitDiffers, page + " differs from the image at " + hex_address(r.bad_address));
            break;
        case ImageWrite::Stopped:
            code = session.fail(kExitInterrupted, "interrupted; the device: " + r.device_state);
            break;
    }
    if (code != kExitOk) {
        if (r.outcome != ImageWrite::Stopped) {
            std::fprintf(session.io().err, "the device: %s\n", r.device_state.c_str());
        }
        return session.finish(code);
    }
    session.say("wrote " + files[0] + " (" + std::to_string(image.size()) + " bytes, " +
                std::to_string(r.image_pages) + " pages): " +
                (r.resumed ? "resumed without erase" : "erased") + ", " +
                std::to_string(r.pages_programmed) + " programmed, " +
                std::to_string(r.pages_skipped) + " skipped, " +
                std::to_string(r.pages_verified) + " verified");
    return session.finish(kExitOk);
}

namespace {

// verify IMAGE --against FILE: the update dialog's comparison, with the first difference named.
int verify_against_file(Session& session, const std::string& image_path, const std::string& other) {
    Bytes image;
    int code = kExitOk;
    if (!load_image(session, image_path, image, code)) return session.finish(code);
    const CFile file = open_c_file(other.c_str(), "rb");
    if (!file) return session.finish(session.fail(kExitFile, "can't open \"" + other + "\""));
    Bytes theirs(image.size());
    const std::size_t got = std::fread(theirs.data(), 1, theirs.size(), file.get());
    session.json().add("image", image_path).add("against", other).add("bytes", static_cast<std::int64_t>(image.size()));
    if (got < image.size()) {
        return session.finish(session.fail(kExitDiffers, "\"" + other + "\" holds " + std::to_string(got) +
                                                             " bytes, fewer than the image's " +
                                                             std::to_string(image.size())));
    }
    const auto diff = std::mismatch(image.begin(), image.end(), theirs.begin());
    if (diff.first != image.end()) {
        const long at = diff.first - image.begin();
        session.json().add("first_difference", at);
        return session.finish(session.fail(kExitDiffers, "\"" + other + "\" differs from the image at " + hex_address(at)));
    }
    session.say("equal: " + std::to_string(image.size()) + " bytes of " + image_path + " match " + other);
    return session.finish(kExitOk);
}

}  // namespace

int cmd_verify(Session& session, ArgList args) {
    const auto against = args.value("--against");
    if (const auto& missing = args.missing_value()) {
        return usage_error(session, "verify: " + *missing + " takes a FILE (for example: verify image.bin --against flash.bin)");
    }
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, "verify: unknown option " + *bad + " (for example: verify image.bin)");
    }
    const auto files = args.positionals();
    if (files.size() != 1) {
        return usage_error(session, "verify takes one IMAGE (for example: verify image.bin)");
    }
    if (against) return verify_against_file(session, files[0], *against);
    if (!session.device()) return session.finish(kExitUsage);
    Bytes image;
    int code = kExitOk;
    if (!load_image(session, files[0], image, code)) return session.finish(code);
    session.json().add("image", files[0]).add("image_sha256", sha256_hex(image));
    if (const int c = session.connect()) return session.finish(c);

    const int pages = static_cast<int>((image.size() + kPageSize - 1) / kPageSize);
    Bytes device(static_cast<std::size_t>(pages) * kPageSize);
    run_flash_worker([&] {
        if (!chip_ok(session, code)) return;
        const PagesReadResult r = read_pages(0, pages, device, FlashStage::Verify, session.hooks());
        session.count_bytes(static_cast<std::uint64_t>(r.pages_read) * kPageSize);
        if (r.outcome == PagesRead::Stopped) {
            code = session.fail(kExitInterrupted, "interrupted at page " + std::to_string(r.failed_page));
        } else if (r.outcome == PagesRead::LinkFailed) {
            code = session.fail(kExitLink, "page " + std::to_string(r.failed_page) + " had no clean read in " + std::to_string(kPageReadTries) + " tries");
        }
    });
    if (code != kExitOk) return session.finish(code);
    session.json().add("pages_verified", pages);
    // The image's last page is compared only as far as the image goes.
    const auto diff = std::mismatch(image.begin(), image.end(), device.begin());
    if (diff.first != image.end()) {
        const long at = diff.first - image.begin();
        session.json().add("first_difference", at).add("bad_page", static_cast<int>(at / static_cast<long>(kPageSize)));
        return session.finish(session.fail(kExitDiffers, "the device differs from the image at " + hex_address(at) +
                                                             " (page " + std::to_string(at / static_cast<long>(kPageSize)) + ")"));
    }
    session.say("equal: the device holds the " + std::to_string(image.size()) + " bytes of " + files[0]);
    return session.finish(kExitOk);
}

}  // namespace kestrel::cli
