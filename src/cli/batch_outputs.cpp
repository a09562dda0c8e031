#include "cli/batch_outputs.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "cli/shown_text.h"
#include "platform/regular_file.h"

namespace kestrel::cli {
namespace {

// The most of a report that is read to recognise it.
constexpr std::size_t kReportReadMax = std::size_t{64} << 20;

struct Identity {
    std::optional<std::pair<dev_t, ino_t>> file;  // when it exists
    std::string resolved;                         // the absolute path, links resolved
};

std::string real_path(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

Identity identity(const std::string& path) {
    namespace fs = std::filesystem;
    Identity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        id.file = std::make_pair(st.st_dev, st.st_ino);
        id.resolved = real_path(path);
        return id;
    }
    // Not there yet: its folder resolved, then its name.
    std::error_code ec;
    const fs::path absolute = fs::absolute(fs::path(path), ec).lexically_normal();
    const std::string dir = real_path(absolute.parent_path().string());
    id.resolved = dir.empty() ? absolute.string() : (fs::path(dir) / absolute.filename()).string();
    return id;
}

bool same(const Identity& a, const Identity& b) {
    return (a.file && b.file && *a.file == *b.file) ||
           (!a.resolved.empty() && a.resolved == b.resolved);
}

Status refusal(std::string why) {
    return Status::failure(StatusCode::BadInput, std::move(why));
}

bool is_report_line(std::string_view line) {
    return line.starts_with("{\"label\":\"") && line.ends_with("}") &&
           line.find(",\"result\":\"") != std::string_view::npos &&
           line.find(",\"exit_code\":") != std::string_view::npos;
}

}  // namespace

Status find_path_clash(const std::vector<NamedPath>& inputs,
                       const std::vector<NamedPath>& outputs) {
    std::vector<Identity> in_ids, out_ids;
    for (const auto& p : inputs)
        in_ids.push_back(identity(p.path));
    for (const auto& p : outputs)
        out_ids.push_back(identity(p.path));
    const auto clash = [](const NamedPath& out, const NamedPath& other) {
        return refusal(out.role + " " + quoted_text(out.path) + " is " + other.role + " (" +
                       quoted_text(other.path) + ")");
    };
    for (std::size_t o = 0; o < outputs.size(); ++o) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (same(out_ids[o], in_ids[i])) return clash(outputs[o], inputs[i]);
        }
        for (std::size_t k = 0; k < o; ++k) {
            if (same(out_ids[o], out_ids[k])) return clash(outputs[o], outputs[k]);
        }
    }
    return {};
}

Status find_odd_output(const std::vector<NamedPath>& outputs) {
    for (const auto& out : outputs) {
        struct stat st {};
        if (::stat(out.path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) continue;
        const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                           : S_ISFIFO(st.st_mode) ? "a FIFO"
                                                  : "a device or socket";
        return refusal(out.role + " " + quoted_text(out.path) + " is " + kind +
                       ", not a regular file");
    }
    return {};
}

Status check_report(const std::string& path) {
    const FileText text = read_regular_file(path, kReportReadMax, "the report");
    if (text.status == FileStatus::Missing) return {};
    if (!text.ok()) return Status::failure(StatusCode::FileError, text.reason);
    std::string_view rest = text.bytes;
    for (std::size_t line = 1; !rest.empty(); ++line) {
        const auto nl = rest.find('\n');
        const std::string_view l = rest.substr(0, nl);
        if (nl == std::string_view::npos || !is_report_line(l)) {
            return refusal("the report " + quoted_text(path) + " line " + std::to_string(line) +
                           " is not a line of a " + "batch report" +
                           (nl == std::string_view::npos ? " (no line end)" : "") +
                           "; it is appended to only when it is one (give another --report)");
        }
        rest.remove_prefix(nl + 1);
    }
    return {};
}

}  // namespace kestrel::cli
