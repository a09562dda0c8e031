#include "soak_plan.h"

#include "sim/fault_options.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace kestrel::soak {
namespace {

bool parse_probability(const std::string& text, double& out) {
    char* end = nullptr;
    const double p = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(p >= 0 && p <= 1)) return false;
    out = p;
    return true;
}

bool parse_count(const std::string& text, long min, long max, long& out) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < min || n > max) return false;
    out = n;
    return true;
}

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

const char* kind_name(RunKind kind) {
    return kind == RunKind::Read ? "read" : "write";
}

}  // namespace

const char* const kSoakUsage = R"(usage: kestrel-soak [options]

Runs full flash reads and writes through the core procedures against kestrel-devsim processes
(each with its own --flash-file) under a mix of link faults, and prints one line per run:
  run N read|write exact|failed "<message>"|FALSE SUCCESS <seconds> s
then a summary. "exact": the procedure reported success and the dump equals the device's flash
file (read), or the device's flash file equals the image (write). Exits 1 on any false success.
The 13 s erase pause and the erase wait's sleeps are counted, not slept.

  --runs N           N reads and N writes (default 20 each)
  --reads N          reads only this many   --writes N   writes only this many
  --pages N          pages of 256 bytes per run (default 16384, the whole chip)
  --jobs N           runs at a time, each with its own simulator (default 1)
  --seed N           first run's fault seed; run k uses seed + k (default 1)
  --rate P           lost requests and replies, NAKs, late and duplicated replies and
                     duplicated requests, each at P (default 0.001)
  --lose-request P  --lose-reply P  --nak P  --late-reply P  --dup-reply P  --dup-request P
  --other-port-reply P  --foreign P
                     one kind at P
  --late-ms MIN-MAX  late reply delays, drawn uniformly (default 60-1000)
  --late-next P      share of late replies released by the next request (default 0.5)
  --dup-gap-us N     gap of a duplicate (default 200)
  --reply-delay-us N the device's service time on every reply (default 0)
  --reply-jitter P MAX_MS   a share P of replies held up to MAX_MS ms, in order (not a fault)
  --link-delay-us N  the network's delay each way  --rx-queue N  the device's receive queue
                     (these four apply to the clean runs too; see kestrel-devsim --help)
  --load N           N busy threads spin beside the runs for the whole soak (default 0)
  --no-baseline      no clean read and write first (no time lost per fault)
  --blank            the faulty runs' chips start erased (all FFh) instead of random
  --window N|auto    keep up to N page-read requests in flight (as kestrelctl --window)
  --log-dir DIR      keep each run's simulator exchange log and tool trace in DIR
  --quick            2 reads and 2 writes of 512 pages, then a clean read of a blank chip
                     under --load 2 (unless --load is given), for CI
  --help             this text
)";

FaultMix soak_fault_mix() {
    FaultMix f;
    f.lose_request = f.lose_reply = f.nak = f.late_reply = f.dup_reply = f.dup_request = 0.001;
    f.late_next = 0.5;
    f.late_reply_ms = 60;
    f.late_reply_max_ms = 1000;
    f.dup_gap_us = 200;
    return f;
}

