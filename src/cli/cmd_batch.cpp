// batch (the parent) and unit (one child per device): the production line.
#include <algorithm>
#include <mutex>
#include <vector>

#include "cli/batch_outputs.h"
#include "cli/batch_plan.h"
#include "cli/batch_runner.h"
#include "cli/command_table.h"
#include "cli/commands.h"
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

// Every output of the run against every input and each other, the report's own shape and the
// MAC state file: empty when the run may start, else why not.
std::string check_batch_files(const std::string& plan_path, const std::vector<UnitPlan>& units,
                              const BatchOptions& options) {
    std::vector<NamedPath> inputs = {{"the plan", plan_path}};
    std::vector<NamedPath> outputs = {{"the report", options.report},
                                      {"the CSV summary", summary_path(options.report)}};
    bool auto_mac = false;
    for (const auto& u : units) {
        const std::string line = " of line " + std::to_string(u.line);
        if (!u.image.empty()) inputs.push_back({"the image" + line, u.image});
        outputs.push_back({"the log" + line, unit_log_path(options, u)});
        auto_mac = auto_mac || u.mac == "auto";
    }
    if (auto_mac) {
        outputs.push_back({"the MAC state file", options.mac_state});
        outputs.push_back({"the MAC state lock", mac_lock_path(options.mac_state)});
    }
    if (std::string clash = find_path_clash(inputs, outputs); !clash.empty()) return clash;
    if (std::string odd = find_odd_output(outputs); !odd.empty()) return odd;
    if (std::string refusal = report_refusal(options.report); !refusal.empty()) return refusal;
    return auto_mac ? check_mac_state(options.mac_state, *options.mac_range) : std::string();
}

}  // namespace

int cmd_batch(Session& session, ArgList args, const CliStreams& io) {
    BatchOptions options;
    const bool check_only = args.flag("--check");
    const auto jobs = args.value("-j");
    const auto report = args.value("--report");
    const auto range = args.value("--mac-range");
    const auto state = args.value("--mac-state");
    if (const auto& missing = args.missing_value()) {
        return usage_error(
            session, "batch: " + *missing + " takes a value (for example: batch plan.csv -j 4)");
    }
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, unknown_option("batch", *bad, "batch plan.csv -j 4"));
    }
    const auto files = args.positionals();
    if (files.size() != 1)
        return usage_error(session, "batch takes one PLAN (for example: batch plan.csv)");
    if (jobs) {
        options.jobs = static_cast<int>(parse_decimal(*jobs, 3, 999).value_or(0));
        if (options.jobs < 1 || options.jobs > kDefaultMaxJobs) {
            return usage_error(session, "batch: -j takes 1 to " + std::to_string(kDefaultMaxJobs) +
                                            " (for example -j 8)");
        }
    }
    if (report) options.report = *report;
    if (state) options.mac_state = *state;
    if (range) {
        const MacRangeCheck check = check_mac_range(*range);
        if (!check.range) return usage_error(session, "batch: --mac-range: " + check.error);
        options.mac_range = check.range;
    }
    const PlanParse plan = parse_plan(files[0], options.mac_range.has_value());
    if (!plan.errors.empty()) {
        for (const auto& e : plan.errors)
            std::fprintf(io.err, "%s\n", e.c_str());
        return session.finish(session.fail(
            kExitUsage,
            std::to_string(plan.errors.size()) + " problem(s) in the plan; nothing was run"));
    }
    session.json().add("plan", files[0]).add("units", static_cast<int>(plan.units.size()));
    if (check_only) {
        session.say(files[0] + ": " + std::to_string(plan.units.size()) + " units, valid");
        return session.finish(kExitOk);
    }
    if (const std::string why = check_batch_files(files[0], plan.units, options); !why.empty()) {
        return session.finish(session.fail(kExitUsage, why + "; nothing was run"));
    }
    const BatchOutcome outcome = run_batch(plan.units, options, io);
    if (!outcome.error.empty()) return session.finish(session.fail(kExitFile, outcome.error));
    std::string failed;
    for (const auto& label : outcome.failed)
        failed += (failed.empty() ? "" : ", ") + label;
    session.json()
        .add("ok_units", outcome.ok)
        .add("failed_units", failed)
        .add("report", options.report);
    session.say(std::to_string(outcome.units) + " units: " + std::to_string(outcome.ok) + " ok, " +
                std::to_string(outcome.failed.size()) + " failed" +
                (failed.empty() ? "" : " (" + failed + ")") + "; report " + options.report +
                ", summary " + summary_path(options.report));
    if (outcome.interrupted)
        return session.finish(
            session.fail(kExitInterrupted, "interrupted; units not started were left alone"));
    if (!outcome.failed.empty())
        return session.finish(session.fail(kExitDiffers, "failed: " + failed));
    return session.finish(kExitOk);
}

