#include "device/private_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/regular_file.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr std::string_view kBlanks = " \t";
// The UTF-8 byte-order mark some editors put at the start of a text file.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    const auto close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> SplitKeyLine(std::string_view line) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyLine{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

struct FileLines {
    std::vector<std::string> lines;  // without their line endings
    bool bom = false;                // the file starts with a UTF-8 byte-order mark
    bool crlf = false;               // the file ends its lines with CR LF
    bool final_newline = true;       // the last line has its line ending
};

FileLines SplitLines(std::string_view text) {
    FileLines file;
    std::size_t start = 0;
    // The mark belongs to the file, not to its first line: "[Server]" after it is a section.
    if (text.starts_with(kUtf8Bom)) {
        file.bom = true;
        start = kUtf8Bom.size();
    }
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
            file.final_newline = false;
        }
        std::string line(text.substr(start, end - start));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (file.lines.empty()) file.crlf = true;
        }
        file.lines.push_back(std::move(line));
        start = end + 1;
    }
    return file;
}

// Reads the file's lines; an absent file gives no lines. nullopt with errno set when the file
// can't be read, is no regular file (EINVAL: a FIFO would block, a device never ends) or is
// larger than kSmallFileMax (EFBIG); the reason is traced.
std::optional<FileLines> ReadLines(const std::string& path) {
    const FileText text = read_regular_file(path, kSmallFileMax, "the settings file");
    if (text.status == FileStatus::Missing) return FileLines{};
    if (!text.ok()) {
        trace(text.reason);
        errno = text.status == FileStatus::NotRegular ? EINVAL
                : text.status == FileStatus::TooLarge ? EFBIG
                : text.error != 0                     ? text.error
                                                      : EIO;
        return std::nullopt;
    }
    return SplitLines(text.bytes);
}

std::string FindValue(const FileLines& file, const std::string& section, const std::string& key) {
    bool in_section = false;
    for (const std::string_view line : file.lines) {
        if (const auto name = SectionName(line)) {
            in_section = EqualsNoCase(*name, section);
            continue;
        }
        if (!in_section) continue;
        const auto entry = SplitKeyLine(line);
        if (entry && EqualsNoCase(entry->key, key)) {
            return std::string(Unquote(entry->value).substr(0, kProfileValueMax));
        }
    }
    return {};
}

bool ReadOnly(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path.c_str(), W_OK) != 0;
}

// Writes text to a fresh file beside path and renames it over path (over a symbolic link's
// target, so that the link stays). Returns 0 or errno.
int ReplaceFile(const std::string& link_or_path, const std::string& text) {
    std::string path = link_or_path;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* target = realpath(link_or_path.c_str(), nullptr)) {
            path = target;
            std::free(target);
        }
    }
    const mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return errno;
    std::size_t done = 0;
    int error = 0;
    while (done < text.size() && error == 0) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) error = errno;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (error == 0 && fchmod(fd, mode) != 0) error = errno;
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) unlink(temp.c_str());
    return error;
}

}  // namespace

std::string ReadProfileValue(const std::string& section, const std::string& key,
                             const std::string& path) {
    const auto file = ReadLines(path);
    return file ? FindValue(*file, section, key) : std::string();
}

std::string FindProfileValue(std::string_view text, const std::string& section,
                             const std::string& key) {
    return FindValue(SplitLines(text), section, key);
}

int WriteProfileValue(const std::string& section, const std::string& key, const std::string& value,
                      const std::string& path) {
    // A line break would end the key's line early and make the rest new lines of the file
    // (other keys, even sections), so such a write is refused.
    for (const std::string* text : {&section, &key, &value}) {
        if (text->find_first_of("\r\n") != std::string::npos) return EINVAL;
    }
    if (ReadOnly(path)) return EACCES;
    auto file = ReadLines(path);
    if (!file) return errno != 0 ? errno : EIO;
    std::vector<std::string>& lines = file->lines;
    const std::string entry = key + "=" + value;

    std::optional<std::size_t> section_line;
    std::size_t insert_at = lines.size();
    bool replaced = false;
    for (std::size_t i = 0; i < lines.size() && !replaced; ++i) {
        const std::string_view line = lines[i];
        if (const auto name = SectionName(line)) {
            if (section_line) break;  // end of our section
            if (EqualsNoCase(*name, section)) {
                section_line = i;
                insert_at = i + 1;
            }
            continue;
        }
        if (!section_line) continue;
        const auto found = SplitKeyLine(line);
        if (found && EqualsNoCase(found->key, key)) {
            lines[i] = entry;
            replaced = true;
        } else if (found) {
            insert_at = i + 1;
        }
    }
    if (!replaced) {
        if (section_line) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), entry);
        } else {
            lines.push_back("[" + section + "]");
            lines.push_back(entry);
            file->final_newline = true;
        }
    }

    const char* eol = file->crlf ? "\r\n" : "\n";
    std::string text(file->bom ? kUtf8Bom : std::string_view{});
    for (std::size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (i + 1 < lines.size() || file->final_newline) text += eol;
    }
    return ReplaceFile(path, text);
}

}  // namespace kestrel
