#include "cli/kestrelctl.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/trace_file.h"
#include "cli/usage.h"
#include "kestrel_version.h"
#include "link/transport.h"
#include "platform/trace.h"

namespace kestrel::cli {
namespace {

struct Parsed {
    GlobalOptions options;
    std::vector<std::string> rest;  // the command and its own arguments
    bool help = false;
    bool version = false;
    std::string error;
};

// Takes a global option's value: the next word, or what follows "NAME=".
bool take_value(const std::vector<std::string>& args, std::size_t& i, std::string_view name,
                std::string& into) {
    if (args[i] == name) {
        if (i + 1 >= args.size()) return false;
        into = args[++i];
        return true;
    }
    into = args[i].substr(name.size() + 1);
    return true;
}

// The option row a word names, "--device=..." included; nullptr for the command's own words.
const OptionRow* global_row_of(const std::string& word) {
    if (const OptionRow* row = find_global_option(word)) return row;
    const auto eq = word.find('=');
    if (eq == std::string::npos) return nullptr;
    const OptionRow* row = find_global_option(std::string_view(word).substr(0, eq));
    return row && !row->argument.empty() && row->name == std::string_view(word).substr(0, eq)
               ? row
               : nullptr;
}

// The window setting a text gives, into p; a usage error naming where it came from otherwise.
bool take_window(std::string_view text, std::string_view from, Parsed& p) {
    if (const auto setting = parse_window_setting(text)) {
        p.options.window = *setting;
        return true;
    }
    p.error = std::string(from) + " takes a whole number of requests from 1 to " +
              std::to_string(kMaxWindow) + " or auto (for example --window auto), not \"" +
              std::string(text) + "\"";
    return false;
}

// Picks the global options (the table's rows) out of the arguments wherever they stand.
Parsed parse_global(const std::vector<std::string>& args) {
    Parsed p;
    bool device_given = false;
    bool window_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const OptionRow* row = global_row_of(args[i]);
        if (!row) {
            p.rest.push_back(args[i]);
            continue;
        }
        std::string value;
        if (!row->argument.empty() && !take_value(args, i, row->name, value)) {
            p.error = std::string(row->name) + " takes a value";
            continue;
        }
        const std::string_view name = row->name;
        if (name == "--device") {
            p.options.device_text = value;
            device_given = true;
        } else if (name == "--trace") {
            p.options.trace_file = value;
        } else if (name == "--progress") {
            if (!parse_progress_mode(value, p.options.progress)) {
                p.error =
                    "--progress takes auto, bar, lines, none or json (for example --progress "
                    "lines)";
            }
        } else if (name == "--json") {
            p.options.json = true;
        } else if (name == "--verbose") {
            p.options.verbose = true;
        } else if (name == "--window") {
            window_given = true;
            if (!take_window(value, "--window", p)) continue;
        } else if (name == "--help") {
            p.help = true;
        } else if (name == "--version") {
            p.version = true;
        }
    }
    if (!device_given) {
        if (const char* env = std::getenv("KESTREL_DEVICE")) p.options.device_text = env;
    }
    if (!window_given) {
        if (const char* env = std::getenv("KESTREL_WINDOW"); env && *env)
            (void)take_window(env, "KESTREL_WINDOW", p);
    }
    return p;
}

// Where the trace goes for the run; restores the previous sink at the end.
class TraceRoute {
  public:
    explicit TraceRoute(const GlobalOptions& options, std::FILE* err) {
        if (!options.trace_file.empty()) {
            file_ = std::make_unique<TraceFile>(options.trace_file);
            if (!file_->ok()) return;
            previous_ = set_trace_sink(
                [f = file_.get()](std::string_view text) { (void)f->write_line(text); });
        } else if (options.verbose) {
            previous_ = set_trace_sink([err](std::string_view text) { write_line(err, text); });
        } else {
            previous_ = set_trace_sink([](std::string_view) {});
        }
        installed_ = true;
    }
    ~TraceRoute() {
        if (installed_) set_trace_sink(std::move(previous_));
    }
    TraceRoute(const TraceRoute&) = delete;
    TraceRoute& operator=(const TraceRoute&) = delete;