namespace {

// The soak's own options; false when `arg` is not one of them. Sets parsed.error on a bad value.
bool soak_option(const std::vector<std::string>& args, std::size_t& i, Parsed& parsed) {
    const std::string& arg = args[i];
    SoakOptions& o = parsed.options;
    const bool has_value = i + 1 < args.size();
    auto fail = [&](const std::string& why) {
        parsed.error = arg + ": " + why;
        return true;
    };
    auto number = [&](long min, long max, long& out) {
        if (!has_value || !parse_count(args[i + 1], min, max, out)) return false;
        ++i;
        return true;
    };
    long n = 0;
    if (arg == "--help" || arg == "-h") {
        parsed.help = true;
    } else if (arg == "--quick") {
        o.reads = o.writes = 2;
        o.pages = 512;
        o.quick = true;
    } else if (arg == "--blank") {
        o.blank = true;
    } else if (arg == "--window") {
        const auto w = has_value ? parse_window_setting(args[i + 1]) : std::nullopt;
        if (!w) return fail("takes a count from 1 to 64 or auto");
        o.window = *w;
        ++i;
    } else if (arg == "--no-baseline") {
        o.baseline = false;
    } else if (arg == "--log-dir") {
        if (!has_value) return fail("--log-dir needs a directory");
        o.log_dir = args[++i];
    } else if (arg == "--runs" || arg == "--reads" || arg == "--writes") {
        if (!number(0, 100000, n)) return fail("takes a count");
        if (arg != "--writes") o.reads = static_cast<int>(n);
        if (arg != "--reads") o.writes = static_cast<int>(n);
    } else if (arg == "--pages") {
        if (!number(1, 16384, n)) return fail("takes 1 to 16384");
        o.pages = static_cast<int>(n);
    } else if (arg == "--jobs") {
        if (!number(1, 64, n)) return fail("takes 1 to 64");
        o.jobs = static_cast<int>(n);
    } else if (arg == "--load") {
        if (!number(0, 64, n)) return fail("takes 0 to 64 threads");
        o.load = static_cast<int>(n);
        o.load_given = true;
    } else if (arg == "--seed") {
        if (!number(0, 1L << 62, n)) return fail("takes a number");
        o.seed = static_cast<std::uint64_t>(n);
    } else if (arg == "--rate") {
        double p = 0;
        if (!has_value || !parse_probability(args[i + 1], p))
            return fail("takes a probability between 0 and 1");
        ++i;
        FaultMix& f = o.faults;
        f.lose_request = f.lose_reply = f.nak = f.late_reply = f.dup_reply = f.dup_request = p;
    } else if (arg == "--late-ms" && (!has_value || args[i + 1].find('-') == std::string::npos)) {
        return fail("takes MIN-MAX, MIN <= MAX");  // a soak draws its late delays from a range
    } else {
        return false;
    }
    return true;
}

}  // namespace

Parsed parse_soak_args(const std::vector<std::string>& args) {
    Parsed parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (soak_option(args, i, parsed)) {
            if (parsed.help || !parsed.error.empty()) return parsed;
            continue;
        }
        const sim::OptionMatch match = sim::offer_link_option(args, i, parsed.options.faults);
        if (match.kind == sim::OptionMatch::Kind::NotMine) {
            parsed.error = "unknown option " + args[i];
            return parsed;
        }
        if (match.kind == sim::OptionMatch::Kind::Bad) {
            parsed.error = match.error;
            return parsed;
        }
    }
    return parsed;
}

std::string devsim_fault_args(const FaultMix& f, std::uint64_t seed) {
    FaultMix seeded = f;
    seeded.seed = seed;
    std::string args = sim::fault_args(seeded);
    const std::string timing = sim::timing_args(f);
    if (!timing.empty()) args += " " + timing;
    return args;
}

std::string devsim_timing_args(const FaultMix& f) {
    return sim::timing_args(f);
}

Verdict verdict_of(bool reported_success, bool bytes_equal) {
    if (!reported_success) return Verdict::Failed;
    return bytes_equal ? Verdict::Exact : Verdict::FalseSuccess;
}

std::string exchanges_text(const RunResult& run) {
    if (run.exchanges == 0 || run.pages <= 0) return {};
    return ' ' + std::to_string(run.exchanges) + " exchanges (" +
           fixed(static_cast<double>(run.exchanges) / run.pages, 1) + " a page)";
}

std::string run_line(int number, const RunResult& run) {
    std::string line = "run " + std::to_string(number) + ' ' + kind_name(run.kind) + ' ';
    if (!run.error.empty()) {
        line += "failed \"could not run: " + run.error + "\"";
    } else {
        switch (verdict_of(run.reported_success, run.bytes_equal)) {
            case Verdict::Exact:
                line += "exact";
                break;
            case Verdict::Failed:
                line += "failed \"" + run.message + "\"";
                break;
            case Verdict::FalseSuccess:
                line += "FALSE SUCCESS";
                break;
        }
    }
    line += ' ' + fixed(run.seconds, 2) + " s" + exchanges_text(run) + "  (" +
            std::to_string(run.faults) + " faults injected, seed " + std::to_string(run.seed) + ")";
    if (run.error.empty() &&
        verdict_of(run.reported_success, run.bytes_equal) == Verdict::FalseSuccess &&
        !run.message.empty()) {
        line += "  " + run.message;
    }
    return line;
}

