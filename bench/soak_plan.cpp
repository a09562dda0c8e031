#include "soak_plan.h"

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
  --rate P           lost requests, lost replies, NAKs, late and duplicated replies, each
                     at P (default 0.001)
  --lose-request P  --lose-reply P  --nak P  --late-reply P  --dup-reply P  --dup-request P
                     one kind at P (duplicated requests are off unless given)
  --late-ms MIN-MAX  late reply delays, drawn uniformly (default 60-1000)
  --late-next P      share of late replies released by the next request (default 0.5)
  --dup-gap-us N     gap of a duplicate (default 200)
  --reply-delay-us N the device's service latency on every reply (default 0)
  --no-baseline      no clean read and write first (no time lost per fault)
  --log-dir DIR      keep each run's simulator exchange log and tool trace in DIR
  --quick            2 reads and 2 writes of 512 pages, for CI
  --help             this text
)";

Parsed parse_soak_args(const std::vector<std::string>& args) {
    Parsed parsed;
    SoakOptions& o = parsed.options;
    FaultMix& f = o.faults;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto fail = [&](const std::string& why) {
            parsed.error = arg + ": " + why;
            return parsed;
        };
        const bool has_value = i + 1 < args.size();
        const std::string value = has_value ? args[i + 1] : std::string();
        auto probability = [&](double& out) {
            if (!has_value || !parse_probability(value, out)) return false;
            ++i;
            return true;
        };
        auto number = [&](long min, long max, long& out) {
            if (!has_value || !parse_count(value, min, max, out)) return false;
            ++i;
            return true;
        };
        long n = 0;
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            return parsed;
        } else if (arg == "--quick") {
            o.reads = o.writes = 2;
            o.pages = 512;
        } else if (arg == "--no-baseline") {
            o.baseline = false;
        } else if (arg == "--log-dir") {
            if (i + 1 >= args.size()) return fail("--log-dir needs a directory");
            o.log_dir = args[++i];
        } else if (arg == "--runs") {
            if (!number(0, 100000, n)) return fail("takes a count");
            o.reads = o.writes = static_cast<int>(n);
        } else if (arg == "--reads") {
            if (!number(0, 100000, n)) return fail("takes a count");
            o.reads = static_cast<int>(n);
        } else if (arg == "--writes") {
            if (!number(0, 100000, n)) return fail("takes a count");
            o.writes = static_cast<int>(n);
        } else if (arg == "--pages") {
            if (!number(1, 16384, n)) return fail("takes 1 to 16384");
            o.pages = static_cast<int>(n);
        } else if (arg == "--jobs") {
            if (!number(1, 64, n)) return fail("takes 1 to 64");
            o.jobs = static_cast<int>(n);
        } else if (arg == "--seed") {
            if (!number(0, 1L << 62, n)) return fail("takes a number");
            o.seed = static_cast<std::uint64_t>(n);
        } else if (arg == "--rate") {
            double p = 0;
            if (!probability(p)) return fail("takes a probability between 0 and 1");
            f.lose_request = f.lose_reply = f.nak = f.late_reply = f.dup_reply = p;
        } else if (arg == "--lose-request") {
            if (!probability(f.lose_request)) return fail("takes a probability between 0 and 1");
        } else if (arg == "--lose-reply") {
            if (!probability(f.lose_reply)) return fail("takes a probability between 0 and 1");
        } else if (arg == "--nak") {
            if (!probability(f.nak)) return fail("takes a probability between 0 and 1");
        } else if (arg == "--late-reply") {
            if (!probability(f.late_reply)) return fail("takes a probability between 0 and 1");
        } else if (arg == "--dup-reply") {
            if (!probability(f.dup_reply)) return fail("takes a probability between 0 and 1");
        } else if (arg == "--dup-request") {
            if (!probability(f.dup_request)) return fail("takes a probability between 0 and 1");
        } else if (arg == "--late-next") {
            if (!probability(f.late_next)) return fail("takes a probability between 0 and 1");
        } else if (arg == "--late-ms") {
            unsigned low = 0, high = 0;
            char tail = 0;
            if (!has_value || std::sscanf(value.c_str(), "%u-%u%c", &low, &high, &tail) != 2 ||
                low > high || value[0] < '0' || value[0] > '9') {
                return fail("takes MIN-MAX, MIN <= MAX");
            }
            ++i;
            f.late_min_ms = low;
            f.late_max_ms = high;
        } else if (arg == "--dup-gap-us") {
            if (!number(0, 10000000, n)) return fail("takes microseconds");
            f.dup_gap_us = static_cast<std::uint32_t>(n);
        } else if (arg == "--reply-delay-us") {
            if (!number(0, 10000000, n)) return fail("takes microseconds");
            f.reply_delay_us = static_cast<std::uint32_t>(n);
        } else {
            parsed.error = "unknown option " + arg;
            return parsed;
        }
    }
    return parsed;
}

std::string devsim_fault_args(const FaultMix& f, std::uint64_t seed) {
    std::ostringstream out;
    out << "--seed " << seed;
    const std::pair<const char*, double> kinds[] = {
        {"--lose-request", f.lose_request},
        {"--lose-reply", f.lose_reply},
        {"--nak", f.nak},
        {"--late-reply", f.late_reply},
        {"--dup-reply", f.dup_reply},
        {"--dup-request", f.dup_request},
    };
    for (const auto& [option, p] : kinds) {
        if (p > 0) out << ' ' << option << ' ' << fixed(p, 6);
    }
    if (f.late_reply > 0) {
        out << " --late-ms " << f.late_min_ms << '-' << f.late_max_ms;
        if (f.late_next > 0) out << " --late-next " << fixed(f.late_next, 6);
    }
    if (f.dup_reply > 0 || f.dup_request > 0) out << " --dup-gap-us " << f.dup_gap_us;
    if (f.reply_delay_us > 0) out << " --reply-delay-us " << f.reply_delay_us;
    return out.str();
}

Verdict verdict_of(bool reported_success, bool bytes_equal) {
    if (!reported_success) return Verdict::Failed;
    return bytes_equal ? Verdict::Exact : Verdict::FalseSuccess;
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
    line += ' ' + fixed(run.seconds, 2) + " s  (" + std::to_string(run.faults) +
            " faults injected, seed " + std::to_string(run.seed) + ")";
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
        << r.bytes_equal << ' ' << fixed(r.seconds, 6) << ' ' << r.faults << ' ' << r.seed << '\t'
        << one_field(r.message) << '\t' << one_field(r.error);
    return out.str();
}

std::optional<RunResult> decode_result(const std::string& line) {
    RunResult r;
    char kind = 0;
    int success = 0, equal = 0;
    unsigned long long faults = 0, seed = 0;
    if (std::sscanf(line.c_str(), "%c %d %d %lf %llu %llu", &kind, &success, &equal, &r.seconds,
                    &faults, &seed) != 6 ||
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
    r.message = line.substr(tab1 + 1, tab2 - tab1 - 1);
    r.error = line.substr(tab2 + 1);
    while (!r.error.empty() && (r.error.back() == '\n' || r.error.back() == '\r'))
        r.error.pop_back();
    return r;
}

}  // namespace kestrel::soak