// One unit's steps in order: info; write with verify; MAC, TS port, multicast; the new IP;
// reset. Stops at the first step that fails.
int cmd_unit(Session& session, ArgList args) {
    const auto label = args.value("--label");
    const auto image_path = args.value("--image");
    const auto mac = args.value("--mac");
    const auto ts_port = args.value("--ts-port");
    const auto multicast = args.value("--multicast");
    const auto multicast_ip = args.value("--multicast-ip");
    const auto new_ip = args.value("--new-ip");
    const bool reset = args.flag("--reset");
    if (args.missing_value() || args.unknown_flag() || !args.positionals().empty()) {
        return usage_error(session, "unit: bad arguments (kestrelctl batch runs this command)");
    }
    std::vector<Setting> settings;
    std::string error;
    const auto want = [&](const char* what, const std::optional<std::string>& value) {
        if (!value || !error.empty()) return;
        if (auto s = parse_setting(what, *value, error)) settings.push_back(*s);
    };
    want("mac", mac);
    want("ts-port", ts_port);
    want("multicast-ip", multicast_ip);
    want("multicast", multicast);
    want("ip", new_ip);
    if (!error.empty()) return usage_error(session, error);
    if (label) session.json().add("label", *label);
    std::vector<std::uint8_t> image;
    if (image_path) {
        if (load_update_image(*image_path, image) != ImageLoad::Ok) {
            return session.finish(
                session.fail(kExitFile, "can't read the image \"" + *image_path + "\""));
        }
        session.json().add("image_sha256", sha256_hex(image));
    }
    session.progress().step("info");
    if (const int c = session.connect()) return session.finish(c);
    device::DeviceConfig before;
    if (const int c = read_config(session, before)) return session.finish(c);
    const std::string mac_before = before.mac ? mac_string(*before.mac) : "";
    session.json().add("mac_before", mac_before);
    const auto finish_with_mac = [&](int code, const std::string& mac_now) {
        session.json().add("mac", mac_now);
        return session.finish(code);
    };
    FlashId id{};
    bool chip_ok = false;
    {
        std::lock_guard<std::recursive_mutex> hold(link_lock());
        chip_ok = check_flash_id(id);
    }
    session.json().add("flash_id", flash_id_text(id));
    if (!chip_ok) {
        return finish_with_mac(
            session.fail(kExitFlashChip, "flash chip " + flash_id_text(id) + ", expected c22016"),
            mac_before);
    }

    if (image_path) {
        ImageWriteResult r;
        run_flash_worker([&] { r = write_image(image, ImageWriteOptions{}, session.hooks()); });
        session.count_bytes(static_cast<std::uint64_t>(r.pages_programmed + r.pages_verified) *
                            kPageSize);
        session.json()
            .add("pages_programmed", r.pages_programmed)
            .add("pages_verified", r.pages_verified)
            .add("device_state", r.device_state);
        if (r.outcome != ImageWrite::Ok) {
            const int code =
                r.outcome == ImageWrite::WrongChip || r.outcome == ImageWrite::EraseTimedOut
                    ? kExitFlashChip
                : r.outcome == ImageWrite::VerifyDiffers ? kExitDiffers
                : r.outcome == ImageWrite::Stopped       ? kExitInterrupted
                                                         : kExitLink;
            const std::string why =
                r.outcome == ImageWrite::WrongChip
                    ? "flash chip " + flash_id_text(r.chip_id) + ", expected c22016"
                    : "write failed; the device: " + r.device_state;
            return finish_with_mac(session.fail(code, why), mac_before);
        }
    }
    for (const auto& s : settings) {
        static const char* names[] = {"ip", "mac", "ts-port", "multicast", "multicast-ip"};
        session.progress().step(names[static_cast<int>(s.kind)]);
        if (const int c = apply_setting(session, s)) return finish_with_mac(c, mac_before);
    }
    device::DeviceConfig after;
    if (const int c = read_config(session, after)) return finish_with_mac(c, mac_before);
    const std::string mac_after = after.mac ? mac_string(*after.mac) : "";
    if (reset) {
        session.progress().step("reset");
        LinkWatch watch;
        (void)reset_device(RegisterWord{});
        if (!watch.clean())
            return finish_with_mac(
                session.fail(kExitLink, "the reset command was not acknowledged"), mac_after);
    }
    return finish_with_mac(kExitOk, mac_after);
}

}  // namespace kestrel::cli
