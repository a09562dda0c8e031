#include "cli/mac_pool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/mac_state.h"
#include "cli/shown_text.h"
#include "device/unicast_mac.h"
#include "platform/atomic_file.h"
#include "platform/regular_file.h"

namespace kestrel::cli {
namespace {

// A state file past this is rewritten as one run line (atomically) before it grows further.
constexpr std::size_t kCompactAt = 64 * 1024;

// Holds an exclusive flock on a regular file for its life.
class FileLock {
  public:
    explicit FileLock(const std::string& path) : file_(open_regular_file(path, O_RDWR | O_CREAT)) {
        if (!file_.ok()) {
            error_ = "can't lock: " + file_.reason;
        } else if (::flock(file_.fd, LOCK_EX) != 0) {
            error_ = "can't lock \"" + path + "\": " + std::strerror(errno);
        }
    }
    const std::string& error() const { return error_; }

  private:
    RegularFd file_;
    std::string error_;
};

struct Loaded {
    std::optional<MacState> state;  // empty: no state file yet
    std::size_t size = 0;
    std::string error;
};

// Reads and checks the state file; held under the lock.
Loaded load_state(const std::string& path, const MacRange& range) {
    Loaded out;
    const FileText text = read_regular_file(path, kSmallFileMax, "the MAC state file");
    if (text.status == FileStatus::Missing) return out;
    if (!text.ok()) {
        out.error = text.reason;
        return out;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) {
        out.error = "the MAC state file \"" + path + "\" is read-only; it is never replaced";
        return out;
    }
    MacStateParse parse = parse_mac_state(text.bytes, path);
    if (!parse.state) {
        out.error = parse.error;
        return out;
    }
    if (parse.state->range.first != range.first || parse.state->range.last != range.last) {
        out.error = path + " line " + (parse.state->legacy ? "1" : "2") +
                    ": the file is for the range " + parse.state->range.text() + "; the range " +
                    range.text() + " needs a --mac-state of its own";
        return out;
    }
    out.state = parse.state;
    out.size = text.bytes.size();
    return out;
}

// Writes the whole state file afresh (temporary file, sync, rename), keeping its mode.
std::string rewrite_state(const std::string& path, const MacRange& range, Mac48 next) {
    struct stat st {};
    const bool existed = ::stat(path.c_str(), &st) == 0;
    const std::string body = mac_state_text(range, next);
    AtomicFile file(path);
    if (!file.ok() ||
        !file.write({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}) ||
        !file.commit()) {
        return file.error().empty() ? "can't write \"" + path + "\"" : file.error();
    }
    if (existed) (void)::chmod(path.c_str(), st.st_mode & 07777);
    return {};
}

// Appends one line and syncs it; on failure the file is cut back to its old length.
std::string append_line(const std::string& path, const std::string& line) {
    RegularFd file = open_regular_file(path, O_WRONLY | O_APPEND);
    if (!file.ok()) return file.reason;
    struct stat st {};
    const off_t before = ::fstat(file.fd, &st) == 0 ? st.st_size : -1;
    const ssize_t n = ::write(file.fd, line.data(), line.size());
    if (n == static_cast<ssize_t>(line.size()) && ::fsync(file.fd) == 0) return {};
    const std::string why = "can't write \"" + path + "\": " + std::strerror(n < 0 ? errno : EIO);
    if (before >= 0 && ::ftruncate(file.fd, before) != 0)
        return why + "; the file may end in a cut line";
    return why;
}

}  // namespace

std::optional<Mac48> parse_mac(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    Mac48 mac = 0;
    for (std::size_t i = 0; i < 17; ++i) {
        const char c = text[i];
        if (i % 3 == 2) {
            if (c != ':') return std::nullopt;
            continue;
        }
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0) return std::nullopt;
        mac = mac << 4 | static_cast<Mac48>(v);
    }
    return mac;
}

std::string mac_text(Mac48 mac) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x",
                  static_cast<unsigned>(mac >> 40 & 0xFF), static_cast<unsigned>(mac >> 32 & 0xFF),
                  static_cast<unsigned>(mac >> 24 & 0xFF), static_cast<unsigned>(mac >> 16 & 0xFF),
                  static_cast<unsigned>(mac >> 8 & 0xFF), static_cast<unsigned>(mac & 0xFF));
    return buf;
}

std::string MacRange::text() const {
    return mac_text(first) + "-" + mac_text(last);
}

std::string_view mac_refusal(Mac48 mac) {
    device::Mac bytes{};
    for (int i = 0; i < 6; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(mac >> (40 - 8 * i));
    return device::mac_refusal(bytes);
}

MacRangeCheck check_mac_range(std::string_view text) {
    MacRangeCheck check;
    const std::size_t dash = text.find('-');
    const auto first =
        dash == std::string_view::npos ? std::nullopt : parse_mac(text.substr(0, dash));
    const auto last =
        dash == std::string_view::npos ? std::nullopt : parse_mac(text.substr(dash + 1));
    if (!first || !last || *first > *last) {
        check.error = quoted_text(text) +
                      " is not FIRST-LAST (for example 02:1a:2b:00:00:00-02:1a:2b:00:0f:ff)";
    } else if (const auto why = mac_refusal(*first); !why.empty()) {
        check.error = "the range " + std::string(text) + " starts with " + std::string(why);
    } else if (*first >> 40 != *last >> 40) {
        check.error =
            "the range " + std::string(text) +
            " holds multicast addresses (every odd first byte); keep both ends on one first byte";
    } else {
        check.range = MacRange{*first, *last};
    }
    return check;
}

std::optional<MacRange> parse_mac_range(std::string_view text) {
    return check_mac_range(text).range;
}

MacTake take_mac(const std::string& state_path, const MacRange& range) {
    MacTake take;
    FileLock lock(mac_lock_path(state_path));
    if (!lock.error().empty()) {
        take.error = lock.error();
        return take;
    }
    Loaded loaded = load_state(state_path, range);
    if (!loaded.error.empty()) {
        take.error = loaded.error;
        return take;
    }
    const Mac48 next = loaded.state ? loaded.state->next : range.first;
    if (next > range.last) {
        take.error = "the MAC range " + range.text() + " is used up (" + state_path + ")";
        return take;
    }
    // A new file, one in the one-line form or one grown large is written afresh first, with
    // what was handed out as one run.
    if (!loaded.state || loaded.state->legacy || loaded.size > kCompactAt) {
        take.error = rewrite_state(state_path, range, next);
        if (!take.error.empty()) return take;
    }
    take.error = append_line(state_path, mac_state_line(next));
    if (take.error.empty()) take.mac = next;
    return take;
}

std::string check_mac_state(const std::string& state_path, const MacRange& range) {
    FileLock lock(mac_lock_path(state_path));
    if (!lock.error().empty()) return lock.error();
    return load_state(state_path, range).error;
}

std::string mac_lock_path(const std::string& state_path) {
    return state_path + ".lock";
}

}  // namespace kestrel::cli