    bool failed() const { return !installed_; }
    // Why the trace file could not be opened.
    std::string open_error() const { return file_ ? file_->open_error() : std::string(); }
    // Why the trace file stopped taking lines, or empty.
    std::string write_failure() const { return file_ ? file_->failure() : std::string(); }

  private:
    static void write_line(std::FILE* f, std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), f);
        if (text.empty() || text.back() != '\n') std::fputc('\n', f);
        std::fflush(f);
    }
    std::unique_ptr<TraceFile> file_;
    TraceSink previous_;
    bool installed_ = false;
};

// kestrelctl help [COMMAND]: the main help, or the command's, on stdout.
int show_help(const std::vector<std::string>& words, const CliStreams& io) {
    if (words.size() <= 1) {
        std::fputs(main_help().c_str(), io.out);
        return kExitOk;
    }
    const auto text = words.size() == 2 ? command_help(words[1]) : std::nullopt;
    if (text) {
        std::fputs(text->c_str(), io.out);
        return kExitOk;
    }
    const std::string why = words.size() > 2 ? "help takes one COMMAND"
                                             : "no command \"" + words[1] + "\"" +
                                                   did_you_mean(words[1], command_names());
    std::fprintf(io.err, "kestrelctl help: %s (for example: kestrelctl help write)\n", why.c_str());
    return kExitUsage;
}

}  // namespace

int run_kestrelctl(const std::vector<std::string>& args, const CliStreams& io) {
    Parsed p = parse_global(args);
    if (p.version) {
        std::fprintf(io.out, "kestrelctl %s\n", KESTREL_VERSION);
        return kExitOk;
    }
    const std::string command = p.rest.empty() ? std::string() : p.rest.front();
    if (p.help) {
        const auto text = command.empty() ? std::nullopt : command_help(command);
        std::fputs(text ? text->c_str() : main_help().c_str(), io.out);
        return kExitOk;
    }
    if (command == "help") return show_help(p.rest, io);
    const CommandRow* row = find_command(command);
    Session session(p.options, io, row ? command : std::string("kestrelctl"));
    if (!p.error.empty()) return usage_error(session, p.error);
    if (command.empty()) {
        std::fputs(main_help().c_str(), io.err);
        return usage_error(
            session, "no command given (for example: kestrelctl --device 192.168.1.50:5000 info)");
    }
    TraceRoute trace_route(p.options, io.err);
    if (trace_route.failed()) {
        return session.finish(session.fail(kExitFile, trace_route.open_error()));
    }
    session.watch_late_failure([&] { return trace_route.write_failure(); });
    reset_interrupts();
    install_interrupt_handler();
    set_handshake_notice_stream(nullptr);

    if (!row) {
        return usage_error(
            session,
            "unknown command \"" + command + "\"" + did_you_mean(command, command_names()) +
                " (for example: kestrelctl --device 192.168.1.50:5000 info; see kestrelctl help)");
    }
    ArgList rest(*row, std::vector<std::string>(p.rest.begin() + 1, p.rest.end()));
    if (command == "info") return cmd_info(session, std::move(rest));
    if (command == "read") return cmd_read(session, std::move(rest));
    if (command == "write") return cmd_write(session, std::move(rest));
    if (command == "verify") return cmd_verify(session, std::move(rest));
    if (command == "reset") return cmd_reset(session, std::move(rest));
    if (command == "set") return cmd_set(session, std::move(rest));
    if (command == "scan") return cmd_scan(session, std::move(rest));
    if (command == "batch") return cmd_batch(session, std::move(rest), io);
    if (command == "unit") return cmd_unit(session, std::move(rest));
    throw std::logic_error("kestrelctl: the command table lists \"" + command +
                           "\", which nothing runs");
}

}  // namespace kestrel::cli
