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

Status file_error(std::string reason) {
    return Status::failure(StatusCode::FileError, std::move(reason));
}

// Holds an exclusive flock on a regular file for its life; status() says whether it does.
class FileLock {
  public:
    explicit FileLock(const std::string& path) : file_(open_regular_file(path, O_RDWR | O_CREAT)) {
        if (!file_.ok()) {
            status_ = file_error("can't lock: " + file_.reason);
        } else if (::flock(file_.fd, LOCK_EX) != 0) {
            status_ = file_error("can't lock \"" + path + "\": " + std::strerror(errno));
        }
    }
    const Status& status() const { return status_; }

  private:
    RegularFd file_;
    Status status_;
};

struct Loaded {
    std::optional<MacState> state;  // empty: no state file yet
    std::size_t size = 0;
};

// Reads and checks the state file; held under the lock.
Result<Loaded> load_state(const std::string& path, const MacRange& range) {
    const FileText text = read_regular_file(path, kSmallFileMax, "the MAC state file");
    if (text.status == FileStatus::Missing) return Loaded{};
    if (!text.ok()) return file_error(text.reason);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) {
        return Status::failure(StatusCode::BadInput, "the MAC state file \"" + path +
                                                         "\" is read-only; it is never replaced");
    }
    Result<MacState> parsed = parse_mac_state(text.bytes, path);
    if (!parsed) return parsed.status();
    if (parsed->range.first != range.first || parsed->range.last != range.last) {
        return Status::failure(StatusCode::BadInput,
                               path + " line " + (parsed->legacy ? "1" : "2") +
                                   ": the file is for the range " + parsed->range.text() +
                                   "; the range " + range.text() +
                                   " needs a --mac-state of its own");
    }
    return Loaded{*parsed, text.bytes.size()};
}

// Writes the whole state file afresh (temporary file, sync, rename), keeping its mode.
Status rewrite_state(const std::string& path, const MacRange& range, Mac48 next) {
    struct stat st {};
    const bool existed = ::stat(path.c_str(), &st) == 0;
    const std::string body = mac_state_text(range, next);
    AtomicFile file(path);
    if (!file.ok() ||
        !file.write({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}) ||
        !file.commit()) {
        return file_error(file.error().empty() ? "can't write \"" + path + "\"" : file.error());
    }
    if (existed) (void)::chmod(path.c_str(), st.st_mode & 07777);
    return {};
}

// Appends one line and syncs it; on failure the file is cut back to its old length.
Status append_line(const std::string& path, const std::string& line) {
    RegularFd file = open_regular_file(path, O_WRONLY | O_APPEND);
    if (!file.ok()) return file_error(file.reason);
    struct stat st {};
    const off_t before = ::fstat(file.fd, &st) == 0 ? st.st_size : -1;
    const ssize_t n = ::write(file.fd, line.data(), line.size());
    if (n == static_cast<ssize_t>(line.size()) && ::fsync(file.fd) == 0) return {};
    const std::string why = "can't write \"" + path + "\": " + std::strerror(n < 0 ? errno : EIO);
    if (before >= 0 && ::ftruncate(file.fd, before) != 0)
        return file_error(why + "; the file may end in a cut line");
    return file_error(why);
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

Result<MacRange> check_mac_range(std::string_view text) {
    const auto refuse = [](std::string why) {
        return Status::failure(StatusCode::BadInput, std::move(why));
    };
    const std::size_t dash = text.find('-');
    const auto first =
        dash == std::string_view::npos ? std::nullopt : parse_mac(text.substr(0, dash));
    const auto last =
        dash == std::string_view::npos ? std::nullopt : parse_mac(text.substr(dash + 1));
    if (!first || !last || *first > *last) {
        return refuse(quoted_text(text) +
                      " is not FIRST-LAST (for example 02:1a:2b:00:00:00-02:1a:2b:00:0f:ff)");
    }
    if (const auto why = mac_refusal(*first); !why.empty()) {
        return refuse("the range " + std::string(text) + " starts with " + std::string(why));
    }
    if (*first >> 40 != *last >> 40) {
        return refuse(
            "the range " + std::string(text) +
            " holds multicast addresses (every odd first byte); keep both ends on one first byte");
    }
    return MacRange{*first, *last};
}

std::optional<MacRange> parse_mac_range(std::string_view text) {
    return check_mac_range(text).value_opt();
}

Result<Mac48> take_mac(const std::string& state_path, const MacRange& range) {
    FileLock lock(mac_lock_path(state_path));
    if (!lock.status().ok()) return lock.status();
    const Result<Loaded> loaded = load_state(state_path, range);
    if (!loaded) return loaded.status();
    const Mac48 next = loaded->state ? loaded->state->next : range.first;
    if (next > range.last) {
        return Status::failure(StatusCode::BadInput, "the MAC range " + range.text() +
                                                         " is used up (" + state_path + ")");
    }
    // A new file, one in the one-line form or one grown large is written afresh first, with
    // what was handed out as one run.
    if (!loaded->state || loaded->state->legacy || loaded->size > kCompactAt) {
        if (Status written = rewrite_state(state_path, range, next); !written.ok()) return written;
    }
    if (Status appended = append_line(state_path, mac_state_line(next)); !appended.ok()) {
        return appended;
    }
    return next;
}

Status check_mac_state(const std::string& state_path, const MacRange& range) {
    FileLock lock(mac_lock_path(state_path));
    if (!lock.status().ok()) return lock.status();
    return load_state(state_path, range).status();
}

std::string mac_lock_path(const std::string& state_path) {
    return state_path + ".lock";
}

}  // namespace kestrel::cli
