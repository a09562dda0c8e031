#include "cli/kestrelctl.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/command_table.h"
#include "cli/commands.h"
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

Parsed parse_global(const std::vector<std::string>& args) {
    Parsed p;
    bool device_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto take = [&](const char* name, std::string& into) {
            if (a == name) {
                if (i + 1 >= args.size()) {
                    p.error = std::string(name) + " takes a value";
                    return true;
                }
                into = args[++i];
                return true;
            }
            const std::string prefix = std::string(name) + "=";
            if (a.rfind(prefix, 0) == 0) {
                into = a.substr(prefix.size());
                return true;
            }
            return false;
        };
        std::string progress;
        if (take("--device", p.options.device_text)) {
            device_given = true;
        } else if (take("--trace", p.options.trace_file)) {
        } else if (take("--progress", progress)) {
            if (!parse_progress_mode(progress, p.options.progress)) {
                p.error = "--progress takes auto, bar, lines, none or json (for example --progress lines)";
            }
        } else if (a == "--json") {
            p.options.json = true;
        } else if (a == "-v" || a == "--verbose") {
            p.options.verbose = true;
        } else if (a == "--help" || a == "-h") {
            p.help = true;
        } else if (a == "--version") {
            p.version = true;
        } else {
            p.rest.push_back(a);
        }
    }
    if (!device_given) {
        if (const char* env = std::getenv("KESTREL_DEVICE")) p.options.device_text = env;
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
            previous_ = set_trace_sink([f = file_.get()](std::string_view text) { (void)f->write_line(text); });
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
        std::fputs(main_help(), io.out);
        return kExitOk;
    }
    const char* text = words.size() == 2 ? command_help(words[1]) : nullptr;
    if (text) {
        std::fputs(text, io.out);
        return kExitOk;
    }
    const std::string why = words.size() > 2 ? "help takes one COMMAND"
                                             : "no command \"" + words[1] + "\"" + did_you_mean(words[1], command_names());
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
        const char* text = command.empty() ? nullptr : command_help(command);
        std::fputs(text ? text : main_help(), io.out);
        return kExitOk;
    }
    if (command == "help") return show_help(p.rest, io);
    const bool known = find_command(command) || command == "unit";
    Session session(p.options, io, known ? command : std::string("kestrelctl"));
    if (!p.error.empty()) return usage_error(session, p.error);
    if (command.empty()) {
        std::fputs(main_help(), io.err);
        return usage_error(session, "no command given (for example: kestrelctl --device 192.168.1.50:5000 info)");
    }
    TraceRoute trace_route(p.options, io.err);
    if (trace_route.failed()) {
        return session.finish(session.fail(kExitFile, trace_route.open_error()));
    }
    session.watch_late_failure([&] { return trace_route.write_failure(); });
    reset_interrupts();
    install_interrupt_handler();
    set_handshake_notice_stream(nullptr);

    ArgList rest(std::vector<std::string>(p.rest.begin() + 1, p.rest.end()));
    if (command == "info") return cmd_info(session, std::move(rest));
    if (command == "read") return cmd_read(session, std::move(rest));
    if (command == "write") return cmd_write(session, std::move(rest));
    if (command == "verify") return cmd_verify(session, std::move(rest));
    if (command == "reset") return cmd_reset(session, std::move(rest));
    if (command == "set") return cmd_set(session, std::move(rest));
    if (command == "scan") return cmd_scan(session, std::move(rest));
    if (command == "batch") return cmd_batch(session, std::move(rest), io);
    if (command == "unit") return cmd_unit(session, std::move(rest));
    return usage_error(session, "unknown command \"" + command + "\"" + did_you_mean(command, command_names()) +
                                    " (for example: kestrelctl --device 192.168.1.50:5000 info; see kestrelctl help)");
}

}  // namespace kestrel::cli
