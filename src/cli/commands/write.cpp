// write: program the chip from an image, at an offset, keeping a backup or the rest of the chip.
#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/commands/write_failure.h"
#include "cli/exit_codes.h"
#include "cli/flash_steps.h"
#include "cli/sha256.h"
#include "cli/shown_text.h"
#include "flash/core/flash_worker.h"
#include "flash/core/image_write.h"

namespace kestrel::cli {
namespace {

constexpr const char* kWriteExample = " (for example: write image.bin --backup before.bin)";

struct WriteArgs {
    std::string image;
    ImageWriteOptions options;
    std::size_t offset = 0;
    bool keep_rest = false;
    bool truncate = false;
    std::optional<std::string> backup;
};

// The write's arguments, or BadInput with the usage error (the last one found).
Result<WriteArgs> parse_write_args(ArgList& args) {
    const auto usage = [](std::string why) {
        return Status::failure(StatusCode::BadInput, std::move(why));
    };
    WriteArgs w;
    std::string message;
    w.options.skip_blank = !args.flag("--no-skip-blank");
    const bool no_verify = args.flag("--no-verify");
    const bool verify_all = args.flag("--verify-all");
    w.options.resume = args.flag("--resume");
    w.keep_rest = args.flag("--keep-rest");
    w.truncate = args.flag("--truncate");
    w.backup = args.value("--backup");
    const auto offset = args.value("--offset");
    if (const auto& missing = args.missing_value())
        return usage(*missing + " takes a value" + kWriteExample);
    if (const auto bad = args.unknown_flag())
        return usage(unknown_option("write", *bad, "write image.bin --verify-all"));
    const auto files = args.positionals();
    if (files.size() != 1) return usage("write takes one IMAGE (for example: write image.bin)");
    w.image = files[0];
    if (no_verify && verify_all) message = "--no-verify and --verify-all exclude each other";
    if (w.keep_rest && w.options.resume) message = "--keep-rest and --resume exclude each other";
    if (offset) {
        const auto n = parse_flash_number(*offset);
        if (!n || *n >= kFlashSize)
            message = "--offset " + quoted_text(*offset) +
                      " is not an address 0 to 0x3fffff (for example --offset 0x3f0000)";
        w.offset = n.value_or(0);
    }
    if (!message.empty()) return usage(message);
    w.options.verify = no_verify    ? VerifyScope::None
                       : verify_all ? VerifyScope::WholeChip
                                    : VerifyScope::Programmed;
    return w;
}

// The chip's whole contents before the erase, for --backup and --keep-rest (inside the worker):
// kExitOk, or the failure recorded.
int read_before_erase(Session& session, Bytes& chip) {
    if (const int c = check_chip(session)) return c;
    return read_region(session, FlashRegion{0, kFlashSize}, FlashStage::Read, chip,
                       "nothing erased");
}

// What write_image is handed: the image at the offset, over the chip's old contents with
// --keep-rest, over blank bytes otherwise.
Bytes merged_image(const WriteArgs& w, const Bytes& image, Bytes chip) {
    if (w.offset == 0 && !w.keep_rest) return image;
    Bytes out = w.keep_rest ? std::move(chip) : Bytes(w.offset + image.size(), 0xFF);
    std::copy(image.begin(), image.end(), out.begin() + static_cast<std::ptrdiff_t>(w.offset));
    return out;
}

void put_result(Session& session, const ImageWriteResult& r) {
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
}

}  // namespace

int cmd_write(Session& session, ArgList args) {
    const Result<WriteArgs> w = parse_write_args(args);
    if (!w) return usage_error(session, w.reason());
    if (!session.device()) return session.finish(kExitUsage);
    const std::string room = w->offset ? "the " + std::to_string(kFlashSize - w->offset) +
                                             " bytes from " + hex_address(w->offset) +
                                             " to the chip's end"
                                       : "the chip's " + std::to_string(kFlashSize);
    const Result<Bytes> image = load_image(w->image, {kFlashSize - w->offset, w->truncate, room});
    if (!image) return session.finish(session.fail(image.status()));
    if (w->backup) {
        if (const Status fits = output_room(*w->backup, kFlashSize); !fits.ok())
            return session.finish(session.fail(fits));
    }
    session.json()
        .add("image", w->image)
        .add("image_bytes", static_cast<std::int64_t>(image->size()))
        .add("image_sha256", sha256_hex(*image));
    if (w->offset) session.json().add("offset", static_cast<std::int64_t>(w->offset));
    if (const int c = session.connect()) return session.finish(c);

    Bytes chip;
    if (w->backup || w->keep_rest) {
        int code = kExitOk;
        run_flash_worker([&] { code = read_before_erase(session, chip); });
        if (code != kExitOk) return session.finish(code);
        if (w->backup) {
            if (const Status saved = save_file(*w->backup, chip, "nothing erased"); !saved.ok())
                return session.finish(session.fail(saved));
        }
        if (w->backup)
            session.json().add("backup", *w->backup).add("backup_sha256", sha256_hex(chip));
    }
    const Bytes merged = merged_image(*w, *image, std::move(chip));
    ImageWriteResult r;
    run_flash_worker([&] { r = write_image(merged, w->options, session.hooks()); });
    session.count_bytes(static_cast<std::uint64_t>(r.pages_programmed + r.pages_verified) *
                        kPageSize);
    session.set_stage_pages(FlashStage::Program, r.pages_programmed);
    session.set_stage_pages(FlashStage::Verify, r.pages_verified);
    put_result(session, r);
    if (const WriteFailure failed = write_failure(r); failed.code != kExitOk) {
        const int code = session.fail(failed.code, failed.text);
        if (r.outcome != ImageWrite::Stopped)
            std::fprintf(session.io().err, "the device: %s\n", r.device_state.c_str());
        return session.finish(code);
    }
    session.say("wrote " + w->image + " (" + std::to_string(image->size()) + " bytes" +
                (w->offset ? " at " + hex_address(w->offset) : std::string()) +
                (w->keep_rest ? ", the rest of the chip kept" : std::string()) + ", " +
                std::to_string(r.image_pages) +
                " pages): " + (r.resumed ? "resumed without erase" : "erased") + ", " +
                std::to_string(r.pages_programmed) + " programmed, " +
                std::to_string(r.pages_skipped) + " skipped, " + std::to_string(r.pages_verified) +
                " verified" +
                (w->backup ? "; the chip as it was is in " + *w->backup : std::string()));
    return session.finish(kExitOk);
}

}  // namespace kestrel::cli