Totals count(const std::vector<RunResult>& runs) {
    Totals t;
    for (const RunResult& r : runs) {
        ++t.runs;
        if (!r.error.empty()) {
            ++t.errors;
            ++t.failed;
            continue;
        }
        switch (verdict_of(r.reported_success, r.bytes_equal)) {
            case Verdict::Exact:
                ++t.exact;
                break;
            case Verdict::Failed:
                ++t.failed;
                break;
            case Verdict::FalseSuccess:
                ++t.false_successes;
                break;
        }
    }
    return t;
}

std::optional<double> ms_lost_per_fault(const std::vector<RunResult>& runs, RunKind kind,
                                        double clean_seconds) {
    double seconds = 0, faults = 0;
    int n = 0;
    for (const RunResult& r : runs) {
        if (r.kind != kind || !r.error.empty() ||
            verdict_of(r.reported_success, r.bytes_equal) != Verdict::Exact) {
            continue;
        }
        seconds += r.seconds;
        faults += static_cast<double>(r.faults);
        ++n;
    }
    if (n == 0 || faults == 0) return std::nullopt;
    return (seconds / n - clean_seconds) * 1000.0 / (faults / n);
}

std::string summary_line(const std::vector<RunResult>& runs, std::optional<double> clean_read_s,
                         std::optional<double> clean_write_s) {
    const Totals t = count(runs);
    double sum[2] = {0, 0};
    int n[2] = {0, 0};
    for (const RunResult& r : runs) {
        const int k = r.kind == RunKind::Read ? 0 : 1;
        sum[k] += r.seconds;
        ++n[k];
    }
    std::string line = "summary runs " + std::to_string(t.runs) + " exact " +
                       std::to_string(t.exact) + " failed " + std::to_string(t.failed) +
                       " false-successes " + std::to_string(t.false_successes);
    if (t.errors) line += " (" + std::to_string(t.errors) + " could not run)";
    const double all = n[0] + n[1] > 0 ? (sum[0] + sum[1]) / (n[0] + n[1]) : 0;
    line += " mean " + fixed(all, 2) + " s";
    for (int k = 0; k < 2; ++k) {
        if (n[k] == 0) continue;
        const RunKind kind = k == 0 ? RunKind::Read : RunKind::Write;
        const std::optional<double> clean = k == 0 ? clean_read_s : clean_write_s;
        line += std::string("; ") + kind_name(kind) + " mean " + fixed(sum[k] / n[k], 2) + " s";
        if (!clean) continue;
        line += " (clean " + fixed(*clean, 2) + " s";
        if (const auto lost = ms_lost_per_fault(runs, kind, *clean)) {
            line += ", " + fixed(*lost, 1) + " ms lost per fault";
        }
        line += ")";
    }
    return line;
}

std::string encode_result(const RunResult& r) {
    auto one_field = [](std::string text) {
        for (char& c : text) {
            if (c == '\t' || c == '\n' || c == '\r') c = ' ';
        }
        return text;
    };
    std::ostringstream out;
    out << (r.kind == RunKind::Read ? 'r' : 'w') << ' ' << r.reported_success << ' '
        << r.bytes_equal << ' ' << fixed(r.seconds, 6) << ' ' << r.faults << ' ' << r.seed << ' '
        << r.exchanges << ' ' << r.pages << '\t' << one_field(r.message) << '\t'
        << one_field(r.error);
    return out.str();
}

std::optional<RunResult> decode_result(const std::string& line) {
    RunResult r;
    char kind = 0;
    int success = 0, equal = 0;
    unsigned long long faults = 0, seed = 0, exchanges = 0;
    if (std::sscanf(line.c_str(), "%c %d %d %lf %llu %llu %llu %d", &kind, &success, &equal,
                    &r.seconds, &faults, &seed, &exchanges, &r.pages) != 8 ||
        (kind != 'r' && kind != 'w')) {
        return std::nullopt;
    }
    const auto tab1 = line.find('\t');
    const auto tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos) return std::nullopt;
    r.kind = kind == 'r' ? RunKind::Read : RunKind::Write;
    r.reported_success = success != 0;
    r.bytes_equal = equal != 0;
    r.faults = faults;
    r.seed = seed;
    r.exchanges = exchanges;
    r.message = line.substr(tab1 + 1, tab2 - tab1 - 1);
    r.error = line.substr(tab2 + 1);
    while (!r.error.empty() && (r.error.back() == '\n' || r.error.back() == '\r'))
        r.error.pop_back();
    return r;
}

}  // namespace kestrel::soak
