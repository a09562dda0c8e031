// unit: one device's steps of a batch, run as the batch's child: info; write with verify; MAC,
// TS port, multicast; the new IP; reset. Stops at the first step that fails.
#include <mutex>
#include <optional>
#include <vector>

#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/commands/write_failure.h"
#include "cli/exit_codes.h"
#include "cli/settings_step.h"
#include "cli/sha256.h"
#include "flash/core/flash_id.h"
#include "flash/core/flash_worker.h"
#include "flash/core/image_write.h"
#include "flash/core/update_image.h"
#include "link/mailbox.h"

namespace kestrel::cli {
namespace {

struct UnitArgs {
    std::optional<std::string> label;
    std::optional<std::string> image_path;
    bool reset = false;
    std::vector<Setting> settings;  // in the order they are applied
};

// The unit's options, or the usage error (the batch builds them, so a person rarely sees it).
Result<UnitArgs> parse_unit_args(ArgList& args) {
    UnitArgs unit;
    unit.label = args.value("--label");
    unit.image_path = args.value("--image");
    const auto mac = args.value("--mac");
    const auto ts_port = args.value("--ts-port");
    const auto multicast = args.value("--multicast");
    const auto multicast_ip = args.value("--multicast-ip");
    const auto new_ip = args.value("--new-ip");
    unit.reset = args.flag("--reset");
    if (args.missing_value() || args.unknown_flag() || !args.positionals().empty()) {
        return Status::failure(StatusCode::BadInput,
                               "unit: bad arguments (kestrelctl batch runs this command)");
    }
    const std::pair<const char*, const std::optional<std::string>&> wanted[] = {
        {"mac", mac},
        {"ts-port", ts_port},
        {"multicast-ip", multicast_ip},
        {"multicast", multicast},
        {"ip", new_ip}};
    for (const auto& [what, value] : wanted) {
        if (!value) continue;
        Result<Setting> setting = parse_setting(what, *value);
        if (!setting) return setting.status();
        unit.settings.push_back(std::move(setting).value());
    }
    return unit;
}

// kExitOk when the chip is the expected one, else the failure recorded.
int check_unit_chip(Session& session) {
    FlashId id{};
    bool chip_ok = false;
    {
        std::lock_guard<std::recursive_mutex> hold(link_lock());
        chip_ok = check_flash_id(id);
    }
    session.json().add("flash_id", flash_id_text(id));
    return chip_ok ? kExitOk : session.fail(kExitFlashChip, wrong_chip_text(id));
}

// Writes and verifies the image; kExitOk, or the failure recorded.
int write_unit_image(Session& session, const std::vector<std::uint8_t>& image) {
    ImageWriteResult r;
    run_flash_worker([&] { r = write_image(image, ImageWriteOptions{}, session.hooks()); });
    session.count_bytes(static_cast<std::uint64_t>(r.pages_programmed + r.pages_verified) *
                        kPageSize);
    session.json()
        .add("pages_programmed", r.pages_programmed)
        .add("pages_verified", r.pages_verified)
        .add("device_state", r.device_state);
    if (r.outcome == ImageWrite::Ok) return kExitOk;
    const std::string why = r.outcome == ImageWrite::WrongChip
                                ? wrong_chip_text(r.chip_id)
                                : "write failed; the device: " + r.device_state;
    return session.fail(write_failure(r).code, why);
}

int apply_unit_settings(Session& session, const std::vector<Setting>& settings) {
    for (const auto& s : settings) {
        session.progress().step(setting_name(s.kind));
        if (const int c = apply_setting(session, s)) return c;
    }
    return kExitOk;
}

int reset_unit(Session& session) {
    session.progress().step("reset");
    LinkWatch watch;
    (void)reset_device(RegisterWord{});
    return watch.clean() ? kExitOk
                         : session.fail(kExitLink, "the reset command was not acknowledged");
}

std::string mac_of(const device::DeviceConfig& config) {
    return config.mac ? device::mac_text(*config.mac) : "";
}

}  // namespace

int cmd_unit(Session& session, ArgList args) {
    const Result<UnitArgs> parsed = parse_unit_args(args);
    if (!parsed) return usage_error(session, parsed.reason());
    const UnitArgs& unit = *parsed;
    if (unit.label) session.json().add("label", *unit.label);
    std::vector<std::uint8_t> image;
    if (unit.image_path) {
        if (load_update_image(*unit.image_path, image) != ImageLoad::Ok) {
            return session.finish(
                session.fail(kExitFile, "can't read the image \"" + *unit.image_path + "\""));
        }
        session.json().add("image_sha256", sha256_hex(image));
    }
    session.progress().step("info");
    if (const int c = session.connect()) return session.finish(c);
    device::DeviceConfig before;
    if (const int c = read_config(session, before)) return session.finish(c);
    session.json().add("mac_before", mac_of(before));
    const auto finish_with_mac = [&](int code, const std::string& mac_now) {
        session.json().add("mac", mac_now);
        return session.finish(code);
    };
    if (const int c = check_unit_chip(session)) return finish_with_mac(c, mac_of(before));
    if (unit.image_path) {
        if (const int c = write_unit_image(session, image))
            return finish_with_mac(c, mac_of(before));
    }
    if (const int c = apply_unit_settings(session, unit.settings))
        return finish_with_mac(c, mac_of(before));
    device::DeviceConfig after;
    if (const int c = read_config(session, after)) return finish_with_mac(c, mac_of(before));
    if (unit.reset) {
        if (const int c = reset_unit(session)) return finish_with_mac(c, mac_of(after));
    }
    return finish_with_mac(kExitOk, mac_of(after));
}

}  // namespace kestrel::cli
