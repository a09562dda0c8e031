// batch: the production line's parent; each unit runs as a child (unit.cpp).
#include <cstdio>
#include <utility>
#include <vector>

#include "cli/batch_outputs.h"
#include "cli/batch_plan.h"
#include "cli/batch_runner.h"
#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/exit_codes.h"

namespace kestrel::cli {
namespace {

// Every output of the run against every input and each other, the report's own shape and the
// MAC state file: ok when the run may start.
Status check_batch_files(const std::string& plan_path, const std::vector<UnitPlan>& units,
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
    if (Status clash = find_path_clash(inputs, outputs); !clash.ok()) return clash;
    if (Status odd = find_odd_output(outputs); !odd.ok()) return odd;
    if (Status report = check_report(options.report); !report.ok()) return report;
    return auto_mac ? check_mac_state(options.mac_state, *options.mac_range) : Status();
}

struct BatchArgs {
    BatchOptions options;
    bool check_only = false;
    std::string plan_path;
};

// The batch's options and its one PLAN, or the usage error.
Result<BatchArgs> parse_batch_args(ArgList& args) {
    BatchArgs out;
    BatchOptions& options = out.options;
    const auto fail = [](std::string why) {
        return Status::failure(StatusCode::BadInput, std::move(why));
    };
    out.check_only = args.flag("--check");
    const auto jobs = args.value("-j");
    const auto report = args.value("--report");
    const auto range = args.value("--mac-range");
    const auto state = args.value("--mac-state");
    if (const auto& missing = args.missing_value())
        return fail("batch: " + *missing + " takes a value (for example: batch plan.csv -j 4)");
    if (const auto bad = args.unknown_flag())
        return fail(unknown_option("batch", *bad, "batch plan.csv -j 4"));
    const auto files = args.positionals();
    if (files.size() != 1) return fail("batch takes one PLAN (for example: batch plan.csv)");
    out.plan_path = files[0];
    if (jobs) {
        options.jobs = static_cast<int>(parse_decimal(*jobs, 3, 999).value_or(0));
        if (options.jobs < 1 || options.jobs > kDefaultMaxJobs) {
            return fail("batch: -j takes 1 to " + std::to_string(kDefaultMaxJobs) +
                        " (for example -j 8)");
        }
    }
    if (report) options.report = *report;
    if (state) options.mac_state = *state;
    if (range) {
        const Result<MacRange> checked = check_mac_range(*range);
        if (!checked) return fail("batch: --mac-range: " + checked.reason());
        options.mac_range = *checked;
    }
    return out;
}

// "N units: K ok, F failed (labels); report R, summary S", and the run's exit code.
int report_outcome(Session& session, const BatchOutcome& outcome, const BatchOptions& options) {
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

}  // namespace

int cmd_batch(Session& session, ArgList args, const CliStreams& io) {
    const Result<BatchArgs> args_parsed = parse_batch_args(args);
    if (!args_parsed) return usage_error(session, args_parsed.reason());
    const BatchArgs& parsed = *args_parsed;
    const BatchOptions& options = parsed.options;
    const std::string& plan_path = parsed.plan_path;
    const PlanParse plan = parse_plan(plan_path, options.mac_range.has_value());
    if (!plan.errors.empty()) {
        for (const auto& e : plan.errors)
            std::fprintf(io.err, "%s\n", e.c_str());
        return session.finish(session.fail(
            kExitUsage,
            std::to_string(plan.errors.size()) + " problem(s) in the plan; nothing was run"));
    }
    session.json().add("plan", plan_path).add("units", static_cast<int>(plan.units.size()));
    if (parsed.check_only) {
        session.say(plan_path + ": " + std::to_string(plan.units.size()) + " units, valid");
        return session.finish(kExitOk);
    }
    // Any output that can't be used is a usage error: nothing has been sent yet.
    if (const Status files = check_batch_files(plan_path, plan.units, options); !files.ok()) {
        return session.finish(session.fail(kExitUsage, files.reason() + "; nothing was run"));
    }
    const Result<BatchOutcome> outcome = run_batch(plan.units, options, io);
    if (!outcome) return session.finish(session.fail(kExitFile, outcome.reason()));
    return report_outcome(session, *outcome, options);
}

}  // namespace kestrel::cli
