#include "cli/mac_pool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "cli/atomic_file.h"

namespace kestrel::cli {
namespace {

constexpr Mac48 kMacMax = (Mac48{1} << 48) - 1;

// Holds an exclusive flock on a file for its life.
class FileLock {
  public:
    explicit FileLock(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

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
        int v = c >= '0' && c <= '9' ? c - '0'
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

std::string MacRange::text() const { return mac_text(first) + "-" + mac_text(last); }

std::optional<MacRange> parse_mac_range(std::string_view text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const auto first = parse_mac(text.substr(0, dash));
    const auto last = parse_mac(text.substr(dash + 1));
    if (!first || !last || *first > *last) return std::nullopt;
    return MacRange{*first, *last};
}

MacTake take_mac(const std::string& state_path, const MacRange& range) {
    MacTake take;
    FileLock lock(state_path + ".lock");
    if (!lock.ok()) {
        take.error = "can't lock \"" + state_path + ".lock\": " + std::strerror(errno);
        return take;
    }
    // Lines "FIRST-LAST NEXT"; NEXT past LAST means used up.
    std::vector<std::pair<std::string, std::string>> entries;
    {
        std::ifstream in(state_path);
        std::string key, next;
        while (in >> key >> next) entries.emplace_back(key, next);
        if (!in.eof() && in.fail() && !entries.empty()) {
            take.error = "\"" + state_path + "\" is damaged";
            return take;
        }
    }
    const std::string key = range.text();
    Mac48 next = range.first;
    bool found = false;
    for (auto& [k, v] : entries) {
        if (k != key) continue;
        found = true;
        if (v == "used-up") {
            next = kMacMax + 1;
        } else if (const auto parsed = parse_mac(v)) {
            next = *parsed;
        } else {
            take.error = "\"" + state_path + "\" is damaged at " + k;
            return take;
        }
    }
    if (next < range.first) next = range.first;
    if (next > range.last) {
        take.error = "the MAC range " + key + " is used up";
        return take;
    }
    const std::string after = next == range.last ? std::string("used-up") : mac_text(next + 1);
    if (found) {
        for (auto& [k, v] : entries)
            if (k == key) v = after;
    } else {
        entries.emplace_back(key, after);
    }
    std::ostringstream text;
    for (const auto& [k, v] : entries) text << k << ' ' << v << '\n';
    const std::string body = text.str();
    AtomicFile file(state_path);
    if (!file.ok() ||
        !file.write({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}) ||
        !file.commit()) {
        take.error = file.error().empty() ? "can't write \"" + state_path + "\"" : file.error();
        return take;
    }
    take.mac = next;
    return take;
}

}  // namespace kestrel::cli
