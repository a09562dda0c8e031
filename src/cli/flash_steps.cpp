#include "cli/flash_steps.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/commands/command_common.h"
#include "cli/exit_codes.h"
#include "cli/input_file.h"
#include "flash/core/flash_id.h"
#include "platform/atomic_file.h"

namespace kestrel::cli {

int FlashRegion::first_page() const {
    return static_cast<int>(offset / kPageSize);
}

int FlashRegion::page_count() const {
    return static_cast<int>((offset + length + kPageSize - 1) / kPageSize) - first_page();
}

std::string hex_address(std::uint64_t address) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%06llx", static_cast<unsigned long long>(address));
    return buf;
}

std::optional<std::size_t> parse_flash_number(std::string_view text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex) text.remove_prefix(2);
    if (text.empty() || text.size() > 8) return std::nullopt;
    std::size_t value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0) return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<std::size_t>(digit);
    }
    if (value > kFlashSize) return std::nullopt;
    return value;
}

int check_chip(Session& session) {
    FlashId id{};
    const bool ok = check_flash_id(id);
    session.json().add("flash_id", flash_id_text(id));
    if (ok) return kExitOk;
    return session.fail(kExitFlashChip,
                        no_flash_chip(id)
                            ? "no flash chip answers (id " + flash_id_text(id) + ")"
                            : "unexpected flash chip " + flash_id_text(id) + " (expected c22016)");
}

int read_region(Session& session, const FlashRegion& region, FlashStage stage, Bytes& out,
                const std::string& consequence) {
    Bytes pages(static_cast<std::size_t>(region.page_count()) * kPageSize);
    const PagesReadResult r =
        read_pages(region.first_page(), region.page_count(), pages, stage, session.hooks());
    session.count_bytes(static_cast<std::uint64_t>(r.pages_read) * kPageSize);
    if (r.outcome == PagesRead::Stopped) {
        return session.fail(kExitInterrupted, "interrupted at page " +
                                                  std::to_string(r.failed_page) + "; " +
                                                  consequence + "; the device is unchanged");
    }
    if (r.outcome != PagesRead::Ok) {
        return session.fail(kExitLink,
                            "page " + std::to_string(r.failed_page) + " had no clean read in " +
                                std::to_string(kPageReadTries) + " tries; " + consequence);
    }
    const auto begin = pages.begin() + static_cast<std::ptrdiff_t>(region.offset % kPageSize);
    out.assign(begin, begin + static_cast<std::ptrdiff_t>(region.length));
    return kExitOk;
}

namespace {

Status file_error(std::string why) {
    return Status::failure(StatusCode::FileError, std::move(why));
}

}  // namespace

Result<Bytes> load_image(const std::string& path, const ImageLimit& limit) {
    InputFile file(path);
    if (!file.ok()) return file_error(file.error());
    if (file.size() == 0) return file_error("\"" + path + "\" is empty");
    if (file.size() > limit.limit && !limit.truncate) {
        return Status::failure(
            StatusCode::BadInput,
            "\"" + path + "\" holds " + std::to_string(file.size()) + " bytes, more than " +
                limit.what + "; add --truncate to use its first " + std::to_string(limit.limit));
    }
    auto bytes = file.read(std::min<std::uint64_t>(file.size(), limit.limit));
    if (!bytes) return file_error(file.error());
    if (bytes->empty()) return file_error("\"" + path + "\" is empty");
    return std::move(*bytes);
}

Status output_room(const std::string& path, std::uint64_t bytes) {
    if (const std::string why = AtomicFile::check_target(path); !why.empty()) {
        return file_error(why);
    }
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    struct statvfs fs {};
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        return file_error("can't write in \"" + dir + "\": " + std::strerror(errno));
    }
    if (::statvfs(dir.c_str(), &fs) == 0) {
        const std::uint64_t room = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
        if (room < bytes) {
            return file_error("\"" + dir + "\" has room for " + std::to_string(room) +
                              " bytes, fewer than the " + std::to_string(bytes) + " to write");
        }
    }
    return {};
}

Status save_file(const std::string& path, const Bytes& bytes, const std::string& consequence) {
    AtomicFile file(path);
    if (file.ok() && file.write(bytes) && file.commit()) return {};
    return file_error(file.error() + (consequence.empty() ? "" : "; " + consequence));
}

}  // namespace kestrel::cli
